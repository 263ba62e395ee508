#pragma once
// Points in time as stored and sent: seconds since 2001-01-01 00:00:00 UTC, fractional.

#include <chrono>
#include <compare>

#include "core/util/json.h"

namespace lumenbrook {

struct Date {
  // Seconds from 1970-01-01 to 2001-01-01.
  static constexpr double kReferenceFromUnix = 978307200.0;

  double sinceReference = 0.0;

  static Date fromUnixSeconds(double s) { return Date{s - kReferenceFromUnix}; }
  static Date fromSystem(std::chrono::system_clock::time_point t) {
    return fromUnixSeconds(std::chrono::duration<double>(t.time_since_epoch()).count());
  }
  double unixSeconds() const { return sinceReference + kReferenceFromUnix; }

  friend auto operator<=>(const Date&, const Date&) = default;
};

inline void to_json(Json& j, const Date& d) { j = json::writeDouble(d.sinceReference); }
inline void from_json(const Json& j, Date& d) { d.sinceReference = json::readDouble(j); }

}  // namespace lumenbrook
