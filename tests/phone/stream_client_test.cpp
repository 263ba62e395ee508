// The phone's video side against the real host streamer on loopback: the test pattern, the
// HEVC encoder and a VideoStreamer on the host's loop, the StreamClient on the phone's, and
// the control messages between them carried by the test (there is no host server here).

#include "phone/stream_client.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "core/crypto/crypto.h"
#include "core/video/fragment_header.h"
#include "core/video/video_hello.h"
#include "media/test_pattern_source.h"
#include "media/video_encoder.h"
#include "net/video_streamer.h"
#include "tests/net/net_test_support.h"
#include "tests/phone/stream_test_support.h"

// libx265 keeps a few buffers of every encoder it opened until the process ends; they are not
// ours to free. One definition for this test binary.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::showsTestPattern;
using testing::UdpRelay;

constexpr EncoderConfig kStream{.width = 320, .height = 240, .fps = 30, .bitrate = 600'000};

HandshakeKeys randomLoginKeys() {
  return HandshakeKeys{crypto::SymmetricKey(crypto::randomBytes(32)), crypto::SymmetricKey(crypto::randomBytes(32)),
                       crypto::SymmetricKey(crypto::randomBytes(32)), crypto::randomBytes(80)};
}

std::uint64_t microsSince(std::chrono::steady_clock::time_point t0) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
}

Envelope control(ControlMessage::Value m) { return Envelope{ControlMessage{std::move(m)}}; }

std::string describe(const StreamClient::Figures& f) {
  return "decoded " + std::to_string(f.framesDecoded) + ", fragments " + std::to_string(f.fragments) + ", nacks " +
         std::to_string(f.nacks) + ", resends " + std::to_string(f.resendsReceived) + ", lost " +
         std::to_string(f.framesLost) + ", keyframe requests " + std::to_string(f.keyframeRequests) +
         ", duplicates " + std::to_string(f.duplicates);
}

// Frame ids in serial order, as the reassembler hands them out.
bool newerID(std::uint32_t a, std::uint32_t b) {
  const std::uint32_t d = a - b;
  return d >= 1 && d <= 0x7FFFFFFEu;
}

class StreamClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    phone_.postAndWait([&] {
      if (client_) client_->stop();
      client_.reset();
    });
    host_.postAndWait([&] {
      for (auto& [n, s] : streamers_) s->stop();
      streamers_.clear();
    });
  }

  // Starts the host's streamer of stream `n`; the videoReady that announces it.
  ControlMessage::VideoReady startStreamer(std::uint32_t n, EncoderConfig config = kStream) {
    const Bytes challenge = crypto::randomBytes(VideoHello::challengeSize);
    std::promise<std::uint16_t> ready;
    host_.postAndWait([&] {
      const HandshakeKeys keys = login_.stream(n);
      auto s = VideoStreamer::make(host_, {.sealer = Sealer(keys, false, true),
                                           .opener = Opener(keys, false, true),
                                           .challenge = challenge,
                                           .peerHost = "127.0.0.1",
                                           .source = std::make_unique<TestPatternSource>(),
                                           .stream = config,
                                           .encoders = std::make_shared<HevcEncoderFactory>()});
      s->start([&ready](std::uint16_t port) { ready.set_value(port); });
      streamers_[n] = s;
    });
    auto port = ready.get_future();
    EXPECT_EQ(port.wait_for(testing::kStreamWait), std::future_status::ready);
    return ControlMessage::VideoReady{port.get(), n, challenge};
  }

  // The client, wired as a logged-in phone's: the session's keys per stream (each stream's
  // sealer once), and nack and requestKeyframe served by the streamer of the stream they are
  // sent on.
  void makeClient(StreamClient::Options options = {}) {
    options.screen = ScreenTraits::tv720();
    options.helloInterval = 20ms;
    options.nowMicros = [t0 = t0_] { return microsSince(t0); };
    StreamClient::Control c;
    c.macHost = "127.0.0.1";
    c.send = [this](const Envelope& e) {
      std::lock_guard lock(mutex_);
      sent_.push_back(e);
      if (e.isControl() && current_) {
        host_.post([this, m = e.control(), n = *current_] {
          if (auto it = streamers_.find(n); it != streamers_.end()) it->second->handle(m);
        });
      }
      return true;
    };
    c.datagramKeys = [this](std::uint32_t n) -> std::optional<StreamClient::DatagramKeys> {
      if (!sealed_.insert(n).second) return std::nullopt;
      const HandshakeKeys keys = login_.stream(n);
      return StreamClient::DatagramKeys{Sealer(keys, true, true), Opener(keys, true, true)};
    };
    phone_.postAndWait([&] {
      client_ = StreamClient::make(phone_, std::move(c), std::move(options));
      client_->onFrame = [this](const Reassembler::Frame& f) {
        std::lock_guard lock(mutex_);
        frames_.push_back({f.frameID, f.isKeyframe});
      };
      client_->onPicture = [this](const VideoFrame& p) {
        std::lock_guard lock(mutex_);
        if (pictures_.size() < 4) pictures_.push_back(p);
        ++pictureCount_;
      };
    });
  }

  bool handle(const Envelope& e) {
    if (e.isControl()) {
      if (auto* r = std::get_if<ControlMessage::VideoReady>(&e.control().value)) {
        std::lock_guard lock(mutex_);
        current_ = r->stream;
      }
    }
    return phone_.postAndWait([&] { return client_->handle(e); });
  }
  StreamClient::Figures figures() {
    return phone_.postAndWait([&] { return client_->figures(); });
  }
  bool decodesOn(std::uint32_t stream, std::uint64_t pictures) {
    return eventually([&] {
      auto f = figures();
      return f.stream == stream && f.framesDecoded >= pictures;
    });
  }
  std::shared_ptr<VideoStreamer> streamer(std::uint32_t n) {
    return host_.postAndWait([&] { return streamers_.at(n); });
  }
  std::vector<std::pair<std::uint32_t, bool>> frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }

  const std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
  const HandshakeKeys login_ = randomLoginKeys();
  EventLoop host_{"host-server"};
  EventLoop phone_{"phone"};
  std::map<std::uint32_t, std::shared_ptr<VideoStreamer>> streamers_;  // on host_
  std::set<std::uint32_t> sealed_;                                      // on phone_
  std::shared_ptr<StreamClient> client_;                                // on phone_

  std::mutex mutex_;
  std::optional<std::uint32_t> current_;
  std::vector<Envelope> sent_;
  std::vector<std::pair<std::uint32_t, bool>> frames_;  // id, keyframe
  std::vector<VideoFrame> pictures_;                    // the first few
  std::uint64_t pictureCount_ = 0;
};

TEST_F(StreamClientTest, BeginDescribesTheScreenAndChangeScreenAsksForANewStream) {
  StreamClient::Options options;
  options.deviceID = Uuid::fromRandom(std::array<std::uint8_t, 16>{1, 2, 3});
  options.deviceName = "Pocket";
  options.appVersion = "2.5";
  makeClient(options);
  phone_.postAndWait([&] {
    client_->begin();
    client_->changeScreen(ScreenTraits::portrait());
  });
  std::lock_guard lock(mutex_);
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[0], control(ControlMessage::Hello{options.deviceID, "Pocket", "2.5", ScreenTraits::tv720()}));
  EXPECT_EQ(sent_[1], control(ControlMessage::ScreenChanged{ScreenTraits::portrait()}));
}

TEST_F(StreamClientTest, OnlyVideoReadyIsTheVideoPathsBusiness) {
  makeClient();
  const Envelope others[] = {
      control(ControlMessage::Welcome{"Mac", 1920, 1080, 60}),
      control(ControlMessage::StatusWanted{true}),
      control(ControlMessage::Ping{1, 2}),
      Envelope{InputEvent{InputEvent::Zoom{2}}},
  };
  for (const Envelope& e : others) EXPECT_FALSE(handle(e)) << e.isControl();
  EXPECT_TRUE(handle(control(ControlMessage::VideoReady{4000, 1, Bytes(16, 1)})));
  EXPECT_EQ(figures().stream, 1u);
}

