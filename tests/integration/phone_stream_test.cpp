// The whole product on one machine: a host server streaming the test pattern through the HEVC
// encoder, and a phone that pairs, logs in, describes its screen and decodes the video, over
// loopback; once straight, once through a relay that loses host-to-phone datagrams.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "media/test_pattern_source.h"
#include "media/video_encoder.h"
#include "phone/stream_client.h"
#include "tests/net/host_server_fixture.h"
#include "tests/phone/stream_test_support.h"

namespace lumenbrook {
namespace {

using testing::eventually;
using testing::PhoneHarness;
using testing::ServerHarness;
using testing::ServerOptions;
using testing::UdpRelay;

ScreenTraits screenOf(double width, double height) {
  return ScreenTraits{"Phone", width, height, 1, 30, false, false, ViewingDistance::desk};
}

ServerOptions streamingServer(std::int64_t bitrate) {
  ServerOptions o;
  o.makeSource = [](int, int) { return std::make_unique<TestPatternSource>(); };
  o.encoders = std::make_shared<HevcEncoderFactory>();
  o.config.fps = 30;
  o.config.bitrate = bitrate;
  return o;
}

// A paired, logged-in phone whose envelopes go to its StreamClient. `relay`, when given, is
// put between the phone and the host's UDP port.
class StreamingPhone {
 public:
  StreamingPhone(ServerHarness& server, const ScreenTraits& screen, UdpRelay* relay = nullptr) {
    const std::uint16_t port = server.start();
    EXPECT_NE(port, 0);
    auto pairing = testing::pairPhone(server, phone);
    EXPECT_TRUE(pairing);
    if (!pairing) return;
    EXPECT_TRUE(testing::loginPhone(phone, port, *pairing));
    phone.loop.postAndWait([&] {
      StreamClient::Options options;
      options.screen = screen;
      options.deviceID = phone.client->deviceID();
      options.deviceName = phone.identity.name();
      if (relay) {
        options.udpTarget = Endpoint{"127.0.0.1", relay->phonePort()};
        options.announcedPort = relay->hostPort();
      }
      video = StreamClient::make(phone.loop, phone.client->streamControl(), options);
      video->onFrame = [this](const Reassembler::Frame& f) {
        std::lock_guard lock(mutex);
        frameIDs.push_back(f.frameID);
      };
      video->onPicture = [this](const VideoFrame& p) {
        std::lock_guard lock(mutex);
        if (pictures.size() < 3) pictures.push_back(p);
      };
      phone.client->onEnvelope = [this, relay](const Envelope& e) {
        phone.envelopes.add(e);
        if (auto* ready = e.isControl() ? std::get_if<ControlMessage::VideoReady>(&e.control().value) : nullptr) {
          if (relay) relay->setHostPort(ready->udpPort);
        }
        if (video) video->handle(e);
      };
      video->begin();
    });
  }
  ~StreamingPhone() {
    phone.loop.postAndWait([&] {
      phone.client->onEnvelope = nullptr;
      if (video) video->stop();
      video.reset();
    });
  }

  StreamClient::Figures figures() {
    return phone.loop.postAndWait([&] { return video ? video->figures() : StreamClient::Figures{}; });
  }

  PhoneHarness phone;
  std::shared_ptr<StreamClient> video;  // on phone.loop
  std::mutex mutex;
  std::vector<std::uint32_t> frameIDs;
  std::vector<VideoFrame> pictures;  // the first few
};

TEST(PhoneStream, APairedPhoneSeesTheTestPatternAtItsScreensSize) {
  ServerHarness server(streamingServer(4'000'000));
  StreamingPhone p(server, screenOf(1280, 720));
  ASSERT_TRUE(p.video);
  ASSERT_TRUE(eventually([&] { return p.figures().framesDecoded >= 5; })) << p.figures().fragments;

  const auto f = p.figures();
  EXPECT_EQ(f.stream, 1u);
  EXPECT_EQ(f.width, 1280);
  EXPECT_EQ(f.height, 720);
  EXPECT_EQ(f.datagramsRefused, 0u);
  ASSERT_TRUE(f.latencyMedianMs.has_value());
  // Each stream's sealer is given out once per login; a stream not started yet still has one.
  p.phone.loop.postAndWait([&] {
    EXPECT_FALSE(p.phone.client->datagramKeys(1).has_value());
    EXPECT_TRUE(p.phone.client->datagramKeys(9).has_value());
  });
  std::lock_guard lock(p.mutex);
  ASSERT_FALSE(p.frameIDs.empty());
  EXPECT_EQ(p.frameIDs.front(), 0u);
  for (std::size_t i = 1; i < p.frameIDs.size(); ++i) EXPECT_EQ(p.frameIDs[i], p.frameIDs[i - 1] + 1);
  ASSERT_FALSE(p.pictures.empty());
  for (const VideoFrame& picture : p.pictures) EXPECT_TRUE(testing::showsTestPattern(picture));
}

TEST(PhoneStream, APhoneNotLoggedInHasNoStreamKeys) {
  PhoneHarness phone;
  EXPECT_FALSE(phone.loop.postAndWait([&] { return phone.client->datagramKeys(1).has_value(); }));
}

TEST(PhoneStream, DecodingGoesOnThroughLostDatagrams) {
  ServerHarness server(streamingServer(8'000'000));
  UdpRelay relay(0, testing::everyNth(13));
  StreamingPhone p(server, screenOf(640, 360), &relay);
  ASSERT_TRUE(p.video);
  ASSERT_TRUE(eventually([&] {
    auto f = p.figures();
    return f.framesDecoded >= 40 && f.resendsReceived > 0;
  }));
  const auto f = p.figures();
  EXPECT_GT(relay.dropped(), 0u);
  EXPECT_GT(f.nacks, 0u);
  EXPECT_EQ(f.width, 640);
  std::lock_guard lock(p.mutex);
  for (std::size_t i = 1; i < p.frameIDs.size(); ++i) {
    const std::uint32_t step = p.frameIDs[i] - p.frameIDs[i - 1];
    EXPECT_TRUE(step >= 1 && step <= 0x7FFFFFFEu) << p.frameIDs[i - 1] << " then " << p.frameIDs[i];
  }
  ASSERT_FALSE(p.pictures.empty());
  for (const VideoFrame& picture : p.pictures) EXPECT_TRUE(testing::showsTestPattern(picture));
}

}  // namespace
}  // namespace lumenbrook
