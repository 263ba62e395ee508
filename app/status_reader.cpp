#include "app/status_reader.h"

#include <sys/statvfs.h>
#include <time.h>

#include "desktop/linux/battery.h"

namespace lumenbrook {

MacStatus readHostStatus(const std::string& name, DisplayBackend* desktop) {
  MacStatus status;
  status.name = name;
  struct statvfs fs {};
  if (::statvfs("/", &fs) == 0) {
    const double unit = static_cast<double>(fs.f_frsize);
    status.diskTotalGB = static_cast<double>(fs.f_blocks) * unit / 1e9;
    status.diskFreeGB = static_cast<double>(fs.f_bavail) * unit / 1e9;
  }
  if (auto battery = readBattery()) {
    status.batteryPercent = battery->percent;
    status.charging = battery->charging;
  }
  timespec boot{};
  if (::clock_gettime(CLOCK_BOOTTIME, &boot) == 0) {
    status.uptimeHours = (static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9) / 3600.0;
  }
  if (desktop) {
    RunningApplications apps = desktop->applications();
    status.frontmostApp = apps.frontmost;
    status.runningApps = apps.count;
  }
  return status.sanitized();
}

}  // namespace lumenbrook