TEST_F(StreamClientTest, TheHelloProvesTheChallengeAndPortAndStopsOnceVideoArrives) {
  StreamClient::Options options;
  options.helloSends = 1000;
  makeClient(options);
  testing::UdpPeer host;
  const Bytes challenge = crypto::randomBytes(16);
  ASSERT_TRUE(handle(control(ControlMessage::VideoReady{host.port(), 5, challenge})));

  // Sent again and again, sealed afresh each time (a replay would not open).
  Opener opener(login_.stream(5), false, true);
  std::uint16_t phonePort = 0;
  for (int i = 0; i < 3; ++i) {
    auto hello = host.receiveFrom(2s);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->first.size(), VideoHello::size + 24);
    auto plain = opener.open(hello->first);
    ASSERT_TRUE(plain.ok()) << i;
    EXPECT_EQ(VideoHello::parse(plain.value()), (VideoHello{challenge, hello->second}));
    phonePort = hello->second;
  }

  // Something that opens but is not a fragment counts bytes only; a fragment ends the hellos,
  // and a frame that is no packet is handed out but decodes to nothing.
  Sealer sealer(login_.stream(5), false, true);
  host.sendTo(phonePort, sealer.seal(Bytes{1, 2, 3}).value());
  Bytes fragment = FragmentHeader{true, 0, 0, 1, 7}.encoded();
  append(fragment, Bytes{9, 9, 9});
  host.sendTo(phonePort, sealer.seal(fragment).value());
  ASSERT_TRUE(eventually([&] { return figures().fragments == 1; }));
  const auto f = figures();
  EXPECT_EQ(f.bytes, 3u + fragment.size());
  EXPECT_EQ(f.datagramsRefused, 0u);
  EXPECT_EQ(f.framesDecoded, 0u);
  EXPECT_EQ(frames(), (std::vector<std::pair<std::uint32_t, bool>>{{0, true}}));
  while (host.receive(0ms)) {
  }
  // Ten hello intervals: none goes out any more.
  EXPECT_FALSE(host.receive(200ms));
}

TEST_F(StreamClientTest, HelloBindsThePathAndPicturesShowThePatternInOrder) {
  makeClient();
  const auto ready = startStreamer(1);
  EXPECT_TRUE(handle(control(ready)));
  ASSERT_TRUE(decodesOn(1, 10));

  auto s = streamer(1);
  ASSERT_TRUE(host_.postAndWait([&] { return s->boundPeer(); }).has_value());
  const auto f = figures();
  EXPECT_EQ(f.width, kStream.width);
  EXPECT_EQ(f.height, kStream.height);
  EXPECT_GE(f.keyframes, 1u);
  EXPECT_GE(f.fragments, f.framesDecoded);
  EXPECT_GT(f.bytes, f.fragments * FragmentHeader::size);
  EXPECT_GT(f.seconds, 0);
  EXPECT_GT(f.framesPerSecond, 0);
  EXPECT_GT(f.bitsPerSecond, 0);
  EXPECT_EQ(f.datagramsRefused, 0u);
  ASSERT_TRUE(f.latencyMedianMs && f.latencyP95Ms);
  EXPECT_LE(*f.latencyMedianMs, *f.latencyP95Ms);
  EXPECT_LT(*f.latencyP95Ms, 5000);

  const auto delivered = frames();
  ASSERT_FALSE(delivered.empty());
  EXPECT_EQ(delivered.front(), std::make_pair(0u, true));
  for (std::size_t i = 1; i < delivered.size(); ++i) EXPECT_EQ(delivered[i].first, delivered[i - 1].first + 1);

  std::lock_guard lock(mutex_);
  ASSERT_FALSE(pictures_.empty());
  for (const VideoFrame& p : pictures_) EXPECT_TRUE(showsTestPattern(p));
  auto last = phone_.postAndWait([&] { return client_->lastPicture(); });
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->width, kStream.width);
}

TEST_F(StreamClientTest, DatagramsThatDoNotOpenAreCountedAndIgnored) {
  makeClient();
  const auto ready = startStreamer(1);
  handle(control(ready));
  ASSERT_TRUE(decodesOn(1, 3));
  auto phonePeer = host_.postAndWait([&] { return streamers_.at(1)->boundPeer(); });
  ASSERT_TRUE(phonePeer);

  // Sealed under another stream's key, sealed the phone's way, and no sealing at all.
  Sealer otherStream(login_.stream(2), false, true);
  Sealer phoneWay(login_.stream(1), true, true);
  const Bytes fragment = FragmentHeader{true, 0, 0, 1, 0}.encoded();
  const std::vector<Bytes> bad = {otherStream.seal(fragment).value(), phoneWay.seal(fragment).value(),
                                  crypto::randomBytes(200), Bytes(3, 0)};
  const std::uint64_t before = figures().framesDecoded;
  phone_.postAndWait([&] {
    auto socket = UdpSocket::open(phone_).value();
    for (const Bytes& d : bad) socket->sendTo(d, Endpoint{"127.0.0.1", phonePeer->port});
    socket->close();
  });
  EXPECT_TRUE(eventually([&] { return figures().datagramsRefused == bad.size(); }));
  EXPECT_TRUE(decodesOn(1, before + 5));
}

