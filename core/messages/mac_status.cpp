#include "core/messages/mac_status.h"

#include <algorithm>
#include <cmath>

#include "core/messages/clamp.h"

namespace lumenbrook {
namespace {

constexpr int kMaxTextCharacters = 64;
constexpr double kMaxDiskGB = 1'000'000;
constexpr double kMaxUptimeHours = 100'000;

// Non-finite and non-positive values become 0.
double positiveOrZero(double v) { return std::isfinite(v) && v > 0 ? v : 0; }

}  // namespace

double MacStatus::diskUsedFraction() const {
  if (!(diskTotalGB > 0)) return 0;
  const double r = 1 - diskFreeGB / diskTotalGB;
  if (!std::isfinite(r) || r <= 0) return 0;
  return std::min(r, 1.0);
}

MacStatus MacStatus::sanitized() const {
  MacStatus s;
  s.name = Clamp::text(name, kMaxTextCharacters, false);
  if (batteryPercent) s.batteryPercent = std::clamp<std::int64_t>(*batteryPercent, 0, 100);
  s.charging = charging;
  s.diskTotalGB = std::min(positiveOrZero(diskTotalGB), kMaxDiskGB);
  s.diskFreeGB = std::min(positiveOrZero(diskFreeGB), s.diskTotalGB);
  if (frontmostApp) {
    std::string app = Clamp::text(*frontmostApp, kMaxTextCharacters, false);
    if (!app.empty()) s.frontmostApp = std::move(app);
  }
  s.runningApps = std::clamp<std::int64_t>(runningApps, 0, 9999);
  s.uptimeHours = std::min(positiveOrZero(uptimeHours), kMaxUptimeHours);
  return s;
}

void to_json(Json& j, const MacStatus& s) {
  // Built aside and moved in last: a throw from inside Json's converting constructor would
  // otherwise leak what was already added to `j`.
  Json out = Json::object();
  out["name"] = s.name;
  if (s.batteryPercent) out["batteryPercent"] = *s.batteryPercent;
  if (s.charging) out["charging"] = *s.charging;
  out["diskFreeGB"] = json::writeDouble(s.diskFreeGB);
  out["diskTotalGB"] = json::writeDouble(s.diskTotalGB);
  if (s.frontmostApp) out["frontmostApp"] = *s.frontmostApp;
  out["runningApps"] = s.runningApps;
  out["uptimeHours"] = json::writeDouble(s.uptimeHours);
  j = std::move(out);
}

void from_json(const Json& j, MacStatus& s) {
  MacStatus r;
  r.name = json::readString(json::member(j, "name"));
  if (const Json* v = json::optionalMember(j, "batteryPercent")) {
    r.batteryPercent = json::readInt<std::int64_t>(*v);
  }
  if (const Json* v = json::optionalMember(j, "charging")) r.charging = json::readBool(*v);
  r.diskFreeGB = json::readDouble(json::member(j, "diskFreeGB"));
  r.diskTotalGB = json::readDouble(json::member(j, "diskTotalGB"));
  if (const Json* v = json::optionalMember(j, "frontmostApp")) {
    r.frontmostApp = json::readString(*v);
  }
  r.runningApps = json::readInt<std::int64_t>(json::member(j, "runningApps"));
  r.uptimeHours = json::readDouble(json::member(j, "uptimeHours"));
  s = std::move(r);
}

}  // namespace lumenbrook
