#include "core/content/money_goal.h"

#include <limits>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const Uuid kId = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

MoneyGoal goal(double current, double target, MoneyGoal::Unit unit = MoneyGoal::Unit::dollars) {
  return MoneyGoal(kId, "Goal", current, target, unit, std::nullopt);
}

TEST(MoneyGoal, SanitizedClampsValuesAndName) {
  struct Case {
    double current, target, wantCurrent, wantTarget;
  } cases[] = {
      {2e12, 3e12, 1e12, 1e12},  {-2e12, -5, -1e12, 0}, {kNaN, kInf, 0, 0},
      {-kInf, 50, 0, 50},        {12.5, 100, 12.5, 100},
  };
  for (auto c : cases) {
    auto g = goal(c.current, c.target).sanitized();
    EXPECT_EQ(g.current, c.wantCurrent) << c.current;
    EXPECT_EQ(g.target, c.wantTarget) << c.target;
  }
  MoneyGoal named(kId, std::string(50, 'g') + "\t", 1, 2, MoneyGoal::Unit::number, Date{kNaN});
  auto g = named.sanitized();
  EXPECT_EQ(g.name, std::string(40, 'g'));
  EXPECT_EQ(g.due, std::nullopt);  // could never be written
  EXPECT_EQ(g.id, kId);
  EXPECT_EQ(g.unit, MoneyGoal::Unit::number);
  EXPECT_EQ(MoneyGoal(kId, "", 0, 0, MoneyGoal::Unit::dollars, Date{5}).sanitized().due, Date{5});
}

TEST(MoneyGoal, FractionStaysWithinZeroAndOne) {
  struct Case {
    double current, target, fraction;
  } cases[] = {{150, 100, 1}, {-5, 100, 0}, {5, 0, 0},     {50, 200, 0.25},
               {kNaN, 100, 0}, {1, -3, 0},  {kInf, kInf, 0}, {5, kNaN, 0}};
  for (auto c : cases) EXPECT_EQ(goal(c.current, c.target).fraction(), c.fraction) << c.current << "/" << c.target;
}

TEST(MoneyGoal, FormatsInTheGivenLocale) {
  using U = MoneyGoal::Unit;
  struct Case {
    U unit;
    double v;
    const char* locale;
    const char* text;
  } cases[] = {
      {U::dollars, 12.5, "en_US", "$12.50"},
      {U::number, 12.5, "en_US", "12.5"},
      {U::number, 12.346, "en_US", "12.35"},
      {U::number, 1234.5, "en_US", "1,234"},  // no fraction from 1000 up; rounds half to even
      {U::dollars, 1234.5, "en_US", "$1,234"},
      {U::dollars, 5, "en_US", "$5"},
      {U::dollars, -5.5, "en_US", "-$5.50"},
      {U::dollars, -999.5, "en_US", "-$999.50"},
      {U::number, 999.999, "en_US", "1,000"},
      {U::number, 2e12, "en_US", "1,000,000,000,000"},
      {U::dollars, -kInf, "en_US", "$0"},
      {U::number, kNaN, "en_US", "0"},
      {U::number, 1234.5, "de_DE", "1.234"},
      {U::dollars, 12.5, "de_DE", "12,50\xC2\xA0\xE2\x82\xAC"},
  };
  for (auto c : cases) {
    EXPECT_EQ(goal(0, 0, c.unit).format(c.v, c.locale), c.text) << c.v << " " << c.locale;
  }
}

TEST(MoneyGoal, DaysLeftCountsCalendarDaysInTheZone) {
  const Date lateOnTenth = Date{731804400};   // 2024-03-10 23:00 UTC
  const Date earlyOnEleventh = Date{731811600};  // 2024-03-11 01:00 UTC
  const Date firstOfMarch = Date{730987200};  // 2024-03-01 12:00 UTC
  const Date firstOfApril = Date{733665600};  // 2024-04-01 12:00 UTC
  auto due = [](Date d) { return MoneyGoal(kId, "", 0, 0, MoneyGoal::Unit::number, d); };
  struct Case {
    Date due, from;
    const char* zone;
    std::optional<std::int64_t> days;
  } cases[] = {
      {earlyOnEleventh, lateOnTenth, "UTC", 1},
      {lateOnTenth, earlyOnEleventh, "UTC", -1},
      {earlyOnEleventh, lateOnTenth, "America/New_York", 0},  // both on the 10th there
      {earlyOnEleventh, lateOnTenth, "Asia/Tokyo", 0},         // both on the 11th there
      {firstOfApril, firstOfMarch, "America/New_York", 31},    // across the clock change
      {firstOfMarch, firstOfMarch, "Europe/Paris", 0},
      {Date{kNaN}, firstOfMarch, "UTC", std::nullopt},
      {Date{1e300}, firstOfMarch, "UTC", std::nullopt},
  };
  for (auto c : cases) {
    EXPECT_EQ(due(c.due).daysLeft(c.from, c.zone), c.days) << c.zone << " " << c.due.sinceReference;
  }
  EXPECT_EQ(goal(0, 0).daysLeft(firstOfMarch, "UTC"), std::nullopt);
}

TEST(MoneyGoal, JsonUsesRawUnitAndLeavesOutAbsentDue) {
  auto g = goal(12.5, 100, MoneyGoal::Unit::number);
  EXPECT_EQ(Json(g), Json::parse(R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"Goal",
                                     "current":12.5,"target":100,"unit":"number"})"));
  g.due = Date{86400};
  EXPECT_EQ(Json(g)["due"], 86400);
  EXPECT_EQ(Json(g).get<MoneyGoal>(), g);
  Json bad = g;
  bad["unit"] = "euros";
  EXPECT_THROW(bad.get<MoneyGoal>(), JsonError);
  bad = g;
  bad["id"] = "not-a-uuid";
  EXPECT_THROW(bad.get<MoneyGoal>(), JsonError);
}

}  // namespace
}  // namespace lumenbrook
