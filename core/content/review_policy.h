#pragma once
// When the phone may ask its user for a rating: after two streaming sessions of at least two
// minutes, and at most once per application version.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/util/json.h"

namespace lumenbrook {

struct ReviewPolicy {
  static constexpr double minimumStreamSeconds = 120.0;
  static constexpr std::int64_t maxGoodSessions = 1000;

  std::int64_t goodSessions = 0;
  std::optional<std::string> askedVersion;  // the version the user was last asked in

  // Call when a streaming session ends. True when the phone may ask now; it then counts as
  // asked for `appVersion`. Sessions shorter than minimumStreamSeconds change nothing.
  bool sessionEnded(double streamedSeconds, std::string_view appVersion);

  friend bool operator==(const ReviewPolicy&, const ReviewPolicy&) = default;
};

void to_json(Json& j, const ReviewPolicy& p);
void from_json(const Json& j, ReviewPolicy& p);

}  // namespace lumenbrook
