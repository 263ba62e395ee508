// Video streams of a logged-in phone: the default stream, streams sized from the phone's screen
// description, their numbering and videoReady, and their end with the connection.

#include "net/host_server.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/net/host_server_fixture.h"

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;
using testing::Events;
using testing::PhoneHarness;
using testing::ServerHarness;
using testing::ServerOptions;

ScreenTraits screenOf(double width, double height, std::int64_t maxFPS, double scale = 1) {
  return ScreenTraits{"Phone", width, height, scale, maxFPS, false, false, ViewingDistance::desk};
}

TEST(HostServerStreamSize, FitsTheScreenIntoTheStreamBoxKeepingItsOrientation) {
  struct Case {
    double width, height, scale;
    HostServer::StreamSize expected;
  };
  const Case cases[] = {
      {2532, 1170, 1, {2532, 1170}},  // its own size
      {1170, 2532, 1, {1170, 2532}},  // portrait stays portrait
      {2560, 1440, 2, {3840, 2160}},  // 5120 x 2880 pixels
      {6000, 1000, 1, {3840, 640}},   // the long side decides
      {1000, 6000, 1, {640, 3840}},
      {101, 101, 1, {320, 240}},      // never below the smallest stream
      {1001, 701, 1, {1000, 700}},    // even sizes
      {4000, 2400, 1, {3600, 2160}},  // the short side decides
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    EXPECT_EQ(HostServer::streamSize(screenOf(c.width, c.height, 60, c.scale).sanitized()),
              c.expected);
  }
}

TEST(HostServerStreamEncoding, RaisesTheFrameRateToTheFloorAndTheBitRateForTheLargestStreams) {
  struct Case {
    int width, height;
    std::int64_t fps, bitrate;
    EncoderConfig expected;
  };
  const Case cases[] = {
      {1920, 1080, 60, 20'000'000, {1920, 1080, 60, 20'000'000}},
      {3840, 2160, 60, 20'000'000, {3840, 2160, 60, 50'000'000}},
      {3838, 2160, 60, 20'000'000, {3838, 2160, 60, 20'000'000}},
      {2160, 3840, 30, 3, {2160, 3840, 30, 7}},  // integer arithmetic
      {1280, 720, 10, 1'000'000, {1280, 720, 24, 1'000'000}},
      {1280, 720, 24, 1'000'000, {1280, 720, 24, 1'000'000}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HostServer::streamEncoding(c.width, c.height, c.fps, c.bitrate), c.expected);
  }
}

// Stands in for the pictures: records which streams were made and when they were released.
class RecordingSource final : public FrameSource {
 public:
  RecordingSource(Events<std::string>& events, std::string size)
      : events_(events), size_(std::move(size)) {
    events_.add("made " + size_);
  }
  ~RecordingSource() override { events_.add("released " + size_); }
  void start(int, int, int, Deliver) override {}
  void stop() override {}

 private:
  Events<std::string>& events_;
  std::string size_;
};

// A paired, logged-in phone whose videoReady messages are recorded.
class StreamFixture {
 public:
  explicit StreamFixture(HostServer::Duration defaultDelay,
                         HostServer::Duration startGap = HostServer::Timing{}.streamStartGap)
      : s(options(defaultDelay, startGap, sources)) {
    s.server->onScreen = [this](const ScreenTraits& t) { screens.add(t); };
    port = s.start();
    auto pairing = testing::pairPhone(s, phone);
    EXPECT_TRUE(pairing.has_value());
    phone.loop.postAndWait([this] {
      phone.client->onEnvelope = [this](const Envelope& e) {
        const ControlMessage* m = testing::controlOf(e);
        if (!m) return;
        if (std::holds_alternative<ControlMessage::Welcome>(m->value)) welcomed.add(1);
        if (auto* r = std::get_if<ControlMessage::VideoReady>(&m->value)) ready.add(*r);
      };
    });
    phone.login(port, pairing ? pairing->psk : Bytes{});
    EXPECT_TRUE(welcomed.waitNth(1).has_value());
  }

  bool describe(const ControlMessage& m) { return phone.send(Envelope{m}); }
  std::size_t streamingLines() {
    std::size_t n = 0;
    for (const std::string& line : s.log.items()) n += line.rfind("streaming ", 0) == 0;
    return n;
  }

  Events<std::string> sources;
  Events<ScreenTraits> screens;
  Events<int> welcomed;
  Events<ControlMessage::VideoReady> ready;
  ServerHarness s;
  PhoneHarness phone;
  std::uint16_t port = 0;

 private:
  static ServerOptions options(HostServer::Duration delay, HostServer::Duration startGap,
                               Events<std::string>& sources) {
    ServerOptions o;
    o.timing.defaultStreamDelay = delay;
    o.timing.streamStartGap = startGap;
    o.makeSource = [&sources](int w, int h) {
      return std::make_unique<RecordingSource>(sources,
                                               std::to_string(w) + "x" + std::to_string(h));
    };
    return o;
  }
};

