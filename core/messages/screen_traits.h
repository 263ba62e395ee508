#pragma once
// How a phone describes the screen it shows the Mac's picture on. The phone sends it in
// `hello` and `screenChanged`; the host only trusts the `sanitized()` copy, from which it
// derives the stream's size and frame rate.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/util/json.h"

namespace lumenbrook {

// How far the viewer sits. Raw values are the wire spelling.
enum class ViewingDistance { desk, room, acrossRoom };

inline constexpr std::array<ViewingDistance, 3> kAllViewingDistances = {
    ViewingDistance::desk, ViewingDistance::room, ViewingDistance::acrossRoom};

const char* rawValue(ViewingDistance d);  // "desk" / "room" / "acrossRoom"
[[nodiscard]] std::optional<ViewingDistance> viewingDistanceFromRawValue(std::string_view raw);
// Enlargement factor for content shown at that distance: 1.2, 1.5, 1.8.
double scale(ViewingDistance d);

void to_json(Json& j, const ViewingDistance& d);
void from_json(const Json& j, ViewingDistance& d);  // unknown raw values throw

enum class ShapeClass { portrait, standard, wide };

const char* rawValue(ShapeClass s);  // "portrait" / "standard" / "wide"
[[nodiscard]] std::optional<ShapeClass> shapeClassFromRawValue(std::string_view raw);

void to_json(Json& j, const ShapeClass& s);
void from_json(const Json& j, ShapeClass& s);

// A plain value; aggregate-initialise all eight fields in declaration order. Fields are
// stored as received: only sanitized() is safe to size a stream from.
struct ScreenTraits {
  std::string name;
  double width = 0;   // points
  double height = 0;  // points
  double scale = 0;   // pixels per point
  std::int64_t maxFPS = 0;
  bool supportsHDR = false;
  bool overscan = false;  // the screen crops its edges; content keeps a safe margin
  ViewingDistance distance = ViewingDistance::desk;

  // width × scale (height × scale) in whole pixels: 1 when not finite or ≤ 1, otherwise
  // min(x, 16384) rounded half away from zero.
  std::int64_t pixelWidth() const;
  std::int64_t pixelHeight() const;
  double aspect() const;  // width / height, unguarded (may be inf or NaN)
  ShapeClass shape() const;
  double safeInsetFraction() const;  // 0.035 with overscan, else 0
  // "4K TV · 3840×2160 · 60 Hz · HDR · room · overscan safe"
  std::string specLine() const;
  // Lower-case name, ":" removed, spaces turned into "-".
  std::string slug() const;
  // Clamped copy: name to 64 grapheme clusters, width/height to 100…8192 (non-finite: 1920 /
  // 1080), scale to 0.5…4 (non-finite: 1), maxFPS to 24…240.
  ScreenTraits sanitized() const;

  // Presets; all at scale 1 and 60 frames per second.
  static const ScreenTraits& acer();
  static const ScreenTraits& tv4K();
  static const ScreenTraits& tv720();
  static const ScreenTraits& desk1610();
  static const ScreenTraits& ultrawide();
  static const ScreenTraits& portrait();
  // The six presets above, in that order.
  static const std::array<ScreenTraits, 6>& testMatrix();

  friend bool operator==(const ScreenTraits&, const ScreenTraits&) = default;
};

// All eight keys are required; `distance` must be one of the three raw values.
void to_json(Json& j, const ScreenTraits& t);
void from_json(const Json& j, ScreenTraits& t);

}  // namespace lumenbrook

template <>
struct std::hash<lumenbrook::ScreenTraits> {
  std::size_t operator()(const lumenbrook::ScreenTraits& t) const noexcept;
};