TEST_F(StreamClientTest, ASecondVideoReadyReplacesTheStream) {
  makeClient();
  handle(control(startStreamer(1)));
  ASSERT_TRUE(decodesOn(1, 3));

  const auto second = startStreamer(2);
  EXPECT_TRUE(handle(control(second)));
  EXPECT_EQ(figures().stream, 2u);
  ASSERT_TRUE(decodesOn(2, 5));
  // The first stream's datagrams go to a socket that is closed: none of them is counted.
  EXPECT_EQ(figures().datagramsRefused, 0u);
  auto frames2 = frames();
  std::size_t restart = 0;
  for (std::size_t i = 1; i < frames2.size(); ++i) {
    if (frames2[i].first != frames2[i - 1].first + 1) restart = i;
  }
  EXPECT_EQ(frames2[restart], std::make_pair(0u, true));

  // A stream whose keys were given out already, and a challenge of the wrong length, change
  // nothing.
  EXPECT_TRUE(handle(control(second)));
  auto shortChallenge = startStreamer(3);
  shortChallenge.challenge.pop_back();
  EXPECT_TRUE(handle(control(shortChallenge)));
  const auto f = figures();
  EXPECT_EQ(f.stream, 2u);
  EXPECT_TRUE(decodesOn(2, f.framesDecoded + 5));
  EXPECT_FALSE(host_.postAndWait([&] { return streamers_.at(3)->boundPeer(); }).has_value());
}

TEST_F(StreamClientTest, ALostHelloIsSentAgain) {
  const auto ready = startStreamer(1);
  auto hellosLost = std::make_shared<std::atomic<int>>(0);
  UdpRelay relay(ready.udpPort, {}, [hellosLost](ByteView) { return ++*hellosLost <= 2; });
  StreamClient::Options options;
  options.udpTarget = Endpoint{"127.0.0.1", relay.phonePort()};
  options.announcedPort = relay.hostPort();
  makeClient(options);
  handle(control(ready));
  ASSERT_TRUE(decodesOn(1, 3));
  EXPECT_GE(*hellosLost, 3);
  auto bound = host_.postAndWait([&] { return streamers_.at(1)->boundPeer(); });
  ASSERT_TRUE(bound);
  EXPECT_EQ(bound->port, relay.hostPort());
}

// Frames arrive in order and keep decoding when every 13th datagram from the host is lost:
// the missing fragments come again on NACKs.
TEST_F(StreamClientTest, LostFragmentsAreResentOnNacks) {
  // A bit rate at which frames take several fragments: a frame lost whole cannot be NACKed.
  const auto ready = startStreamer(1, {.width = 640, .height = 360, .fps = 30, .bitrate = 8'000'000});
  UdpRelay relay(ready.udpPort, testing::everyNth(13));
  StreamClient::Options options;
  options.udpTarget = Endpoint{"127.0.0.1", relay.phonePort()};
  options.announcedPort = relay.hostPort();
  makeClient(options);
  handle(control(ready));
  ASSERT_TRUE(eventually([&] {
    auto f = figures();
    return f.framesDecoded >= 40 && f.resendsReceived > 0;
  })) << describe(figures());
  const auto f = figures();
  EXPECT_GT(relay.dropped(), 0u);
  EXPECT_GT(f.nacks, 0u);
  const auto delivered = frames();
  for (std::size_t i = 1; i < delivered.size(); ++i) {
    EXPECT_TRUE(newerID(delivered[i].first, delivered[i - 1].first))
        << delivered[i - 1].first << " then " << delivered[i].first;
  }
  std::lock_guard lock(mutex_);
  for (const VideoFrame& p : pictures_) EXPECT_TRUE(showsTestPattern(p));
}

