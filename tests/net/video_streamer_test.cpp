#include "net/video_streamer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/crypto/crypto.h"
#include "core/video/fragment_header.h"
#include "core/video/fragmenter.h"
#include "core/video/video_hello.h"
#include "tests/net/net_test_support.h"

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;
using testing::kEventTimeout;
using testing::Recorder;

const EncoderConfig kConfig{.width = 640, .height = 360, .fps = 30, .bitrate = 4'000'000};
constexpr std::size_t kSealOverhead = 24;

// --- fakes ----------------------------------------------------------------------------------

// What the fakes saw, written wherever the streamer calls them and read by the test.
struct FakeLog {
  std::mutex mutex;
  std::vector<EncoderConfig> encodersMade;
  std::vector<std::uint64_t> encoded;  // ptsMicros of every frame given to the encoder
  int keyframeRequests = 0;
  int encoderStops = 0;
  int encodersAlive = 0;
  bool failToMakeEncoder = false;
  std::size_t accessUnitBytes = 2500;
  struct Start {
    int width, height, fps;
    friend bool operator==(const Start&, const Start&) = default;
  };
  std::vector<Start> sourceStarts;
  int sourceStops = 0;
  bool sourceAlive = false;
  FrameSource::Deliver deliver;  // the source's consumer, kept after the source is gone
  std::vector<std::string> assertionsTaken;
  int assertionsHeld = 0;

  template <class T>
  T read(T FakeLog::*field) {
    std::lock_guard lock(mutex);
    return this->*field;
  }
};

// The access unit of the packet for a frame: bytes that depend on its time, so that packets
// are told apart.
Bytes accessUnit(std::size_t size, std::uint64_t pts) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + pts);
  return b;
}

// One packet per frame, at once on the calling thread: a keyframe (with parameter sets) for
// the first frame and after a request, as a real encoder makes them.
VideoPacket packetFor(std::uint64_t pts, bool keyframe, std::size_t bytes) {
  VideoPacket p;
  p.keyframe = keyframe;
  if (keyframe) p.parameterSets = {Bytes{0x40, 0x01}, Bytes{0x42, 0x01}, Bytes{0x44, 0x01}};
  p.ptsMicros = pts;
  p.frame = accessUnit(bytes, pts);
  return p;
}

class FakeEncoder final : public VideoEncoder {
 public:
  explicit FakeEncoder(std::shared_ptr<FakeLog> log) : log_(std::move(log)) {}
  ~FakeEncoder() override {
    std::lock_guard lock(log_->mutex);
    --log_->encodersAlive;
  }
  void setOnPacket(PacketHandler handler) override { handler_ = std::move(handler); }
  void encode(const VideoFrame& frame) override {
    std::size_t bytes = 0;
    {
      std::lock_guard lock(log_->mutex);
      log_->encoded.push_back(frame.ptsMicros);
      bytes = log_->accessUnitBytes;
    }
    const bool keyframe = first_ || keyframeWanted_;
    first_ = keyframeWanted_ = false;
    if (handler_) handler_(packetFor(frame.ptsMicros, keyframe, bytes));
  }
  void requestKeyframe() override {
    std::lock_guard lock(log_->mutex);
    ++log_->keyframeRequests;
    keyframeWanted_ = true;
  }
  void stop() override {
    std::lock_guard lock(log_->mutex);
    ++log_->encoderStops;
  }
  std::string name() const override { return "fake"; }

 private:
  std::shared_ptr<FakeLog> log_;
  PacketHandler handler_;
  bool first_ = true;
  bool keyframeWanted_ = false;
};

class FakeEncoderFactory final : public EncoderFactory {
 public:
  explicit FakeEncoderFactory(std::shared_ptr<FakeLog> log) : log_(std::move(log)) {}
  Result<std::unique_ptr<VideoEncoder>, EncoderError> makeEncoder(const EncoderConfig& config) override {
    std::lock_guard lock(log_->mutex);
    log_->encodersMade.push_back(config);
    if (log_->failToMakeEncoder) return Failure{EncoderError::unavailable};
    ++log_->encodersAlive;
    return std::unique_ptr<VideoEncoder>(std::make_unique<FakeEncoder>(log_));
  }

