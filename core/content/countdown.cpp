#include "core/content/countdown.h"

#include <algorithm>
#include <cmath>

namespace lumenbrook {
namespace {

double durationFor(double minutes) {
  double seconds = minutes * 60;
  return std::isfinite(seconds) ? Countdown::range.clamp(seconds) : Countdown::defaultDuration;
}

}  // namespace

double elapsedTotal(const std::optional<Date>& startedAt, double banked, Date at) {
  double running = 0;
  if (startedAt) {
    double span = at.sinceReference - startedAt->sinceReference;
    if (std::isfinite(span)) running = std::max(span, 0.0);
  }
  return running + banked;
}

Countdown::Countdown(double minutes) : duration(durationFor(minutes)) {}

double Countdown::elapsed(Date at) const {
  double total = elapsedTotal(startedAt, banked, at);
  if (!(total > 0)) return 0;  // negative or NaN
  return std::min(total, duration);
}

double Countdown::remaining(Date at) const { return std::max(duration - elapsed(at), 0.0); }

double Countdown::progress(Date at) const {
  if (!(duration > 0)) return 0;
  return elapsed(at) / duration;
}

void Countdown::start(Date at) {
  if (!startedAt && banked < duration) startedAt = at;
}

void Countdown::pause(Date at) {
  banked = elapsed(at);
  startedAt.reset();
}

void Countdown::reset() {
  startedAt.reset();
  banked = 0;
}

void Countdown::setMinutes(double minutes) {
  duration = durationFor(minutes);
  banked = std::min(banked, duration);
}

Countdown Countdown::sanitized() const {
  Countdown out;
  out.duration = std::isfinite(duration) ? range.clamp(duration) : defaultDuration;
  out.banked = std::isfinite(banked) ? std::clamp(banked, 0.0, out.duration) : 0.0;
  if (startedAt && std::isfinite(startedAt->sinceReference)) out.startedAt = startedAt;
  return out;
}

void to_json(Json& j, const Countdown& c) {
  Json out = Json::object();
  out["duration"] = json::writeDouble(c.duration);
  if (c.startedAt) out["startedAt"] = *c.startedAt;
  out["banked"] = json::writeDouble(c.banked);
  j = std::move(out);
}

void from_json(const Json& j, Countdown& c) {
  c.duration = json::readDouble(json::member(j, "duration"));
  c.startedAt.reset();
  if (auto* s = json::optionalMember(j, "startedAt")) c.startedAt = s->get<Date>();
  c.banked = json::readDouble(json::member(j, "banked"));
}

}  // namespace lumenbrook
