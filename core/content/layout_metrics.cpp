#include "core/content/layout_metrics.h"

#include <algorithm>

namespace lumenbrook {

const char* label(ViewingDistance d) {
  switch (d) {
    case ViewingDistance::desk: return "Desk";
    case ViewingDistance::room: return "Room";
    case ViewingDistance::acrossRoom: return "Across the room";
  }
  return "Desk";
}

LayoutMetrics::LayoutMetrics(const ScreenTraits& t)
    : traits(t), u(std::min(t.width, t.height) / 100 * scale(t.distance)) {
  const double inset = t.overscan ? 0.035 : 0.0;
  contentX = t.width * inset;
  contentY = t.height * inset;
  contentWidth = t.width - 2 * contentX;
  contentHeight = t.height - 2 * contentY;
}

double LayoutMetrics::bodySize() const { return std::max(1.8 * u, 14.0); }
double LayoutMetrics::titleSize() const { return std::max(3 * u, 20.0); }
double LayoutMetrics::heroSize() const { return std::max(11 * u, 40.0); }
double LayoutMetrics::captionSize() const { return std::max(1.3 * u, 12.0); }

std::int64_t LayoutMetrics::columns() const {
  const double a = traits.width / traits.height;
  if (a < 1) return 1;
  if (a > 2) return 4;
  return 3;
}

}  // namespace lumenbrook