 private:
  std::shared_ptr<FakeLog> log_;
};

// Keeps the consumer it is given in the log, so the test delivers frames as the source's own
// thread would.
class FakeSource final : public FrameSource {
 public:
  explicit FakeSource(std::shared_ptr<FakeLog> log) : log_(std::move(log)) {
    std::lock_guard lock(log_->mutex);
    log_->sourceAlive = true;
  }
  ~FakeSource() override {
    std::lock_guard lock(log_->mutex);
    log_->sourceAlive = false;
  }
  void start(int width, int height, int fps, Deliver deliver) override {
    std::lock_guard lock(log_->mutex);
    log_->sourceStarts.push_back({width, height, fps});
    log_->deliver = std::move(deliver);
  }
  void stop() override {
    std::lock_guard lock(log_->mutex);
    ++log_->sourceStops;
  }

 private:
  std::shared_ptr<FakeLog> log_;
};

class FakeSleepAssertions final : public SleepAssertions {
 public:
  explicit FakeSleepAssertions(std::shared_ptr<FakeLog> log) : log_(std::move(log)) {}
  std::unique_ptr<SleepAssertion> preventIdleSleep(const std::string& reason) override {
    std::lock_guard lock(log_->mutex);
    log_->assertionsTaken.push_back(reason);
    ++log_->assertionsHeld;
    return std::make_unique<Held>(log_);
  }

 private:
  struct Held final : SleepAssertion {
    explicit Held(std::shared_ptr<FakeLog> log) : log(std::move(log)) {}
    ~Held() override {
      std::lock_guard lock(log->mutex);
      --log->assertionsHeld;
    }
    std::shared_ptr<FakeLog> log;
  };
  std::shared_ptr<FakeLog> log_;
};

// --- the phone's end ------------------------------------------------------------------------

