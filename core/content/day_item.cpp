#include "core/content/day_item.h"

#include "core/content/content_json.h"
#include "core/messages/clamp.h"

namespace lumenbrook {

DayItem::DayItem(std::optional<Date> start, std::optional<Date> end, bool allDay,
                 std::string_view title, bool done)
    : start(start), end(end), allDay(allDay), title(Clamp::text(title, maxTitle, false)), done(done) {}

std::optional<DayItem> DayItem::next(const std::vector<DayItem>& items, Date after) {
  const DayItem* best = nullptr;
  for (const DayItem& item : items) {
    // A NaN start compares false everywhere, so it never qualifies either.
    if (item.allDay || !item.start || !(*item.start > after)) continue;
    if (!best || *item.start < *best->start) best = &item;
  }
  if (!best) return std::nullopt;
  return *best;
}

void to_json(Json& j, const DayItem& d) {
  Json out = Json::object();
  if (d.start) to_json(out["start"], *d.start);
  if (d.end) to_json(out["end"], *d.end);
  out["allDay"] = d.allDay;
  out["title"] = d.title;
  out["done"] = d.done;
  j = std::move(out);
}

void from_json(const Json& j, DayItem& d) {
  d.start = content_json::readOptional<Date>(j, "start");
  d.end = content_json::readOptional<Date>(j, "end");
  d.allDay = json::readBool(json::member(j, "allDay"));
  d.title = Clamp::text(json::readString(json::member(j, "title")), DayItem::maxTitle, false);
  d.done = json::readBool(json::member(j, "done"));
}

}  // namespace lumenbrook
