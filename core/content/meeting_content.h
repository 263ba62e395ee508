#pragma once
// The meeting board's content: an agenda, the item under discussion, a meeting stopwatch and
// the planned length.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/content/closed_range.h"
#include "core/content/stopwatch.h"
#include "core/util/json.h"

namespace lumenbrook {

struct MeetingContent {
  static constexpr std::size_t maxItems = 12;
  static constexpr int maxItemLength = 120;  // user-perceived characters
  static constexpr ClosedRange<std::int64_t> plannedRange{0, 480};  // minutes

  std::vector<std::string> agenda;
  std::optional<std::int64_t> current;  // index into agenda
  Stopwatch timer;
  std::int64_t plannedMinutes = 30;

  // The first maxItems items clamped without line breaks, `current` only when it names one
  // of them, the stopwatch sanitized and the planned length within plannedRange.
  MeetingContent sanitized() const;

  friend bool operator==(const MeetingContent&, const MeetingContent&) = default;
};

void to_json(Json& j, const MeetingContent& m);
void from_json(const Json& j, MeetingContent& m);

}  // namespace lumenbrook
