#pragma once
// The synthetic frame source for streams that have no screen to show: TestPattern pictures
// drawn on a timer, so that a phone sees motion, colour order and orientation.
//
// Threads: its own thread, named "pattern", runs the timer, draws and calls deliver. start(),
// stop() and frame() may be called from any thread; the streamer calls them from its loop.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "core/video/frame_pool.h"
#include "core/video/frame_rhythm.h"
#include "core/video/frame_source.h"

namespace lumenbrook {

class TestPatternSource final : public FrameSource {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // Starts the "pattern" thread, idle until start(). Capture times count on `clock`
  // (std::chrono::steady_clock when empty), which may be called from the pattern thread, from
  // `origin`, or from now when it is absent. Passing the clock's epoch makes capture times
  // readable by another process on the same machine, which can then measure latency.
  explicit TestPatternSource(Clock clock = {},
                             std::optional<std::chrono::steady_clock::time_point> origin = {});
  // Stops and joins the pattern thread. REQUIRES: not called from inside deliver.
  ~TestPatternSource() override;
  TestPatternSource(const TestPatternSource&) = delete;
  TestPatternSource& operator=(const TestPatternSource&) = delete;

  // The first tick comes at once, then one every 1 / fps seconds (fps is held to 1...1000).
  // Each tick draws picture number frame() into a fresh or recycled buffer, stamps it and
  // delivers it; a tick whose picture cannot be made (a size outside
  // 1...TestPattern::maxDimension, or no memory) is skipped and does not advance frame().
  // Ticks missed while the thread was held up are not made up for: after a late tick the
  // next one follows a full period later.
  void start(int width, int height, int fps, Deliver deliver) override;
  // Waits for a tick that is drawing or delivering, unless called from inside deliver, where
  // it only ensures no later tick delivers.
  void stop() override;

  // Pictures delivered so far, over every start; never reset, so a restarted source goes on
  // moving where it stopped.
  std::uint64_t frame() const;

 private:
  void run();
  std::optional<VideoFrame> draw(int width, int height, std::uint64_t frame);

  Clock clock_;
  std::chrono::steady_clock::time_point t0_;
  std::shared_ptr<FramePool> pool_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool running_ = false;
  bool shuttingDown_ = false;
  bool ticking_ = false;         // a tick is drawing or delivering with the lock released
  std::uint64_t generation_ = 0;  // advances on every start() and stop()
  int width_ = 0;
  int height_ = 0;
  std::shared_ptr<const Deliver> deliver_;
  FrameRhythm rhythm_;
  std::uint64_t frame_ = 0;
  std::thread thread_;  // last: starts once everything above is set
};

}  // namespace lumenbrook
