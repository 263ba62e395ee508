#include "core/content/review_policy.h"

#include <cmath>

namespace lumenbrook {

bool ReviewPolicy::sessionEnded(double streamedSeconds, std::string_view appVersion) {
  if (!std::isfinite(streamedSeconds) || !(streamedSeconds >= minimumStreamSeconds)) return false;
  // Written so a stored count at or past the cap cannot overflow.
  goodSessions = goodSessions >= maxGoodSessions ? maxGoodSessions : goodSessions + 1;
  if (goodSessions < 2) return false;
  if (askedVersion == appVersion) return false;
  askedVersion = std::string(appVersion);
  return true;
}

void to_json(Json& j, const ReviewPolicy& p) {
  Json out = Json::object();
  out["goodSessions"] = p.goodSessions;
  if (p.askedVersion) out["askedVersion"] = *p.askedVersion;
  j = std::move(out);
}

void from_json(const Json& j, ReviewPolicy& p) {
  p.goodSessions = json::readInt<std::int64_t>(json::member(j, "goodSessions"));
  p.askedVersion.reset();
  if (auto* v = json::optionalMember(j, "askedVersion")) p.askedVersion = json::readString(*v);
}

}  // namespace lumenbrook
