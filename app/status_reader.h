#pragma once
// A status snapshot of this machine for phones that ask for one: its name, its own battery,
// the root file system's capacity and the time since boot. No frontmost application or count
// of applications yet: they come from the desktop session.

#include <optional>
#include <string>
#include <string_view>

#include "core/messages/mac_status.h"

namespace lumenbrook {

// Reads the power-supply class, statvfs("/") and /proc/uptime; a battery that cannot be read
// is absent, any other part that cannot be read stays 0.
MacStatus readHostStatus(const std::string& name);

// Hours since boot from the text of /proc/uptime ("<seconds> <idle seconds>"); absent when
// the text does not start with a finite, non-negative number.
[[nodiscard]] std::optional<double> parseUptimeHours(std::string_view procUptime);

}  // namespace lumenbrook
