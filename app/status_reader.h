#pragma once
// A status snapshot of this machine for phones that ask for one: its name, its own battery,
// the root file system's capacity, the time since boot, and the desktop's frontmost
// application and count of applications.

#include <string>

#include "core/messages/mac_status.h"
#include "desktop/display_backend.h"

namespace lumenbrook {

// Reads the power-supply class, statvfs("/"), the boot-time clock (suspended time counts, as
// people mean by uptime) and `desktop`'s applications (none without a desktop); a battery
// that cannot be read is absent, any other part that cannot be read stays 0. Returns the
// sanitized() status.
// Thread: any; `desktop` must outlive the call.
MacStatus readHostStatus(const std::string& name, DisplayBackend* desktop = nullptr);

}  // namespace lumenbrook
