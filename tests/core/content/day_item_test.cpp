#include "core/content/day_item.h"

#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

DayItem item(std::optional<double> start, const char* title, bool allDay = false, bool done = false) {
  std::optional<Date> s;
  if (start) s = Date{*start};
  return DayItem(s, std::nullopt, allDay, title, done);
}

TEST(DayItem, NextIsTheSoonestTimedItemAfterTheInstant) {
  const Date now{1000};
  struct Case {
    const char* what;
    std::vector<DayItem> items;
    std::optional<std::string> next;
  } cases[] = {
      {"earliest later start", {item(3000, "c"), item(2000, "b"), item(500, "past")}, "b"},
      {"all-day and start-less items never qualify",
       {item(1500, "all day", true), item(std::nullopt, "no start"), item(4000, "d")}, "d"},
      {"on equal starts the first in the list", {item(2000, "first"), item(2000, "second")}, "first"},
      {"a start at the instant itself is not after it", {item(1000, "now")}, std::nullopt},
      {"done items still count", {item(1200, "done", false, true), item(1300, "open")}, "done"},
      {"a start that is not a number never qualifies",
       {item(std::numeric_limits<double>::quiet_NaN(), "nan"), item(9000, "late")}, "late"},
      {"nothing", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto next = DayItem::next(c.items, now);
    EXPECT_EQ(next ? std::optional(next->title) : std::nullopt, c.next) << c.what;
  }
}

TEST(DayItem, TitleIsClamped) {
  EXPECT_EQ(DayItem(std::nullopt, std::nullopt, false, std::string(130, 'x') + "\n", false).title,
            std::string(120, 'x'));
  auto read = Json::parse(R"({"allDay":false,"title":"a\u0007b","done":true,"start":12})").get<DayItem>();
  EXPECT_EQ(read, DayItem(Date{12}, std::nullopt, false, "ab", true));
}

TEST(DayItem, JsonLeavesOutAbsentDates) {
  DayItem d(Date{10}, std::nullopt, true, "Standup", false);
  EXPECT_EQ(Json(d), Json::parse(R"({"start":10,"allDay":true,"title":"Standup","done":false})"));
  EXPECT_EQ(Json(d).get<DayItem>(), d);
  EXPECT_THROW(Json::parse(R"({"allDay":false,"title":"x"})").get<DayItem>(), JsonError);
}

}  // namespace
}  // namespace lumenbrook
