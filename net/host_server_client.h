#pragma once
// The server's record of one admitted connection. Private to the host server's sources.
//
// Threading: created, used and destroyed on the server's loop only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/session/host_session.h"
#include "core/util/uuid.h"
#include "net/event_loop.h"
#include "net/framed_link.h"
#include "net/host_server.h"
#include "net/video_streamer.h"

namespace lumenbrook {

struct HostServer::Client {
  // Per-connection state of the video path.
  struct StreamState {
    TimerHandle fallback;           // the scheduled default-size stream, if any
    std::uint32_t streamCount = 0;  // streams started on this connection; the current number
    std::shared_ptr<VideoStreamer> streamer;  // the running stream, if any
  };

  Client(std::uint64_t key, std::shared_ptr<FramedLink> link, HostSession session,
         std::string host, EventLoop::Clock::time_point started)
      : key(key),
        link(std::move(link)),
        session(std::move(session)),
        host(std::move(host)),
        started(started) {}

  const std::uint64_t key;  // its place in the server's tables
  const std::shared_ptr<FramedLink> link;
  HostSession session;
  const std::string host;  // the remote host, normalised as for the local-address rule
  std::optional<Uuid> deviceID;
  std::optional<std::string> pendingCode;
  StreamState stream;
  bool paired = false;
  bool wantsStatus = false;
  bool statusLoopRunning = false;
  bool closed = false;  // closed by the server: no further outputs are carried out
  const EventLoop::Clock::time_point started;

  // Neither logged in nor waiting for the Mac user: the connections admission limits.
  bool unsettled() const { return !session.authenticated() && !session.awaitingPerson(); }
};

}  // namespace lumenbrook
