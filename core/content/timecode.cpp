#include "core/content/timecode.h"

#include <cmath>
#include <cstdio>

namespace lumenbrook::Timecode {

std::string string(double seconds) {
  constexpr double longest = 359999;  // 99:59:59
  // Checked before any conversion to an integer, which would be undefined out of range.
  int t = 0;
  if (seconds > 0) t = static_cast<int>(std::trunc(std::fmin(seconds, longest)));
  char buf[64];
  if (t < 3600) {
    std::snprintf(buf, sizeof buf, "%d:%02d", t / 60, t % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d", t / 3600, t % 3600 / 60, t % 60);
  }
  return buf;
}

}  // namespace lumenbrook::Timecode
