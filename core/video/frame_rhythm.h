#pragma once
// When the ticks of a timed frame source fall: tick k comes exactly k / fps seconds after the
// rhythm's origin (no drift from a rounded period, no overflow from k * 10^9), and a tick so
// late that the next one is already due starts the rhythm again, so missed ticks are not made
// up for in a burst. A value: the source's thread owns it and passes the time in.

#include <chrono>
#include <cstdint>

namespace lumenbrook {

class FrameRhythm {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // Tick 0 at `origin`, then `fps` ticks a second (at least 1).
  void restart(TimePoint origin, int fps);

  // When the next tick is due.
  TimePoint due() const { return origin_ + offset(ticks_); }

  // The due tick runs at `now` (not before due()): the next one is scheduled a period later on
  // the same rhythm, or a period after `now` when that time has passed already.
  void advance(TimePoint now);

 private:
  std::chrono::nanoseconds offset(std::uint64_t k) const;

  TimePoint origin_{};
  std::uint64_t ticks_ = 0;  // ticks since origin_
  int fps_ = 1;
};

}  // namespace lumenbrook
