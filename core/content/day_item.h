#pragma once
// One calendar entry as the command center and focus modes show it.

#include <optional>
#include <string>
#include <vector>

#include "core/util/date.h"
#include "core/util/json.h"

namespace lumenbrook {

struct DayItem {
  static constexpr int maxTitle = 120;  // user-perceived characters

  std::optional<Date> start;
  std::optional<Date> end;
  bool allDay = false;
  std::string title;
  bool done = false;

  DayItem() = default;
  // Stores the values, the title clamped without line breaks.
  DayItem(std::optional<Date> start, std::optional<Date> end, bool allDay, std::string_view title,
          bool done);

  // The timed item (not all-day, with a start) that starts soonest after `after`; on equal
  // starts the first in `items`. Whether an item is done plays no part.
  static std::optional<DayItem> next(const std::vector<DayItem>& items, Date after);

  friend bool operator==(const DayItem&, const DayItem&) = default;
};

// Reading clamps the title like the constructor.
void to_json(Json& j, const DayItem& d);
void from_json(const Json& j, DayItem& d);

}  // namespace lumenbrook
