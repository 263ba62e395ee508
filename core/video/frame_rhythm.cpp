#include "core/video/frame_rhythm.h"

#include <algorithm>

namespace lumenbrook {

void FrameRhythm::restart(TimePoint origin, int fps) {
  origin_ = origin;
  ticks_ = 0;
  fps_ = std::max(fps, 1);
}

std::chrono::nanoseconds FrameRhythm::offset(std::uint64_t k) const {
  const auto f = static_cast<std::uint64_t>(fps_);
  return std::chrono::seconds(k / f) + std::chrono::nanoseconds((k % f) * 1'000'000'000 / f);
}

void FrameRhythm::advance(TimePoint now) {
  ++ticks_;
  if (due() <= now) {
    origin_ = now;
    ticks_ = 1;
  }
}

}  // namespace lumenbrook