TEST(HostServerStreams, WithoutADescriptionTheDefaultStreamStartsAfterTheDelay) {
  StreamFixture f(50ms);
  auto ready = f.ready.waitNth(1);
  ASSERT_TRUE(ready.has_value());
  EXPECT_EQ(ready->stream, 1u);
  EXPECT_EQ(ready->challenge.size(), 16u);
  EXPECT_NE(ready->udpPort, 0);
  EXPECT_TRUE(f.s.log.waitFor("streaming 1920x1080@60"));
  EXPECT_EQ(f.sources.items(), (std::vector<std::string>{"made 1920x1080"}));
}

TEST(HostServerStreams, ADescriptionWithinTheDelayGivesExactlyOneStreamOfItsSize) {
  // Roomy, so that even a slow sanitizer build sends the description well within it.
  const auto delay = 1s;
  StreamFixture f(delay);
  // Asked for 120 fps: described screens stream at 60 at most.
  ASSERT_TRUE(f.describe(ControlMessage{ControlMessage::Hello{
      f.phone.identity.id(), "Phone", "1.0", screenOf(1170, 2532, 120)}}));
  auto ready = f.ready.waitNth(1);
  ASSERT_TRUE(ready.has_value());
  EXPECT_EQ(ready->stream, 1u);
  EXPECT_TRUE(f.s.log.waitFor("streaming 1170x2532@60"));
  auto screen = f.screens.waitNth(1);
  ASSERT_TRUE(screen.has_value());
  EXPECT_EQ(*screen, screenOf(1170, 2532, 120).sanitized());

  // Past the default delay: the description cancelled the default stream.
  std::this_thread::sleep_for(delay + 500ms);
  f.s.settle();
  EXPECT_EQ(f.ready.size(), 1u);
  EXPECT_EQ(f.streamingLines(), 1u);
  EXPECT_EQ(f.sources.items(), (std::vector<std::string>{"made 1170x2532"}));
}

TEST(HostServerStreams, ALaterScreenChangeReplacesTheStreamWithANewOne) {
  StreamFixture f(20ms);
  auto first = f.ready.waitNth(1);
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(f.describe(
      ControlMessage{ControlMessage::ScreenChanged{screenOf(1280, 720, 24)}}));
  auto second = f.ready.waitNth(2);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->stream, 2u);
  EXPECT_NE(second->challenge, first->challenge);
  EXPECT_NE(second->udpPort, first->udpPort);
  EXPECT_TRUE(f.s.log.waitFor("streaming 1280x720@24"));
  // The old stream is gone before the new one is made.
  EXPECT_EQ(f.sources.items(), (std::vector<std::string>{"made 1920x1080", "released 1920x1080",
                                                         "made 1280x720"}));
}

// Ten descriptions in a burst: the first starts its stream at once, the other nine wait for
// the gap and then give one stream, of the last size.
TEST(HostServerStreams, ABurstOfDescriptionsEndsInOneStreamOfTheLastSize) {
  // Roomy, so that even a slow sanitizer build sends the whole burst within it.
  StreamFixture f(1h, 1s);
  ASSERT_TRUE(f.describe(ControlMessage{ControlMessage::Hello{
      f.phone.identity.id(), "Phone", "1.0", screenOf(1000, 600, 30)}}));
  for (int i = 1; i < 10; ++i) {
    ASSERT_TRUE(f.describe(
        ControlMessage{ControlMessage::ScreenChanged{screenOf(1000 + 100 * i, 600, 30)}}));
  }
  ASSERT_TRUE(f.sources.waitFor("made 1900x600"));
  auto second = f.ready.waitNth(2);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->stream, 2u);
  f.s.settle();
  EXPECT_EQ(f.sources.items(), (std::vector<std::string>{"made 1000x600", "released 1000x600",
                                                         "made 1900x600"}));
  EXPECT_EQ(f.streamingLines(), 2u);
  EXPECT_EQ(f.screens.size(), 10u);
}

TEST(HostServerStreams, TheStreamEndsWithTheConnection) {
  StreamFixture f(20ms);
  ASSERT_TRUE(f.ready.waitNth(1).has_value());
  f.phone.close();
  EXPECT_TRUE(f.sources.waitFor("released 1920x1080"));
  EXPECT_TRUE(f.s.waitForClients(0));
}

TEST(HostServerStreams, AStreamIsNeverStartedForAConnectionThatClosedBeforeTheDelay) {
  StreamFixture f(300ms);
  f.phone.close();
  ASSERT_TRUE(f.s.waitForClients(0));
  std::this_thread::sleep_for(600ms);
  f.s.settle();
  EXPECT_TRUE(f.sources.items().empty());
  EXPECT_EQ(f.streamingLines(), 0u);
}

}  // namespace
}  // namespace lumenbrook
