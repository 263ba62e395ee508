#include "media/test_pattern_source.h"

#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "core/video/test_pattern.h"

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kFps = 200;
constexpr auto kWaitLimit = 10s;

// A clock that advances exactly 1 ms per reading, so capture times are known in advance:
// the source reads it once when made and once per delivered picture.
struct SteppingClock {
  std::shared_ptr<std::atomic<int>> readings = std::make_shared<std::atomic<int>>(0);
  TestPatternSource::Clock clock() const {
    return [r = readings] { return std::chrono::steady_clock::time_point(1h + 1ms * r->fetch_add(1)); };
  }
};

struct Delivery {
  VideoFrame frame;
  Bytes pixelsAtDelivery;
  std::string thread;
};

// Records deliveries made on the pattern thread for the test thread.
class Recorder {
 public:
  explicit Recorder(bool keepFrames = true) : keepFrames_(keepFrames) {}

  FrameSource::Deliver deliver(std::function<void()> after = {}) {
    return [this, after](VideoFrame frame) {
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      Delivery d{frame, *frame.pixels, name};
      // Without keeping them, buffers go back to the source at once and are drawn again.
      if (!keepFrames_) d.frame.pixels.reset();
      {
        std::lock_guard lock(mutex_);
        deliveries_.push_back(std::move(d));
      }
      changed_.notify_all();
      if (after) after();
    };
  }

  [[nodiscard]] bool waitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWaitLimit, [&] { return deliveries_.size() >= n; });
  }

  std::vector<Delivery> deliveries() {
    std::lock_guard lock(mutex_);
    return deliveries_;
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return deliveries_.size();
  }

 private:
  bool keepFrames_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Delivery> deliveries_;
};

Bytes expectedPicture(std::uint64_t frame) {
  auto image = TestPattern::pixelBuffer(kWidth, kHeight, frame);
  EXPECT_TRUE(image.has_value());
  return image ? *image->pixels : Bytes{};
}

// BGRA of one pixel.
std::array<std::uint8_t, 4> pixelAt(const Bytes& pixels, int x, int y) {
  const std::size_t at = (static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)) * 4;
  return {pixels[at], pixels[at + 1], pixels[at + 2], pixels[at + 3]};
}

class TestPatternSourceFrames : public ::testing::TestWithParam<bool> {};

// Pictures 0, 1, 2, ... in order, on the "pattern" thread, stamped from the source's clock.
// With frames kept, later pictures must not be drawn into buffers the consumer still holds;
// with frames released, recycled buffers must be drawn afresh.
TEST_P(TestPatternSourceFrames, DeliversSuccessivePicturesStampedFromItsClock) {
  const bool keepFrames = GetParam();
  SteppingClock clock;
  TestPatternSource source(clock.clock());
  Recorder recorder(keepFrames);
  constexpr std::size_t n = 8;
  source.start(kWidth, kHeight, kFps, recorder.deliver());
  ASSERT_TRUE(recorder.waitFor(n));
  source.stop();

  const auto deliveries = recorder.deliveries();
  EXPECT_EQ(source.frame(), deliveries.size());
  for (std::size_t i = 0; i < deliveries.size(); ++i) {
    SCOPED_TRACE(i);
    const Delivery& d = deliveries[i];
    EXPECT_EQ(d.thread, "pattern");
    EXPECT_EQ(d.frame.width, kWidth);
    EXPECT_EQ(d.frame.height, kHeight);
    EXPECT_EQ(d.frame.stride, static_cast<std::size_t>(kWidth) * 4);
    // Reading 0 fixed the zero point; picture i was stamped by reading i + 1.
    EXPECT_EQ(d.frame.ptsMicros, (i + 1) * 1000);
    const Bytes expected = expectedPicture(i);
    EXPECT_EQ(d.pixelsAtDelivery, expected);
    if (keepFrames) {
      ASSERT_TRUE(d.frame.pixels);
      EXPECT_EQ(*d.frame.pixels, expected) << "a held picture was drawn over";
    }
  }
  // The picture itself, at two points: the orange corner and the moving white line
  // (16 pixels right per frame), in BGRA.
  ASSERT_GE(deliveries.size(), 2u);
  EXPECT_EQ(pixelAt(deliveries[0].pixelsAtDelivery, 0, 0), (std::array<std::uint8_t, 4>{38, 154, 238, 255}));
  EXPECT_EQ(pixelAt(deliveries[1].pixelsAtDelivery, 16, kHeight - 1), (std::array<std::uint8_t, 4>{255, 255, 255, 255}));
}