// A plain UDP socket on a loopback address, independent of the code under test.
class PhoneSocket {
 public:
  explicit PhoneSocket(const std::string& address = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &sin.sin_addr);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0) << address;
    // Room for the bursts of the budget test, as far as the system allows.
    int size = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socklen_t len = sizeof sin;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
    port_ = ntohs(sin.sin_port);
  }
  ~PhoneSocket() { ::close(fd_); }
  PhoneSocket(const PhoneSocket&) = delete;
  PhoneSocket& operator=(const PhoneSocket&) = delete;

  std::uint16_t port() const { return port_; }

  void sendTo(std::uint16_t port, ByteView datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(datagram.size()));
  }

  // The next datagram, waiting at most kEventTimeout; absent when none came.
  std::optional<Bytes> receive() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kEventTimeout).count())) != 1) return std::nullopt;
    return receiveNow();
  }
  // A datagram already waiting, without waiting.
  std::optional<Bytes> receiveNow() {
    Bytes buf(65536);
    ssize_t n = ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
  }
  std::vector<Bytes> receive(std::size_t n) {
    std::vector<Bytes> out;
    while (out.size() < n) {
      auto d = receive();
      if (!d) break;
      out.push_back(std::move(*d));
    }
    return out;
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// True when a UDP socket can take 127.0.0.1:port, that is when nothing holds the port.
bool portIsFree(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
  ::close(fd);
  return free;
}

HandshakeKeys randomKeys() {
  return HandshakeKeys{crypto::SymmetricKey(crypto::randomBytes(32)), crypto::SymmetricKey(crypto::randomBytes(32)),
                       crypto::SymmetricKey(crypto::randomBytes(32)), crypto::randomBytes(80)};
}

// The phone's half of the stream's datagram keys, and the challenge it was told.
struct PhoneKeys {
  HandshakeKeys keys = randomKeys().stream(3);
  Bytes challenge = crypto::randomBytes(16);
  Sealer sealer{keys, true, true};
  Opener opener{keys, true, true};

  Bytes sealed(ByteView plaintext) {
    auto s = sealer.seal(plaintext);
    EXPECT_TRUE(s.ok());
    return s.ok() ? s.value() : Bytes{};
  }
  Bytes hello(std::uint16_t port) { return sealed(VideoHello{challenge, port}.encoded()); }
};

VideoFrame frameAt(std::uint64_t pts) {
  return VideoFrame{std::make_shared<const Bytes>(16, 0), 2, 2, 8, pts};
}

// --- fixture --------------------------------------------------------------------------------

class VideoStreamerTest : public ::testing::Test {
 protected:
  explicit VideoStreamerTest(std::optional<std::string> peerHost = "127.0.0.1") : peerHost_(std::move(peerHost)) {}

  void SetUp() override {
    streamer_ = loop_.postAndWait([&] {
      auto s = VideoStreamer::make(
          loop_, {.sealer = Sealer(phone_.keys, false, true),
                  .opener = Opener(phone_.keys, false, true),
                  .challenge = phone_.challenge,
                  .peerHost = peerHost_,
                  .source = std::make_unique<FakeSource>(log_),
                  .stream = kConfig,
                  .encoders = std::make_shared<FakeEncoderFactory>(log_),
                  .sleepAssertions = std::make_shared<FakeSleepAssertions>(log_),
                  .clock = [now = now_] { return std::chrono::steady_clock::time_point(1h + now->load() * 1us); }});
      s->start([this](std::uint16_t port) { ready_.add(port); });
      return s;
    });
    auto ports = ready_.waitFor(1);
    ASSERT_EQ(ports.size(), 1u);
    port_ = ports[0];
  }

  void TearDown() override {
    loop_.postAndWait([&] { streamer_.reset(); });
  }

  template <class F>
  auto onLoop(F fn) {
    return loop_.postAndWait(std::move(fn));
  }

  // Waits until the streamer has taken `n` datagrams off its socket.
  [[nodiscard]] bool waitReceived(std::uint64_t n) {
    const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    while (onLoop([&] { return streamer_->received(); }) < n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  Bytes hello(std::uint16_t port) { return phone_.hello(port); }

  // Sends `datagram` from `phone` and waits until the streamer has read it.
  void sendAndWait(PhoneSocket& phone, ByteView datagram) {
    phone.sendTo(port_, datagram);
    ASSERT_TRUE(waitReceived(++sentToStreamer_));
  }

  std::optional<Endpoint> bound() {
    return onLoop([&] { return streamer_->boundPeer(); });
  }

  void bindWith(PhoneSocket& phone) {
    sendAndWait(phone, hello(phone.port()));
    auto peer = bound();
    ASSERT_TRUE(peer.has_value());
    ASSERT_EQ(peer->port, phone.port());
  }

  // A frame from the source, on a thread that is not the loop's, as a real source delivers.
  void deliver(std::uint64_t pts) {
    auto d = log_->read(&FakeLog::deliver);
    ASSERT_TRUE(d) << "the source was not started";
    d(frameAt(pts));
  }

  // Fragments as the streamer must have made them, in order, from the packets it was given.
  std::vector<Bytes> expectedFragments(std::vector<VideoPacket> packets) {
    Fragmenter fragmenter;
    std::vector<Bytes> out;
    for (const auto& p : packets) {
      for (auto& f : fragmenter.fragment(p.encoded(), p.keyframe, p.ptsMicros)) out.push_back(std::move(f));
    }
    return out;
  }

  // Opens datagrams as the phone does; every one must be sealed, 24 bytes over its plaintext.
  std::vector<Bytes> opened(const std::vector<Bytes>& datagrams) {
    std::vector<Bytes> out;
    for (const auto& d : datagrams) {
      auto plain = phone_.opener.open(d);
      EXPECT_TRUE(plain.ok()) << "a datagram the phone cannot open";
      if (!plain.ok()) continue;
      EXPECT_EQ(d.size(), plain.value().size() + kSealOverhead);
      out.push_back(std::move(plain.value()));
    }
    return out;
  }

  std::shared_ptr<FakeLog> log_ = std::make_shared<FakeLog>();
  std::shared_ptr<std::atomic<std::int64_t>> now_ = std::make_shared<std::atomic<std::int64_t>>(0);  // µs
  PhoneKeys phone_;
  std::optional<std::string> peerHost_;
  EventLoop loop_{"host-server"};
  Recorder<std::uint16_t> ready_;
  std::shared_ptr<VideoStreamer> streamer_;
  std::uint16_t port_ = 0;
  std::uint64_t sentToStreamer_ = 0;
};

// --- listening and binding ------------------------------------------------------------------

TEST_F(VideoStreamerTest, ReportsItsPortAndStartsNothingBeforeAHello) {
  EXPECT_EQ(onLoop([&] { return streamer_->port(); }), std::optional<std::uint16_t>(port_));
  EXPECT_NE(port_, 0);
  EXPECT_FALSE(portIsFree(port_));
  EXPECT_FALSE(bound().has_value());
  // A keyframe request before the pipeline runs has nothing to act on.
  onLoop([&] { streamer_->handle(ControlMessage{ControlMessage::RequestKeyframe{5}}); });
  std::lock_guard lock(log_->mutex);
  EXPECT_TRUE(log_->encodersMade.empty());
  EXPECT_TRUE(log_->sourceStarts.empty());
  EXPECT_TRUE(log_->assertionsTaken.empty());
  EXPECT_EQ(log_->keyframeRequests, 0);
}

// A refused first datagram (or datagrams) from one flow, then a good hello from another flow
// of the phone's host: the path must bind to the second, and the refused flow gets no video.
struct RefusedHelloCase {
  const char* name;
  const char* fromAddress;
  // The datagrams the refused flow sends, given that flow's own port.
  std::function<std::vector<Bytes>(PhoneKeys&, std::uint16_t port)> datagrams;

  friend void PrintTo(const RefusedHelloCase& c, std::ostream* os) { *os << c.name; }
};

class VideoStreamerHello : public VideoStreamerTest, public ::testing::WithParamInterface<RefusedHelloCase> {};

Bytes helloPlaintext(const PhoneKeys& k, std::uint16_t port, int sizeChange = 0) {
  Bytes b = VideoHello{k.challenge, port}.encoded();
  if (sizeChange < 0) b.resize(b.size() - 1);
  if (sizeChange > 0) b.push_back(0);
  return b;
}

const RefusedHelloCase kRefusedHellos[] = {
    {"WrongChallenge", "127.0.0.1",
     [](PhoneKeys& k, std::uint16_t port) {
       Bytes wrong = k.challenge;
       wrong[15] ^= 0x01;
       return std::vector<Bytes>{k.sealed(VideoHello{wrong, port}.encoded())};
     }},
    {"WrongPortField", "127.0.0.1",
     [](PhoneKeys& k, std::uint16_t port) { return std::vector<Bytes>{k.hello(static_cast<std::uint16_t>(port + 1))}; }},
    {"SeventeenBytes", "127.0.0.1",
     [](PhoneKeys& k, std::uint16_t port) { return std::vector<Bytes>{k.sealed(helloPlaintext(k, port, -1))}; }},
    {"NineteenBytes", "127.0.0.1",
     [](PhoneKeys& k, std::uint16_t port) { return std::vector<Bytes>{k.sealed(helloPlaintext(k, port, +1))}; }},
    {"Empty", "127.0.0.1", [](PhoneKeys&, std::uint16_t) { return std::vector<Bytes>{Bytes{}}; }},
    // Long enough to be taken for a sealed payload.
    {"NotSealed", "127.0.0.1",
     [](PhoneKeys& k, std::uint16_t port) {
       Bytes plain = helloPlaintext(k, port);
       append(plain, Bytes(8, 0));
       return std::vector<Bytes>{plain};
     }},
    {"SealedWithTheHostKey", "127.0.0.1",
     [](PhoneKeys& k, std::uint16_t port) {
       Sealer hostSide(k.keys, false, true);
       return std::vector<Bytes>{hostSide.seal(helloPlaintext(k, port)).value()};
     }},
    {"SealedForAnotherStream", "127.0.0.1",
     [](PhoneKeys& k, std::uint16_t port) {
       Sealer otherStream(k.keys.stream(4), true, true);
       return std::vector<Bytes>{otherStream.seal(helloPlaintext(k, port)).value()};
     }},
    {"FromAnotherHostAddress", "127.0.0.2",
     [](PhoneKeys& k, std::uint16_t port) { return std::vector<Bytes>{k.hello(port)}; }},
    // One chance per flow: a good hello after a refused one on the same flow is not read.
    {"GoodHelloAfterARefusedOne", "127.0.0.1",
     [](PhoneKeys& k, std::uint16_t port) {
       return std::vector<Bytes>{k.hello(static_cast<std::uint16_t>(port + 1)), k.hello(port)};
     }},
};

TEST_P(VideoStreamerHello, RefusedFlowDoesNotBind) {
  PhoneSocket refused(GetParam().fromAddress);
  for (const Bytes& d : GetParam().datagrams(phone_, refused.port())) sendAndWait(refused, d);
  EXPECT_FALSE(bound().has_value());
  EXPECT_TRUE(log_->read(&FakeLog::encodersMade).empty());

  PhoneSocket phone;
  bindWith(phone);
  deliver(1000);
  EXPECT_FALSE(phone.receive(3).empty());
  EXPECT_FALSE(refused.receiveNow().has_value()) << "video went to the refused flow";
}

INSTANTIATE_TEST_SUITE_P(Cases, VideoStreamerHello, ::testing::ValuesIn(kRefusedHellos),
                         [](const auto& info) { return std::string(info.param.name); });

// Datagrams that do not open under the stream's key, sent from the phone's own port before its
// hello, must not use up that port's one chance.
TEST_F(VideoStreamerTest, JunkFromThePhonesPortBeforeItsHelloDoesNotLockItOut) {
  PhoneSocket phone;
  Sealer otherStream(phone_.keys.stream(4), true, true);
  Sealer hostSide(phone_.keys, false, true);
  const Bytes plain = helloPlaintext(phone_, phone.port());
  Bytes unsealed = plain;
  append(unsealed, Bytes(8, 0));
  for (const Bytes& junk : {Bytes{}, Bytes{0x00}, unsealed, otherStream.seal(plain).value(), hostSide.seal(plain).value(),
                            Bytes(1500, 0xAB)}) {
    sendAndWait(phone, junk);
  }
  EXPECT_FALSE(bound().has_value());
  bindWith(phone);
  deliver(1000);
  EXPECT_EQ(opened(phone.receive(3)), expectedFragments({packetFor(1000, true, 2500)}));
}

// Once bound, the socket takes the phone's datagrams only: a flood from another port of the
// phone's host is dropped by the kernel and never reaches the streamer. The phone's own
// datagram, sent after the flood, is the only one the streamer takes off its socket.
TEST_F(VideoStreamerTest, AfterBindingOtherFlowsNeverReachTheStreamer) {
  PhoneSocket phone, flood;
  bindWith(phone);
  const std::uint64_t before = onLoop([&] { return streamer_->received(); });
  for (int i = 0; i < 500; ++i) flood.sendTo(port_, hello(flood.port()));
  phone.sendTo(port_, Bytes{0x01});
  ASSERT_TRUE(waitReceived(before + 1));
  EXPECT_EQ(onLoop([&] { return streamer_->received(); }), before + 1);
  // Sending to the phone goes on over the connected socket.
  deliver(1000);
  EXPECT_EQ(opened(phone.receive(3)), expectedFragments({packetFor(1000, true, 2500)}));
  EXPECT_FALSE(flood.receiveNow().has_value());
}

TEST_F(VideoStreamerTest, ReplayedHelloIsRefused) {
  PhoneSocket first, replaying, phone;
  // A hello naming `replaying`'s port, first seen (and spent) on another flow.
  const Bytes captured = hello(replaying.port());
  sendAndWait(first, captured);
  sendAndWait(replaying, captured);
  EXPECT_FALSE(bound().has_value());
  bindWith(phone);
}

TEST_F(VideoStreamerTest, FlowsAfterBindingAreIgnored) {
  PhoneSocket phone, later;
  bindWith(phone);
  later.sendTo(port_, hello(later.port()));  // the connected socket never takes it
  sendAndWait(phone, hello(phone.port()));
  EXPECT_EQ(bound()->port, phone.port());
  EXPECT_EQ(log_->read(&FakeLog::encodersMade).size(), 1u);
  EXPECT_EQ(log_->read(&FakeLog::sourceStarts).size(), 1u);

  deliver(1000);
  EXPECT_EQ(opened(phone.receive(3)), expectedFragments({packetFor(1000, true, 2500)}));
  EXPECT_FALSE(later.receiveNow().has_value());
}

// The peer host is compared in its normalised form; without one no flow is ever accepted.
struct PeerHostCase {
  std::optional<std::string> peerHost;
  bool binds;
};

class VideoStreamerPeerHost : public VideoStreamerTest, public ::testing::WithParamInterface<PeerHostCase> {
 protected:
  VideoStreamerPeerHost() : VideoStreamerTest(GetParam().peerHost) {}
};

TEST_P(VideoStreamerPeerHost, AcceptsOnlyTheControlConnectionsHost) {
  PhoneSocket phone;
  sendAndWait(phone, hello(phone.port()));
  EXPECT_EQ(bound().has_value(), GetParam().binds);
}

INSTANTIATE_TEST_SUITE_P(Cases, VideoStreamerPeerHost,
                         ::testing::Values(PeerHostCase{"127.0.0.1", true}, PeerHostCase{"::FFFF:127.0.0.1", true},
                                           PeerHostCase{"127.0.0.2", false}, PeerHostCase{std::nullopt, false}));

// --- the pipeline ---------------------------------------------------------------------------

TEST_F(VideoStreamerTest, BindingStartsEncoderSourceAndSleepAssertion) {
  PhoneSocket phone;
  bindWith(phone);
  EXPECT_TRUE(onLoop([&] { return streamer_->streaming(); }));
  std::lock_guard lock(log_->mutex);
  EXPECT_EQ(log_->encodersMade, std::vector<EncoderConfig>{kConfig});
  EXPECT_EQ(log_->sourceStarts, (std::vector<FakeLog::Start>{{kConfig.width, kConfig.height, kConfig.fps}}));
  EXPECT_EQ(log_->assertionsTaken, std::vector<std::string>{"Lumenbrook is streaming to a phone"});
  EXPECT_EQ(log_->assertionsHeld, 1);
}

TEST_F(VideoStreamerTest, WithoutAnEncoderThePathStaysBoundAndNothingRuns) {
  log_->failToMakeEncoder = true;
  PhoneSocket phone;
  bindWith(phone);
  EXPECT_FALSE(onLoop([&] { return streamer_->streaming(); }));
  std::lock_guard lock(log_->mutex);
  EXPECT_EQ(log_->encodersMade.size(), 1u);
  EXPECT_TRUE(log_->sourceStarts.empty());
  EXPECT_TRUE(log_->assertionsTaken.empty());
}

// Every encoded frame reaches the phone as fragments sealed with the stream's key, in order,
// with consecutive frame ids; a keyframe request makes the next frame a keyframe.
TEST_F(VideoStreamerTest, FramesArriveAsSealedFragmentsAndKeyframesFollowRequests) {
  PhoneSocket phone;
  bindWith(phone);
  const std::vector<VideoPacket> packets = {packetFor(1000, true, 2500), packetFor(2000, false, 2500),
                                            packetFor(3000, true, 2500)};
  const auto expected = expectedFragments(packets);
  ASSERT_EQ(expected.size(), 9u);

  deliver(1000);
  deliver(2000);
  ASSERT_EQ(phone.receive(6).size(), 6u);  // waits until both frames are out before the request
  onLoop([&] { streamer_->handle(ControlMessage{ControlMessage::RequestKeyframe{1}}); });
  deliver(3000);
  auto third = phone.receive(3);

  EXPECT_EQ(log_->read(&FakeLog::keyframeRequests), 1);
  EXPECT_EQ(log_->read(&FakeLog::encoded), (std::vector<std::uint64_t>{1000, 2000, 3000}));
  EXPECT_EQ(onLoop([&] { return streamer_->sent(); }), 9u);
  const auto fragments = opened(third);
  ASSERT_EQ(fragments.size(), 3u);
  EXPECT_EQ(fragments, std::vector<Bytes>(expected.begin() + 6, expected.end()));
  const auto header = FragmentHeader::parse(fragments[0]);
  ASSERT_TRUE(header.has_value());
  EXPECT_TRUE(header->isKeyframe);
  EXPECT_EQ(header->frameID, 2u);
  EXPECT_EQ(header->captureTimeMicros, 3000u);
}

TEST_F(VideoStreamerTest, NackResendsExactlyTheAskedFragmentsUnderFreshCounters) {
  PhoneSocket phone;
  bindWith(phone);
  deliver(1000);
  const auto original = opened(phone.receive(3));
  ASSERT_EQ(original.size(), 3u);

  const std::uint64_t before = onLoop([&] { return streamer_->sent(); });
  // Index 99 is beyond the frame and skipped; frame 7 was never sent.
  onLoop([&] {
    streamer_->handle(ControlMessage{ControlMessage::Nack{0, {2, 0, 99}}});
    streamer_->handle(ControlMessage{ControlMessage::Nack{7, {0}}});
  });
  EXPECT_EQ(onLoop([&] { return streamer_->sent(); }), before + 2);
  const auto resent = phone.receive(2);
  ASSERT_EQ(resent.size(), 2u);
  // The phone's replay window has seen counters 1...3: the resends open only under new ones.
  for (const auto& d : resent) EXPECT_GT(loadU64BE(d.data()), 3u);
  EXPECT_EQ(opened(resent), (std::vector<Bytes>{original[2], original[0]}));
}

// The budget counts distinct fragments: a frame larger than it is needed to spend it.
TEST_F(VideoStreamerTest, ResendsStayWithinTheBudget) {
  constexpr std::size_t kBytes = 2600 * Fragmenter::defaultMaxPayload;
  const std::size_t fragments = expectedFragments({packetFor(1000, true, kBytes)}).size();
  {
    std::lock_guard lock(log_->mutex);
    log_->accessUnitBytes = kBytes;
  }
  PhoneSocket phone;
  bindWith(phone);
  deliver(1000);
  auto sent = [&] { return onLoop([&] { return streamer_->sent(); }); };
  // The frame's encoding runs behind this barrier and posts the sending, which runs before
  // the count is read.
  onLoop([] {});
  ASSERT_EQ(sent(), fragments);
  auto nack = [&](std::size_t n, std::uint16_t first) {
    std::vector<std::uint16_t> missing(n);
    for (std::size_t i = 0; i < n; ++i) missing[i] = static_cast<std::uint16_t>(first + i);
    onLoop([&] { streamer_->handle(ControlMessage{ControlMessage::Nack{0, missing}}); });
  };

  std::uint64_t base = sent();
  nack(2500, 0);  // the bucket starts full: 2000
  EXPECT_EQ(sent(), base + 2000);
  nack(10, 0);  // no time has passed
  EXPECT_EQ(sent(), base + 2000);
  now_->store(250'000);  // a quarter of a second refills 500
  nack(600, 0);
  EXPECT_EQ(sent(), base + 2500);
}

// A nack listing the frame's fragments over and over, and indexes beyond it, 24,000 in all,
// brings back each fragment of the frame once.
TEST_F(VideoStreamerTest, ANackResendsEachFragmentOnceHoweverOftenItIsListed) {
  PhoneSocket phone;
  bindWith(phone);
  deliver(1000);
  const auto original = opened(phone.receive(3));
  ASSERT_EQ(original.size(), 3u);
  std::vector<std::uint16_t> missing;
  for (std::size_t i = 0; i < 24'000; ++i) {
    missing.push_back(static_cast<std::uint16_t>(i % 4 == 3 ? 3 + i : 2 - i % 4));
  }
  const std::uint64_t before = onLoop([&] { return streamer_->sent(); });
  onLoop([&] { streamer_->handle(ControlMessage{ControlMessage::Nack{0, missing}}); });
  EXPECT_EQ(onLoop([&] { return streamer_->sent(); }), before + 3);
  EXPECT_EQ(opened(phone.receive(3)), (std::vector<Bytes>{original[2], original[1], original[0]}));
  EXPECT_FALSE(phone.receiveNow().has_value());
}

// --- stopping -------------------------------------------------------------------------------

TEST_F(VideoStreamerTest, StopReleasesEverythingOnceAndClosesTheSocket) {
  PhoneSocket phone;
  bindWith(phone);
  deliver(1000);
  ASSERT_EQ(phone.receive(3).size(), 3u);

  onLoop([&] { streamer_->stop(); });
  auto check = [&] {
    std::lock_guard lock(log_->mutex);
    EXPECT_EQ(log_->sourceStops, 1);
    EXPECT_FALSE(log_->sourceAlive);
    EXPECT_EQ(log_->encoderStops, 1);
    EXPECT_EQ(log_->encodersAlive, 0);
    EXPECT_EQ(log_->assertionsHeld, 0);
  };
  check();
  EXPECT_TRUE(portIsFree(port_));
  EXPECT_FALSE(onLoop([&] { return streamer_->streaming(); }));

  onLoop([&] { streamer_->stop(); });
  check();
  // Late work for a stopped streamer does nothing.
  deliver(2000);
  onLoop([&] { streamer_->handle(ControlMessage{ControlMessage::Nack{0, {0}}}); });
  EXPECT_EQ(log_->read(&FakeLog::encoded).size(), 1u);
  EXPECT_EQ(onLoop([&] { return streamer_->sent(); }), 3u);
}

TEST_F(VideoStreamerTest, StoppedBeforeItsReportNeverReportsAPort) {
  Recorder<std::uint16_t> late;
  onLoop([&] {
    auto s = VideoStreamer::make(loop_, {.sealer = Sealer(phone_.keys, false, true),
                                         .opener = Opener(phone_.keys, false, true),
                                         .challenge = phone_.challenge,
                                         .peerHost = "127.0.0.1",
                                         .source = std::make_unique<FakeSource>(std::make_shared<FakeLog>()),
                                         .stream = kConfig,
                                         .encoders = std::make_shared<FakeEncoderFactory>(log_)});
    s->start([&](std::uint16_t port) { late.add(port); });
    s->stop();
  });
  // The report was posted behind the start; everything posted after it runs later.
  onLoop([] {});
  EXPECT_TRUE(late.items().empty());
}

TEST_F(VideoStreamerTest, ReleasingTheStreamerReleasesEverythingAndLateFramesFindNothing) {
  PhoneSocket phone;
  bindWith(phone);
  onLoop([&] { streamer_.reset(); });
  deliver(1000);
  onLoop([] {});
  std::lock_guard lock(log_->mutex);
  EXPECT_TRUE(log_->encoded.empty());
  EXPECT_EQ(log_->encodersAlive, 0);
  EXPECT_FALSE(log_->sourceAlive);
  EXPECT_EQ(log_->assertionsHeld, 0);
  EXPECT_TRUE(portIsFree(port_));
}

}  // namespace
}  // namespace lumenbrook
