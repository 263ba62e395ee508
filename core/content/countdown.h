#pragma once
// A countdown that keeps its progress across pauses: the seconds run before the current run
// are banked, the current run is measured from `startedAt`. Every query takes the instant to
// answer for, so a restored countdown shows the right time without a clock of its own.

#include <optional>

#include "core/content/closed_range.h"
#include "core/util/date.h"
#include "core/util/json.h"

namespace lumenbrook {

struct Countdown {
  static constexpr ClosedRange<double> range{60, 14400};  // seconds: 1 minute to 4 hours
  static constexpr double defaultDuration = 1500;         // stands in for a non-finite one

  double duration = defaultDuration;  // seconds
  std::optional<Date> startedAt;      // present while running
  double banked = 0;                  // seconds run before the current run

  Countdown() = default;
  // Not started; `minutes` × 60 clamped to `range`.
  explicit Countdown(double minutes);

  bool isRunning() const { return startedAt.has_value(); }
  bool hasStarted() const { return startedAt.has_value() || banked > 0; }
  // Seconds run by `at`, within 0…duration.
  double elapsed(Date at) const;
  double remaining(Date at) const;
  double progress(Date at) const;  // 0…1; 0 for a non-positive duration
  bool isDone(Date at) const { return remaining(at) <= 0; }

  // Starts a paused or new countdown; a running or finished one is left alone.
  void start(Date at);
  void pause(Date at);
  void reset();
  // New length; what was banked is cut to it. A running countdown keeps running.
  void setMinutes(double minutes);

  Countdown sanitized() const;

  friend bool operator==(const Countdown&, const Countdown&) = default;
};

// Seconds run by `at` for a run started at `startedAt` (never negative; a span that is not a
// number counts as nothing) plus `banked`.
double elapsedTotal(const std::optional<Date>& startedAt, double banked, Date at);

void to_json(Json& j, const Countdown& c);
void from_json(const Json& j, Countdown& c);

}  // namespace lumenbrook
