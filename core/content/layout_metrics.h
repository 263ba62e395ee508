#pragma once
// Layout numbers the phone derives from a screen description: a base unit that grows with
// the viewing distance, the content rectangle inside any overscan margin, text sizes and a
// column count.

#include <cstdint>

#include "core/messages/screen_traits.h"

namespace lumenbrook {

// The user-facing name of a distance: "Desk", "Room", "Across the room".
const char* label(ViewingDistance d);

struct LayoutMetrics {
  ScreenTraits traits;
  double u = 0;  // base unit in points: a hundredth of the shorter side, enlarged by distance
  double contentX = 0, contentY = 0, contentWidth = 0, contentHeight = 0;  // points

  // From the traits as given; pass sanitized() traits to be sure of positive sizes.
  explicit LayoutMetrics(const ScreenTraits& t);

  double padding() const { return 3 * u; }
  double bodySize() const;
  double titleSize() const;
  double heroSize() const;
  double captionSize() const;
  // 1 for portrait screens, 4 for screens wider than 2:1, otherwise 3 (also when the aspect
  // is not a number).
  std::int64_t columns() const;
  bool fillsScreen() const { return contentWidth > 0 && contentHeight > 0; }

  friend bool operator==(const LayoutMetrics&, const LayoutMetrics&) = default;
};

}  // namespace lumenbrook
