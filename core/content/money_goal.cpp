#include "core/content/money_goal.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <unicode/calendar.h>
#include <unicode/gregocal.h>
#include <unicode/numberformatter.h>
#include <unicode/timezone.h>
#include <unicode/ucurr.h>
#include <unicode/unistr.h>

#include "core/content/content_json.h"
#include "core/messages/clamp.h"

namespace lumenbrook {
namespace {

double clampedOrZero(double v, double lo, double hi) {
  return std::isfinite(v) ? std::clamp(v, lo, hi) : 0.0;
}

icu::Locale localeFor(std::string_view id) {
  if (id.empty()) return icu::Locale::getDefault();
  return icu::Locale(std::string(id).c_str());
}

// The local day number of `d` in `calendar`, or absent when ICU cannot place it.
std::optional<std::int64_t> dayNumber(icu::Calendar& calendar, Date d) {
  double millis = d.unixSeconds() * 1000.0;
  if (!std::isfinite(millis)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  calendar.setTime(millis, status);
  int32_t day = calendar.get(UCAL_JULIAN_DAY, status);
  if (U_FAILURE(status)) return std::nullopt;
  return day;
}

}  // namespace

MoneyGoal::MoneyGoal(Uuid id, std::string name, double current, double target, Unit unit,
                     std::optional<Date> due)
    : id(id), name(std::move(name)), current(current), target(target), unit(unit), due(due) {}

MoneyGoal MoneyGoal::sanitized() const {
  MoneyGoal out = *this;
  out.name = Clamp::text(name, maxName, false);
  out.current = clampedOrZero(current, -maxValue, maxValue);
  out.target = clampedOrZero(target, 0, maxValue);
  if (due && !std::isfinite(due->sinceReference)) out.due.reset();
  return out;
}

double MoneyGoal::fraction() const {
  if (!(target > 0)) return 0;
  double q = current / target;
  return std::isfinite(q) ? std::clamp(q, 0.0, 1.0) : 0.0;
}

std::optional<std::int64_t> MoneyGoal::daysLeft(Date from, std::string_view timeZone) const {
  if (!due) return std::nullopt;
  // No zone id comes near this length; a longer one is as unknown as any other.
  timeZone = timeZone.substr(0, 256);
  std::unique_ptr<icu::TimeZone> zone(
      timeZone.empty() ? icu::TimeZone::createDefault()
                       : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(
                             icu::StringPiece(timeZone.data(), static_cast<int32_t>(timeZone.size())))));
  if (!zone) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  // The calendar takes ownership of the zone.
  icu::GregorianCalendar calendar(zone.release(), status);
  if (U_FAILURE(status)) return std::nullopt;
  // Strict, so instants beyond the calendar's range fail instead of being pinned to its end.
  calendar.setLenient(false);
  auto start = dayNumber(calendar, from);
  auto end = dayNumber(calendar, *due);
  if (!start || !end) return std::nullopt;
  return *end - *start;
}

std::string MoneyGoal::format(double v, std::string_view locale) const {
  bool fractional = std::isnan(v) || (std::trunc(v) != v && std::fabs(v) < 1000);
  int maxDigits = fractional ? 2 : 0;
  double value = clampedOrZero(v, -maxValue, maxValue);

  icu::Locale loc = localeFor(locale);
  UErrorCode status = U_ZERO_ERROR;
  auto formatter = icu::number::NumberFormatter::withLocale(loc);
  int minDigits = 0;
  if (unit == Unit::dollars) {
    UChar code[4] = {};
    UErrorCode currencyStatus = U_ZERO_ERROR;
    int32_t length = ucurr_forLocale(loc.getName(), code, 4, &currencyStatus);
    if (U_SUCCESS(currencyStatus) && length == 3) {
      icu::CurrencyUnit currency(code, currencyStatus);
      if (U_SUCCESS(currencyStatus)) {
        formatter = formatter.unit(currency);
        // A currency shows its usual digits (cents) whenever any fraction is shown.
        UErrorCode digitsStatus = U_ZERO_ERROR;
        int32_t usual = ucurr_getDefaultFractionDigits(code, &digitsStatus);
        if (U_SUCCESS(digitsStatus)) minDigits = std::min(usual, maxDigits);
      }
    }
  }
  auto text = formatter.precision(icu::number::Precision::minMaxFraction(minDigits, maxDigits))
                  .formatDouble(value, status)
                  .toString(status);
  std::string out;
  if (U_SUCCESS(status)) text.toUTF8String(out);
  return out.empty() ? "0" : out;
}

const char* rawValue(MoneyGoal::Unit u) {
  return u == MoneyGoal::Unit::number ? "number" : "dollars";
}

std::optional<MoneyGoal::Unit> moneyGoalUnitFromRawValue(std::string_view raw) {
  if (raw == "dollars") return MoneyGoal::Unit::dollars;
  if (raw == "number") return MoneyGoal::Unit::number;
  return std::nullopt;
}

void to_json(Json& j, const MoneyGoal::Unit& u) { j = rawValue(u); }

void from_json(const Json& j, MoneyGoal::Unit& u) {
  auto parsed = moneyGoalUnitFromRawValue(json::readString(j));
  if (!parsed) throw JsonError("unknown goal unit");
  u = *parsed;
}

void to_json(Json& j, const MoneyGoal& g) {
  Json out = Json::object();
  to_json(out["id"], g.id);
  out["name"] = g.name;
  out["current"] = json::writeDouble(g.current);
  out["target"] = json::writeDouble(g.target);
  to_json(out["unit"], g.unit);
  if (g.due) to_json(out["due"], *g.due);
  j = std::move(out);
}

void from_json(const Json& j, MoneyGoal& g) {
  g.id = json::readUuid(json::member(j, "id"));
  g.name = json::readString(json::member(j, "name"));
  g.current = json::readDouble(json::member(j, "current"));
  g.target = json::readDouble(json::member(j, "target"));
  from_json(json::member(j, "unit"), g.unit);
  g.due = content_json::readOptional<Date>(j, "due");
}

}  // namespace lumenbrook
