#pragma once
// A teleprompter script with a reading position that advances with time. The phone keeps it
// in its content record and calls advance() from its display timer with the elapsed seconds;
// nothing here reads a clock.

#include <cstdint>
#include <string>
#include <vector>

#include "core/content/closed_range.h"
#include "core/util/json.h"

namespace lumenbrook {

struct Prompter {
  static constexpr int maxScript = 20000;  // user-perceived characters
  static constexpr ClosedRange<double> speedRange{60, 260};  // words per minute
  static constexpr double defaultSpeed = 140;  // stands in for a non-finite speed

  std::string script;       // lines separated by any line break
  double position = 0;      // integer part: current non-empty line; fraction: progress in it
  double wordsPerMinute = defaultSpeed;
  bool playing = false;

  // The non-empty lines of `script`, trimmed of spaces and tabs, in order.
  std::vector<std::string> lines() const;
  // floor(position) limited to the existing lines; 0 without lines. A NaN position is line 0.
  std::int64_t currentLine() const;

  // Script cleaned to maxScript characters (line breaks kept), speed within speedRange,
  // position finite and on an existing line.
  Prompter sanitized() const;

  // Moves the reading position by `seconds` of reading (at most 60 per call, so a late timer
  // cannot skip the script). Does nothing while paused or for a non-positive or non-finite
  // span. Stops playing at the start of the last line when the script runs out.
  void advance(double seconds);
  // Jumps `n` whole lines from the current one, staying within the script.
  void step(std::int64_t n);

  friend bool operator==(const Prompter&, const Prompter&) = default;
};

void to_json(Json& j, const Prompter& p);
void from_json(const Json& j, Prompter& p);

}  // namespace lumenbrook
