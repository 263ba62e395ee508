#pragma once
// A stopwatch that keeps running across pauses, measured like Countdown and kept within one
// day. Time is always an argument.

#include <optional>

#include "core/content/closed_range.h"
#include "core/util/date.h"
#include "core/util/json.h"

namespace lumenbrook {

struct Stopwatch {
  static constexpr ClosedRange<double> range{0, 86400};  // seconds

  std::optional<Date> startedAt;  // present while running
  double banked = 0;              // seconds run before the current run

  bool isRunning() const { return startedAt.has_value(); }
  double elapsed(Date at) const;  // within range; 0 when not a finite number
  void start(Date at);            // only when not running
  void pause(Date at);
  void reset();

  // `banked` finite and within range. A start time that is not finite is dropped, since it
  // could never be written back.
  Stopwatch sanitized() const;

  friend bool operator==(const Stopwatch&, const Stopwatch&) = default;
};

void to_json(Json& j, const Stopwatch& s);
void from_json(const Json& j, Stopwatch& s);

}  // namespace lumenbrook
