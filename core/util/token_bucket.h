#pragma once
// Paces events: at most `burst` at once, then one more per `interval` that passes. Time comes
// in as an argument, so the owner decides which clock counts.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>

namespace lumenbrook {

class TokenBucket {
 public:
  using Clock = std::chrono::steady_clock;

  // REQUIRES: burst >= 1 and interval > 0.
  TokenBucket(std::size_t burst, Clock::duration interval)
      : burst_(burst), interval_(interval), tokens_(burst) {}

  // Takes a token at `now`; false when none is left. REQUIRES: `now` never goes back.
  bool take(Clock::time_point now) {
    refill(now);
    if (tokens_ == 0) return false;
    --tokens_;
    return true;
  }

 private:
  void refill(Clock::time_point now) {
    if (!last_ || tokens_ == burst_) {
      last_ = now;
      return;
    }
    const auto earned = static_cast<std::size_t>((now - *last_) / interval_);
    if (earned == 0) return;
    tokens_ = std::min(burst_, tokens_ + std::min(earned, burst_));
    // Part of an interval already waited counts toward the next token, unless the bucket is
    // full again: idle time is not saved up beyond the burst.
    last_ = tokens_ == burst_ ? now : *last_ + interval_ * static_cast<Clock::rep>(earned);
  }

  std::size_t burst_;
  Clock::duration interval_;
  std::size_t tokens_;
  std::optional<Clock::time_point> last_;
};

}  // namespace lumenbrook
