#pragma once
// The snapshot of the Mac that a phone receives while it wants status reports. Values are
// stored as given; the host sends only the sanitized() copy (a non-finite Double cannot be
// encoded, and names are clamped against hostile text).

#include <cstdint>
#include <optional>
#include <string>

#include "core/util/json.h"

namespace lumenbrook {

struct MacStatus {
  std::string name;
  std::optional<std::int64_t> batteryPercent;  // absent without an internal battery
  std::optional<bool> charging;                // absent without an internal battery
  double diskFreeGB = 0;                       // units of 10^9 bytes
  double diskTotalGB = 0;                      // units of 10^9 bytes
  std::optional<std::string> frontmostApp;
  std::int64_t runningApps = 0;  // regular (Dock) applications
  double uptimeHours = 0;

  // Shortest period, in seconds, at which reports may be sent.
  static constexpr double minInterval = 10.0;

  // 1 − free/total, within 0…1; 0 when total is not positive or the ratio is not finite.
  double diskUsedFraction() const;
  // name and frontmostApp through Clamp::text(…, 64, false) (an empty app becomes absent);
  // batteryPercent 0…100; diskTotalGB 0…1e6; diskFreeGB 0…diskTotalGB; runningApps 0…9999;
  // uptimeHours 0…1e5; non-finite numbers become 0.
  MacStatus sanitized() const;

  friend bool operator==(const MacStatus&, const MacStatus&) = default;
};

// Absent optionals are left out when writing; when reading they may be missing or null.
void to_json(Json& j, const MacStatus& s);
void from_json(const Json& j, MacStatus& s);

}  // namespace lumenbrook
