#pragma once
// Carries one video stream to one logged-in phone over UDP.
//
// The streamer opens a UDP socket on a free port and reports the port; the server then tells
// the phone videoReady with that port, the stream number and the challenge. Datagrams are
// taken as flows, one per remote address and port. The first authentic datagram of a flow
// from the control connection's host is the phone's hello: sealed with the stream's
// phone-to-host datagram key, it carries the challenge and the phone's own UDP port; junk
// that does not open costs its flow nothing. The first flow whose hello holds binds the path,
// once, and the socket is then connected to that address and port, so the kernel drops
// everyone else's datagrams. Only then do the encoder, the frame source and the sleep
// assertion start, and every encoded frame goes to the phone as sealed fragments. Resends of
// lost fragments come from a cache of the last frames, each fragment once per request,
// within a budget per second. Every failure on this path is silent: the phone recovers by
// asking for keyframes, resends or a new stream.
//
// Threads: make() may be called anywhere; every other call on the loop's thread, where all of
// the streamer's state lives. The encoder and the source call back on their own threads; those
// callbacks only post to the loop, holding the streamer weakly, so a released streamer gets
// nothing. The loop must outlive the streamer.

#include <bitset>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/messages/control_message.h"
#include "core/security/secure_channel.h"
#include "core/util/bytes.h"
#include "core/video/encoder_factory.h"
#include "core/video/fragmenter.h"
#include "core/video/frame_source.h"
#include "core/video/resend_cache.h"
#include "net/event_loop.h"
#include "core/video/sleep_assertion.h"
#include "net/transport.h"
#include "net/udp_socket.h"

namespace lumenbrook {

class VideoStreamer : public std::enable_shared_from_this<VideoStreamer> {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // Named in the platform's list of sleep assertions while the pipeline runs.
  static constexpr std::string_view sleepReason = "Lumenbrook is streaming to a phone";
  // Frames kept for resending: two seconds at 60 frames per second.
  static constexpr std::size_t cachedFrames = 120;

  struct Setup {
    Sealer sealer;  // the stream's host-to-phone datagram sealer: seals every fragment
    Opener opener;  // the stream's phone-to-host datagram opener: opens the hello
    Bytes challenge;  // the random bytes announced in videoReady (16)
    // The control connection's remote host; normalised here as LocalNetwork::address does.
    // Absent: no flow is ever accepted.
    std::optional<std::string> peerHost;
    std::unique_ptr<FrameSource> source;  // started once the path is bound
    EncoderConfig stream;                 // width, height, fps (at least 24) and bit rate
    std::shared_ptr<EncoderFactory> encoders;
    std::shared_ptr<SleepAssertions> sleepAssertions = {};  // null: nothing is held
    Clock clock = {};  // for the resend budget; std::chrono::steady_clock when empty
  };

  // Nothing starts yet. Without a source or an encoder factory the path can still bind, but
  // no video ever flows.
  static std::shared_ptr<VideoStreamer> make(EventLoop& loop, Setup setup);
  // Releases everything, as stop() does, so a streamer dropped without stop() holds no
  // sleep assertion. On the loop's thread, like every call but make().
  ~VideoStreamer();
  VideoStreamer(const VideoStreamer&) = delete;
  VideoStreamer& operator=(const VideoStreamer&) = delete;

  // Opens the UDP socket on any free port and reports that port through `onReady`, later from
  // the loop (not from inside this call) and not at all once stopped. When no socket can be
  // opened nothing is reported and no video ever flows. Only the first call does anything.
  void start(std::function<void(std::uint16_t port)> onReady);

  // Acts on a control message from the phone: requestKeyframe makes the encoder's next frame
  // a keyframe (ignored before the pipeline runs: its first frame is one anyway); nack
  // resends the cached fragments asked for, each once and sealed anew, within the budget
  // (indexes beyond the frame are skipped). Other messages
  // are ignored, and so is everything after stop().
  void handle(const ControlMessage& message);

  // Stops the source, closes the socket, stops the encoder, releases the sleep assertion and
  // drops the cached fragments. Work already queued for the streamer then does nothing.
  // Idempotent; the streamer cannot be started again.
  void stop();

  // The socket's port once start() opened it (kept after stop()).
  std::optional<std::uint16_t> port() const { return port_; }
  // The phone's address and port once a hello bound the path.
  const std::optional<Endpoint>& boundPeer() const { return bound_; }
  // True while the encoder runs: after binding, until stop().
  bool streaming() const { return encoder_ != nullptr; }
  // Datagrams handed to the socket, first sends and resends together.
  std::uint64_t sent() const { return sent_; }
  // Datagrams taken off the socket, whatever became of them.
  std::uint64_t received() const { return received_; }

 private:
  VideoStreamer(EventLoop& loop, Setup setup);

  void onDatagram(ByteView datagram, const Endpoint& from);
  void checkHello(ByteView datagram, const Endpoint& from);
  void startPipeline();
  void encode(const VideoFrame& frame);
  void sendPacket(const VideoPacket& packet);
  void sendSealed(ByteView fragment);

  EventLoop& loop_;
  Sealer sealer_;
  Opener opener_;
  Bytes challenge_;
  std::optional<std::string> peerHost_;
  std::unique_ptr<FrameSource> source_;
  EncoderConfig stream_;
  std::shared_ptr<EncoderFactory> encoders_;
  std::shared_ptr<SleepAssertions> sleepAssertions_;
  Clock clock_;
  std::chrono::steady_clock::time_point t0_;

  std::shared_ptr<UdpSocket> socket_;
  std::optional<std::uint16_t> port_;
  std::optional<Endpoint> bound_;
  // Ports of the peer host whose flow has had its one authentic datagram (one that opened
  // under the stream's key). Only flows from the peer host are looked at, so the port alone
  // names a flow and the set cannot outgrow 8 KiB.
  std::bitset<65536> triedPorts_;
  Fragmenter fragmenter_;
  ResendCache cache_;
  std::unique_ptr<VideoEncoder> encoder_;
  std::unique_ptr<SleepAssertion> sleepAssertion_;
  std::uint64_t sent_ = 0;
  std::uint64_t received_ = 0;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace lumenbrook
