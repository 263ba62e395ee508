#pragma once
// A minimal status snapshot of this machine for phones that ask for one: its name, the root
// file system's capacity and the time since boot. No battery is reported (absent), nor a
// frontmost application or a count of applications, which have no desktop-neutral source.

#include <optional>
#include <string>
#include <string_view>

#include "core/messages/mac_status.h"

namespace lumenbrook {

// Reads statvfs("/") and /proc/uptime; a part that cannot be read stays 0.
MacStatus readHostStatus(const std::string& name);

// Hours since boot from the text of /proc/uptime ("<seconds> <idle seconds>"); absent when
// the text does not start with a finite, non-negative number.
[[nodiscard]] std::optional<double> parseUptimeHours(std::string_view procUptime);

}  // namespace lumenbrook
