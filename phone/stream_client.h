#pragma once
// The phone's side of a logged-in connection's video. It describes the phone's screen to the
// Mac (hello), answers every videoReady by opening a UDP socket and proving it with the sealed
// hello datagram, opens and reassembles the fragments that arrive, asks the Mac for resends
// and keyframes over the control connection, turns complete frames into samples and decodes
// them, and keeps the figures of the stream.
//
// It does not own the control connection: its owner passes every envelope from the Mac to
// handle() and gives it a way to send envelopes and to get a stream's datagram keys (both
// come from the PhoneClient). A later videoReady (a new stream) replaces the current one.
//
// Ownership: held by std::shared_ptr (make()); the socket's handler holds it weakly.
// Threading: every call is made on the loop's thread, every callback runs there.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/messages/control_message.h"
#include "core/messages/envelope.h"
#include "core/messages/screen_traits.h"
#include "core/security/secure_channel.h"
#include "core/util/uuid.h"
#include "core/video/reassembler.h"
#include "core/video/video_frame.h"
#include "net/event_loop.h"
#include "net/transport.h"

namespace lumenbrook {

struct StreamClientStream;

class StreamClient : public std::enable_shared_from_this<StreamClient> {
 public:
  // Sealer (phone to Mac) and opener (Mac to phone) of one stream's datagrams.
  using DatagramKeys = std::pair<Sealer, Opener>;

  struct Options {
    ScreenTraits screen;  // sent in hello; the Mac sizes the stream from it
    Uuid deviceID;        // the phone's identity, sent in hello
    std::string deviceName = "Reference phone";
    std::string appVersion = "1.0";
    // Reassembler tuning: ids a missing frame may lag before it is given up, NACKs per frame.
    int reassemblyWindow = 8;
    int maxNacks = 3;
    // Microseconds on the scale of the Mac's capture times, read when a picture is decoded,
    // for the latency figures. The default reads the machine's monotonic clock, which is the
    // host's capture clock when both run on one machine.
    std::function<std::uint64_t()> nowMicros;
    // Where the hello datagram goes, and which port it announces as the phone's own. Empty:
    // the control connection's host at videoReady's port, and the socket's own port. Tests put
    // a relay in the path with these.
    std::optional<Endpoint> udpTarget;
    std::optional<std::uint16_t> announcedPort;
    // The hello datagram may be lost: it goes out again this often, freshly sealed, until the
    // first fragment arrives, at most helloSends times in all.
    EventLoop::Clock::duration helloInterval = std::chrono::milliseconds(250);
    int helloSends = 8;
  };

  // Of the current stream: a new stream starts them again (lastPicture() is kept).
  struct Figures {
    std::uint32_t stream = 0;  // the current stream number, 0 before any videoReady
    int width = 0;             // of the last decoded picture
    int height = 0;
    double seconds = 0;          // from the first fragment to the last decoded picture
    std::uint64_t framesDecoded = 0;
    double framesPerSecond = 0;  // framesDecoded over seconds
    std::uint64_t keyframes = 0;  // keyframes delivered by the reassembler
    std::uint64_t bytes = 0;      // plaintext bytes of every opened datagram
    double bitsPerSecond = 0;
    std::uint64_t fragments = 0;   // datagrams that opened and read as fragments
    std::uint64_t duplicates = 0;  // the reassembler's count
    std::uint64_t nacks = 0;       // NACK messages sent
    std::uint64_t keyframeRequests = 0;
    std::uint64_t resendsReceived = 0;  // fragments that arrived after a NACK asked for them
    std::uint64_t framesLost = 0;       // the reassembler's count
    std::uint64_t datagramsRefused = 0;  // did not open with the stream's key
    // Capture on the Mac to decoded picture, in milliseconds; absent before the first picture.
    std::optional<double> latencyMedianMs;
    std::optional<double> latencyP95Ms;
  };

  // How the owner's control connection is used: send sealed envelopes, and the datagram keys
  // of stream `n` (absent when not logged in).
  struct Control {
    std::function<bool(const Envelope&)> send;
    std::function<std::optional<DatagramKeys>(std::uint32_t stream)> datagramKeys;
    std::string macHost;  // the control connection's remote host, where UDP goes (a name is
                          // resolved once per stream)
  };

  static std::shared_ptr<StreamClient> make(EventLoop& loop, Control control, Options options);
  ~StreamClient();
  StreamClient(const StreamClient&) = delete;
  StreamClient& operator=(const StreamClient&) = delete;

  // Every decoded picture, in order, with its capture time in ptsMicros.
  std::function<void(const VideoFrame& picture)> onPicture;
  // Every complete frame the reassembler hands out, before decoding (for recording).
  std::function<void(const Reassembler::Frame& frame)> onFrame;

  // Sends hello with the screen description. Call once logged in.
  void begin();
  // Describes a changed screen (screenChanged); the Mac answers with a new stream.
  void changeScreen(const ScreenTraits& screen);
  // Takes one envelope from the Mac; true when it was for the video path (videoReady). A
  // videoReady whose stream has no keys, or whose challenge is not 16 bytes, changes nothing.
  bool handle(const Envelope& envelope);
  // Closes the socket; nothing more arrives. Idempotent.
  void stop();

  Figures figures() const;
  // The last decoded picture, if any.
  const std::optional<VideoFrame>& lastPicture() const;

 private:
  struct State;
  StreamClient(EventLoop& loop, Control control, Options options);
  void sendHello(const std::shared_ptr<StreamClientStream>& stream);
  void onDatagram(const std::shared_ptr<StreamClientStream>& stream, ByteView datagram);
  void deliver(const std::shared_ptr<StreamClientStream>& stream, const Reassembler::Frame& frame);
  std::unique_ptr<State> state_;
};

}  // namespace lumenbrook
