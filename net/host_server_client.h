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
    struct Wanted {
      int width = 0;
      int height = 0;
      int fps = 0;
    };

    TimerHandle fallback;           // the scheduled default-size stream, if any
    std::uint32_t streamCount = 0;  // streams started on this connection; the current number
    std::shared_ptr<VideoStreamer> streamer;  // the running stream, if any
    // The latest stream asked for and not started yet, and the start held back for it until
    // Timing::streamStartGap after the previous one.
    std::optional<Wanted> wanted;
    TimerHandle heldStart;
    std::optional<EventLoop::Clock::time_point> lastStart;
  };

  Client(std::uint64_t key, std::shared_ptr<FramedLink> link, HostSession session,
         std::string host, std::string hostKey, EventLoop::Clock::time_point started)
      : key(key),
        link(std::move(link)),
        session(std::move(session)),
        host(std::move(host)),
        hostKey(std::move(hostKey)),
        started(started) {}

  const std::uint64_t key;  // its place in the server's tables
  const std::shared_ptr<FramedLink> link;
  HostSession session;
  const std::string host;  // the remote host, normalised as for the local-address rule
  const std::string hostKey;  // the host as the per-host limit counts it (IPv6: its /64)
  std::optional<Uuid> deviceID;
  std::optional<std::string> pendingCode;
  StreamState stream;
  // Cancelled when the connection ends, so that nothing scheduled outlives it.
  TimerHandle loginTimer;
  TimerHandle promptTimer;  // only while a code comparison is pending
  TimerHandle statusTimer;
  bool paired = false;
  bool wantsStatus = false;
  bool statusLoopRunning = false;
  bool closed = false;  // closed by the server: no further outputs are carried out
  const EventLoop::Clock::time_point started;

  // Logged in or waiting for the Mac user: past the login check.
  bool loggedInOrWaiting() const { return session.authenticated() || session.awaitingPerson(); }
  // The connections admission limits and evicts. One whose login handle matched a paired phone
  // (handshaking) is settled already: only a holder of that phone's key can compute it.
  bool unsettled() const {
    return !loggedInOrWaiting() && session.phase() != HostSession::Phase::handshaking;
  }
};

}  // namespace lumenbrook
