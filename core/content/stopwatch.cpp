#include "core/content/stopwatch.h"

#include <cmath>

#include "core/content/countdown.h"

namespace lumenbrook {

double Stopwatch::elapsed(Date at) const {
  double total = elapsedTotal(startedAt, banked, at);
  return std::isfinite(total) ? range.clamp(total) : 0.0;
}

void Stopwatch::start(Date at) {
  if (!startedAt) startedAt = at;
}

void Stopwatch::pause(Date at) {
  banked = elapsed(at);
  startedAt.reset();
}

void Stopwatch::reset() {
  startedAt.reset();
  banked = 0;
}

Stopwatch Stopwatch::sanitized() const {
  Stopwatch out;
  out.banked = std::isfinite(banked) ? range.clamp(banked) : 0.0;
  if (startedAt && std::isfinite(startedAt->sinceReference)) out.startedAt = startedAt;
  return out;
}

void to_json(Json& j, const Stopwatch& s) {
  Json out = Json::object();
  if (s.startedAt) out["startedAt"] = *s.startedAt;
  out["banked"] = json::writeDouble(s.banked);
  j = std::move(out);
}

void from_json(const Json& j, Stopwatch& s) {
  s.startedAt.reset();
  if (auto* v = json::optionalMember(j, "startedAt")) s.startedAt = v->get<Date>();
  s.banked = json::readDouble(json::member(j, "banked"));
}

}  // namespace lumenbrook
