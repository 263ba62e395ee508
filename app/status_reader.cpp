#include "app/status_reader.h"

#include <sys/statvfs.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "desktop/linux/battery.h"

namespace lumenbrook {

std::optional<double> parseUptimeHours(std::string_view procUptime) {
  std::string text(procUptime.substr(0, procUptime.find(' ')));
  if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) return std::nullopt;
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || (*end != '\0' && *end != '\n') || !std::isfinite(seconds)) {
    return std::nullopt;
  }
  return seconds / 3600.0;
}

MacStatus readHostStatus(const std::string& name) {
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
  std::ifstream uptime("/proc/uptime");
  std::string text((std::istreambuf_iterator<char>(uptime)), std::istreambuf_iterator<char>());
  status.uptimeHours = parseUptimeHours(text).value_or(0.0);
  return status;
}

}  // namespace lumenbrook
