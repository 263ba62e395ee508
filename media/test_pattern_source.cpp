#include "media/test_pattern_source.h"

#include <pthread.h>

#include <algorithm>
#include <utility>

#include "core/video/test_pattern.h"

namespace lumenbrook {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int maxFps = 1000;


}  // namespace

TestPatternSource::TestPatternSource(Clock clock, std::optional<SteadyClock::time_point> origin)
    : clock_(clock ? std::move(clock) : Clock([] { return SteadyClock::now(); })),
      t0_(origin ? *origin : clock_()),
      pool_(FramePool::create()),
      thread_([this] { run(); }) {}

TestPatternSource::~TestPatternSource() {
  stop();
  {
    std::lock_guard lock(mutex_);
    shuttingDown_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void TestPatternSource::start(int width, int height, int fps, Deliver deliver) {
  auto next = std::make_shared<const Deliver>(std::move(deliver));
  {
    std::lock_guard lock(mutex_);
    running_ = true;
    ++generation_;
    width_ = width;
    height_ = height;
    rhythm_.restart(SteadyClock::now(), std::clamp(fps, 1, maxFps));
    // The earlier closure leaves through `next` and is destroyed outside the lock.
    std::swap(deliver_, next);
  }
  changed_.notify_all();
}

void TestPatternSource::stop() {
  std::shared_ptr<const Deliver> old;
  std::unique_lock lock(mutex_);
  running_ = false;
  ++generation_;
  old = std::move(deliver_);
  if (std::this_thread::get_id() != thread_.get_id()) {
    changed_.wait(lock, [&] { return !ticking_; });
  }
  lock.unlock();
  changed_.notify_all();
}

std::uint64_t TestPatternSource::frame() const {
  std::lock_guard lock(mutex_);
  return frame_;
}

std::optional<VideoFrame> TestPatternSource::draw(int width, int height, std::uint64_t frame) {
  if (width <= 0 || height <= 0 || width > TestPattern::maxDimension || height > TestPattern::maxDimension) {
    return std::nullopt;
  }
  const std::size_t stride = static_cast<std::size_t>(width) * VideoFrame::bytesPerPixel;
  const std::size_t size = stride * static_cast<std::size_t>(height);
  std::unique_ptr<Bytes> buffer = pool_->take(size);
  if (!buffer) return std::nullopt;
  if (!TestPattern::draw(*buffer, width, height, stride, frame)) {
    pool_->give(std::move(buffer));
    return std::nullopt;
  }
  std::shared_ptr<const Bytes> pixels = pool_->share(std::move(buffer));
  if (!pixels) return std::nullopt;
  return VideoFrame{std::move(pixels), width, height, stride, 0};
}

void TestPatternSource::run() {
  pthread_setname_np(pthread_self(), "pattern");
  std::unique_lock lock(mutex_);
  for (;;) {
    if (shuttingDown_) return;
    if (!running_) {
      changed_.wait(lock);
      continue;
    }
    const auto due = rhythm_.due();
    auto now = SteadyClock::now();
    if (now < due) {
      changed_.wait_until(lock, due);
      continue;
    }

    // Schedule the next tick before this one runs, so the rhythm does not depend on how long
    // drawing takes.
    rhythm_.advance(now);
    const std::uint64_t generation = generation_;
    const int width = width_;
    const int height = height_;
    const std::uint64_t frame = frame_;
    auto deliver = deliver_;
    ticking_ = true;
    lock.unlock();

    std::optional<VideoFrame> image = draw(width, height, frame);
    if (image) {
      const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(clock_() - t0_).count();
      image->ptsMicros = elapsed > 0 ? static_cast<std::uint64_t>(elapsed) : 0;
    }

    lock.lock();
    // A stop() or a new start() while drawing takes this tick's picture with it.
    const bool current = image && generation == generation_ && running_;
    if (current) ++frame_;
    lock.unlock();
    if (current && *deliver) (*deliver)(std::move(*image));
    // Our copy of the closure goes outside the lock: what it captures belongs to the consumer.
    deliver.reset();
    lock.lock();
    ticking_ = false;
    changed_.notify_all();
  }
}

}  // namespace lumenbrook
