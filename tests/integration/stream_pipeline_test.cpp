// The host's whole video path with the real pieces: the test pattern on its thread, the HEVC
// encoder on its thread, the streamer on the loop and a loopback UDP socket; the phone's side
// opens, reassembles and decodes what arrives.

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "core/crypto/crypto.h"
#include "core/video/reassembler.h"
#include "core/video/video_hello.h"
#include "media/hevc_decoder.h"
#include "media/sample_buffer_maker.h"
#include "media/test_pattern_source.h"
#include "media/video_encoder.h"
#include "net/event_loop.h"
#include "net/video_streamer.h"
#include "tests/net/net_test_support.h"

// libx265 keeps a few buffers of every encoder it opened until the process ends; they are not
// ours to free. One definition per test binary: later suites here share this one.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;

// Bounds every wait; reached only when the path is broken.
constexpr auto kWaitLimit = 30s;

TEST(StreamPipeline, TestPatternReachesThePhoneAsDecodableVideo) {
  const EncoderConfig stream{.width = 320, .height = 192, .fps = 30, .bitrate = 1'000'000};
  const HandshakeKeys keys =
      HandshakeKeys{crypto::SymmetricKey(crypto::randomBytes(32)), crypto::SymmetricKey(crypto::randomBytes(32)),
                    crypto::SymmetricKey(crypto::randomBytes(32)), crypto::randomBytes(80)}
          .stream(1);
  const Bytes challenge = crypto::randomBytes(16);

  EventLoop loop("host-server");
  std::promise<std::uint16_t> ready;
  auto streamer = loop.postAndWait([&] {
    auto s = VideoStreamer::make(loop, {.sealer = Sealer(keys, false, true),
                                        .opener = Opener(keys, false, true),
                                        .challenge = challenge,
                                        .peerHost = "127.0.0.1",
                                        .source = std::make_unique<TestPatternSource>(),
                                        .stream = stream,
                                        .encoders = std::make_shared<HevcEncoderFactory>(),
                                        .sleepAssertions = std::make_shared<NoSleepAssertions>()});
    s->start([&](std::uint16_t port) { ready.set_value(port); });
    return s;
  });
  auto portReady = ready.get_future();
  ASSERT_EQ(portReady.wait_for(kWaitLimit), std::future_status::ready);
  const std::uint16_t port = portReady.get();

  testing::UdpPeer phone;
  Sealer phoneSealer(keys, true, true);
  Opener phoneOpener(keys, true, true);
  phone.sendTo(port, phoneSealer.seal(VideoHello{challenge, phone.port()}.encoded()).value());

  Reassembler reassembler(8, 3);
  SampleBufferMaker maker;
  HevcDecoder decoder;
  std::vector<Reassembler::Frame> frames;
  std::vector<VideoFrame> pictures;
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (pictures.size() < 3 && std::chrono::steady_clock::now() < deadline) {
    auto datagram = phone.receive(1s);
    if (!datagram) continue;
    auto plaintext = phoneOpener.open(*datagram);
    ASSERT_TRUE(plaintext.ok());
    ASSERT_EQ(datagram->size(), plaintext.value().size() + 24);
    for (auto& event : reassembler.receive(plaintext.value())) {
      auto* frame = std::get_if<Reassembler::Frame>(&event);
      if (!frame) continue;
      frames.push_back(*frame);
      auto packet = VideoPacket::parse(frame->data);
      ASSERT_TRUE(packet.has_value());
      auto sample = maker.sample(*packet);
      ASSERT_TRUE(sample.has_value());
      for (auto& picture : decoder.decode(*sample)) pictures.push_back(std::move(picture));
    }
  }
  loop.postAndWait([&] { streamer->stop(); });
  loop.postAndWait([&] { streamer.reset(); });

  ASSERT_GE(pictures.size(), 3u);
  EXPECT_TRUE(frames.front().isKeyframe);
  EXPECT_EQ(frames.front().frameID, 0u);
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].frameID, frames[i - 1].frameID + 1);
    EXPECT_GT(frames[i].captureTimeMicros, frames[i - 1].captureTimeMicros);
  }
  // The orange corner block (top left) and the last bar, blue, which the scrolling bars and
  // the moving line leave in place over the first frames (the encoder may drop one or two).
  auto near = [](std::optional<Rgb> c, Rgb want) {
    return c && std::abs(c->red - want.red) < 24 && std::abs(c->green - want.green) < 24 &&
           std::abs(c->blue - want.blue) < 24;
  };
  const VideoFrame& first = pictures.front();
  EXPECT_EQ(first.width, stream.width);
  EXPECT_EQ(first.height, stream.height);
  EXPECT_TRUE(near(rgbAt(first, 10, 10), Rgb{238, 154, 38}));
  EXPECT_TRUE(near(rgbAt(first, 290, stream.height - 10), Rgb{0, 0, 192}));
}

}  // namespace
}  // namespace lumenbrook