// A keyframe whose every fragment is lost: nothing can be NACKed, so the phone gives the
// frame up and asks for a keyframe, and pictures go on after the new one.
struct LostKeyframeCase {
  const char* name;
  bool first;  // the stream's first keyframe, else one the host makes on request mid-stream
};

class LostKeyframeTest : public StreamClientTest, public ::testing::WithParamInterface<LostKeyframeCase> {};

TEST_P(LostKeyframeTest, IsRecoveredByAKeyframeRequest) {
  const bool first = GetParam().first;
  const auto ready = startStreamer(1);
  // The relay reads the headers with a key of its own, as only a test can.
  auto opener = std::make_shared<Opener>(login_.stream(1), true, true);
  // The id of the keyframe lost, once chosen; -1 before.
  auto lost = std::make_shared<std::atomic<std::int64_t>>(-1);
  auto armed = std::make_shared<std::atomic<bool>>(first);
  UdpRelay relay(ready.udpPort, [opener, lost, armed](ByteView d) {
    auto plain = opener->open(d);
    if (!plain.ok()) return false;
    auto h = FragmentHeader::parse(plain.value());
    if (!h) return false;
    if (*lost < 0 && *armed && h->isKeyframe) *lost = h->frameID;
    return *lost == static_cast<std::int64_t>(h->frameID);
  });
  StreamClient::Options options;
  options.udpTarget = Endpoint{"127.0.0.1", relay.phonePort()};
  options.announcedPort = relay.hostPort();
  makeClient(options);
  handle(control(ready));
  if (!first) {
    ASSERT_TRUE(decodesOn(1, 5));
    armed->store(true);
    auto s = streamer(1);
    host_.post([s] { s->handle(ControlMessage{ControlMessage::RequestKeyframe{0}}); });
  }
  ASSERT_TRUE(eventually([&] {
    auto all = frames();
    return relay.dropped() > 0 && !all.empty() && all.back().second && all.back().first > 0 &&
           figures().keyframeRequests > 0;
  }));
  const std::uint64_t decoded = figures().framesDecoded;
  ASSERT_TRUE(decodesOn(1, decoded + 5));

  const auto f = figures();
  EXPECT_GE(f.framesLost, 1u);
  EXPECT_EQ(f.resendsReceived, 0u);
  // In order, the lost keyframe never, and after a gap only a keyframe.
  const auto delivered = frames();
  const std::int64_t lostID = *lost;
  for (std::size_t i = 1; i < delivered.size(); ++i) {
    EXPECT_TRUE(newerID(delivered[i].first, delivered[i - 1].first));
    EXPECT_TRUE(delivered[i].first == delivered[i - 1].first + 1 || delivered[i].second) << delivered[i].first;
  }
  for (const auto& [id, key] : delivered) EXPECT_NE(static_cast<std::int64_t>(id), lostID);
  // Mid-stream, the frame given up is the lost keyframe, and the request names it.
  std::lock_guard lock(mutex_);
  auto request = std::find_if(sent_.begin(), sent_.end(), [](const Envelope& e) {
    return std::holds_alternative<ControlMessage::RequestKeyframe>(e.control().value);
  });
  ASSERT_NE(request, sent_.end());
  if (!first) {
    EXPECT_EQ(std::get<ControlMessage::RequestKeyframe>(request->control().value).afterFrame, lostID);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LostKeyframeTest,
                         ::testing::Values(LostKeyframeCase{"TheFirst", true}, LostKeyframeCase{"ARequestedOne", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamClientTest, StopClosesThePath) {
  makeClient();
  handle(control(startStreamer(1)));
  ASSERT_TRUE(decodesOn(1, 3));
  phone_.postAndWait([&] { client_->stop(); });
  const std::uint64_t atStop = figures().fragments;
  const std::uint64_t sentAtStop = host_.postAndWait([&] { return streamers_.at(1)->sent(); });
  ASSERT_TRUE(eventually([&] { return host_.postAndWait([&] { return streamers_.at(1)->sent(); }) > sentAtStop + 10; }));
  EXPECT_EQ(figures().fragments, atStop);
  phone_.postAndWait([&] { client_->stop(); });
}

}  // namespace
}  // namespace lumenbrook