INSTANTIATE_TEST_SUITE_P(KeptOrReleased, TestPatternSourceFrames, ::testing::Bool());

TEST(TestPatternSource, AGivenOriginFixesTheZeroOfCaptureTimes) {
  SteppingClock clock;
  // Readings are 1 h + 1 ms each; from the epoch the first picture is stamped at 1 h exactly.
  TestPatternSource source(clock.clock(), std::chrono::steady_clock::time_point{});
  Recorder recorder;
  source.start(kWidth, kHeight, kFps, recorder.deliver());
  ASSERT_TRUE(recorder.waitFor(2));
  source.stop();
  const auto deliveries = recorder.deliveries();
  ASSERT_GE(deliveries.size(), 2u);
  EXPECT_EQ(deliveries[0].frame.ptsMicros, std::uint64_t{3'600'000'000});
  EXPECT_EQ(deliveries[1].frame.ptsMicros, std::uint64_t{3'600'001'000});
}

TEST(TestPatternSource, StopEndsDeliveryAndARestartGoesOnWhereItStopped) {
  TestPatternSource source;
  Recorder recorder;
  source.start(kWidth, kHeight, kFps, recorder.deliver());
  ASSERT_TRUE(recorder.waitFor(3));
  source.stop();
  // stop() waited for a tick in progress: every picture counted has been delivered.
  const std::size_t atStop = recorder.count();
  EXPECT_EQ(source.frame(), atStop);
  source.stop();
  EXPECT_EQ(source.frame(), atStop);

  source.start(kWidth, kHeight, kFps, recorder.deliver());
  ASSERT_TRUE(recorder.waitFor(atStop + 3));
  source.stop();
  const auto deliveries = recorder.deliveries();
  // One picture per number, none repeated or left out across the restart.
  for (std::size_t i = 0; i < deliveries.size(); ++i) {
    EXPECT_EQ(deliveries[i].pixelsAtDelivery, expectedPicture(i)) << i;
  }
  for (std::size_t i = 1; i < deliveries.size(); ++i) {
    EXPECT_LT(deliveries[i - 1].frame.ptsMicros, deliveries[i].frame.ptsMicros) << i;
  }
}

TEST(TestPatternSource, StopFromInsideDeliverEndsDelivery) {
  TestPatternSource source;
  Recorder recorder;
  std::atomic<int> calls = 0;
  std::promise<void> stopped;
  source.start(kWidth, kHeight, kFps, recorder.deliver([&] {
    if (++calls == 2) {
      source.stop();
      stopped.set_value();
    }
  }));
  ASSERT_EQ(stopped.get_future().wait_for(kWaitLimit), std::future_status::ready);
  // A second start with another consumer shows the pattern thread is alive and that the first
  // consumer got nothing after it stopped the source.
  Recorder later;
  source.start(kWidth, kHeight, kFps, later.deliver());
  ASSERT_TRUE(later.waitFor(1));
  source.stop();
  EXPECT_EQ(recorder.count(), 2u);
  EXPECT_EQ(later.deliveries().front().pixelsAtDelivery, expectedPicture(2));
}

// Destroying a running source stops and joins its thread (the sanitizer build sees any
// delivery into a destroyed consumer).
TEST(TestPatternSource, StopWithoutStartAndDestructionWhileRunningAreSafe) {
  {
    TestPatternSource idle;
    idle.stop();
    EXPECT_EQ(idle.frame(), 0u);
  }
  auto recorder = std::make_unique<Recorder>();
  {
    TestPatternSource running;
    running.start(kWidth, kHeight, kFps, recorder->deliver());
    ASSERT_TRUE(recorder->waitFor(1));
  }
  recorder.reset();
}

}  // namespace
}  // namespace lumenbrook
