#pragma once
// A goal on the money board: a name, how far along it is, the target and an optional due
// date, shown as money or as a plain number.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/util/date.h"
#include "core/util/json.h"
#include "core/util/uuid.h"

namespace lumenbrook {

struct MoneyGoal {
  enum class Unit { dollars, number };

  static constexpr double maxValue = 1e12;
  static constexpr int maxName = 40;  // user-perceived characters

  Uuid id;
  std::string name;
  double current = 0;
  double target = 0;
  Unit unit = Unit::dollars;
  std::optional<Date> due;

  MoneyGoal() = default;
  // `id` is new for every goal; the caller draws it (Uuid::fromRandom), as the core has no
  // random source of its own.
  MoneyGoal(Uuid id, std::string name, double current, double target, Unit unit,
            std::optional<Date> due);

  // Name clamped without line breaks; current within ±maxValue and target within
  // 0…maxValue (0 when not finite); a due date that is not finite is dropped, since it could
  // never be written back.
  MoneyGoal sanitized() const;
  // current / target within 0…1; 0 without a positive target.
  double fraction() const;
  // Calendar days from the day of `from` to the day of `due` in the Gregorian calendar of
  // `timeZone` (an IANA id such as "Europe/Paris"; empty for the device's zone; an unknown id
  // acts as UTC). Negative once the due day has passed; absent without a due date or for
  // dates the calendar cannot hold.
  std::optional<std::int64_t> daysLeft(Date from, std::string_view timeZone = {}) const;
  // `v` as the money board shows it in `locale` (an ICU locale id such as "en_US"; empty for
  // the device's locale): currency style in the locale's currency for dollars, decimal style
  // for numbers. Up to 2 fraction digits for a value below 1000 in magnitude that is not whole,
  // none otherwise; the value is limited to ±maxValue first (0 when not finite). A locale
  // without a currency shows dollars in decimal style.
  std::string format(double v, std::string_view locale = {}) const;

  friend bool operator==(const MoneyGoal&, const MoneyGoal&) = default;
};

const char* rawValue(MoneyGoal::Unit u);  // "dollars" / "number"
[[nodiscard]] std::optional<MoneyGoal::Unit> moneyGoalUnitFromRawValue(std::string_view raw);

void to_json(Json& j, const MoneyGoal::Unit& u);
void from_json(const Json& j, MoneyGoal::Unit& u);  // unknown raw values throw
void to_json(Json& j, const MoneyGoal& g);
void from_json(const Json& j, MoneyGoal& g);

}  // namespace lumenbrook
