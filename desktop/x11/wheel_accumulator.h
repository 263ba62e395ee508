#pragma once
// Turns a stream of scroll amounts into whole wheel clicks, carrying what does not make a
// whole click to the next amount. One per wheel axis. A plain value; no I/O.

#include <algorithm>
#include <cstdint>

namespace lumenbrook {

class WheelAccumulator {
 public:
  // REQUIRES: unitsPerClick > 0, maxClicks >= 0.
  constexpr WheelAccumulator(std::int32_t unitsPerClick, std::int32_t maxClicks)
      : unitsPerClick_(unitsPerClick), maxClicks_(maxClicks) {}

  // Adds `units` (signed) and returns the signed number of whole clicks they complete. The
  // part short of a click stays for the next call, keeping its sign, so a change of direction
  // first cancels it. Clicks beyond +-maxClicks are dropped: one event must not stand for an
  // unbounded burst of clicks.
  [[nodiscard]] constexpr std::int32_t add(std::int32_t units) {
    pending_ += units;
    std::int64_t clicks = pending_ / unitsPerClick_;  // truncates towards zero
    pending_ -= clicks * unitsPerClick_;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(clicks, -maxClicks_, maxClicks_));
  }

  constexpr std::int64_t remainder() const { return pending_; }

 private:
  std::int32_t unitsPerClick_;
  std::int32_t maxClicks_;
  std::int64_t pending_ = 0;
};

}  // namespace lumenbrook
