#include "core/messages/screen_traits.h"

#include <algorithm>
#include <cmath>

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "core/messages/clamp.h"

namespace lumenbrook {
namespace {

constexpr double kMaxPixels = 16384;
constexpr int kMaxNameCharacters = 64;

std::int64_t pixels(double points, double scale) {
  const double x = points * scale;
  if (!std::isfinite(x) || x <= 1) return 1;
  return static_cast<std::int64_t>(std::round(std::min(x, kMaxPixels)));
}

double clampedOr(double v, double fallback, double lo, double hi) {
  return std::isfinite(v) ? std::clamp(v, lo, hi) : fallback;
}

// Presets are built once and never change.
ScreenTraits preset(const char* name, double width, double height, bool hdr, bool overscan,
                    ViewingDistance distance) {
  return ScreenTraits{name, width, height, 1.0, 60, hdr, overscan, distance};
}

}  // namespace

const char* rawValue(ViewingDistance d) {
  switch (d) {
    case ViewingDistance::desk: return "desk";
    case ViewingDistance::room: return "room";
    case ViewingDistance::acrossRoom: return "acrossRoom";
  }
  return "desk";
}

std::optional<ViewingDistance> viewingDistanceFromRawValue(std::string_view raw) {
  for (ViewingDistance d : kAllViewingDistances) {
    if (raw == rawValue(d)) return d;
  }
  return std::nullopt;
}

double scale(ViewingDistance d) {
  switch (d) {
    case ViewingDistance::desk: return 1.2;
    case ViewingDistance::room: return 1.5;
    case ViewingDistance::acrossRoom: return 1.8;
  }
  return 1.2;
}

void to_json(Json& j, const ViewingDistance& d) { j = rawValue(d); }

void from_json(const Json& j, ViewingDistance& d) {
  auto parsed = viewingDistanceFromRawValue(json::readString(j));
  if (!parsed) throw JsonError("unknown viewing distance");
  d = *parsed;
}

const char* rawValue(ShapeClass s) {
  switch (s) {
    case ShapeClass::portrait: return "portrait";
    case ShapeClass::standard: return "standard";
    case ShapeClass::wide: return "wide";
  }
  return "standard";
}

std::optional<ShapeClass> shapeClassFromRawValue(std::string_view raw) {
  for (ShapeClass s : {ShapeClass::portrait, ShapeClass::standard, ShapeClass::wide}) {
    if (raw == rawValue(s)) return s;
  }
  return std::nullopt;
}

void to_json(Json& j, const ShapeClass& s) { j = rawValue(s); }

void from_json(const Json& j, ShapeClass& s) {
  auto parsed = shapeClassFromRawValue(json::readString(j));
  if (!parsed) throw JsonError("unknown shape class");
  s = *parsed;
}

std::int64_t ScreenTraits::pixelWidth() const { return pixels(width, scale); }
std::int64_t ScreenTraits::pixelHeight() const { return pixels(height, scale); }

double ScreenTraits::aspect() const { return width / height; }

ShapeClass ScreenTraits::shape() const {
  const double a = aspect();
  if (a < 1) return ShapeClass::portrait;
  if (a > 2) return ShapeClass::wide;
  return ShapeClass::standard;  // NaN lands here too
}

double ScreenTraits::safeInsetFraction() const { return overscan ? 0.035 : 0.0; }

std::string ScreenTraits::specLine() const {
  static constexpr const char* kDot = " \xC2\xB7 ";  // U+00B7 MIDDLE DOT
  static constexpr const char* kTimes = "\xC3\x97";  // U+00D7 MULTIPLICATION SIGN
  std::string line = name;
  line += kDot;
  line += std::to_string(pixelWidth());
  line += kTimes;
  line += std::to_string(pixelHeight());
  line += kDot;
  line += std::to_string(maxFPS);
  line += " Hz";
  line += kDot;
  line += supportsHDR ? "HDR" : "SDR";
  line += kDot;
  line += rawValue(distance);
  if (overscan) {
    line += kDot;
    line += "overscan safe";
  }
  return line;
}

std::string ScreenTraits::slug() const {
  std::string lower;
  icu::UnicodeString::fromUTF8(name).toLower(icu::Locale::getRoot()).toUTF8String(lower);
  std::string out;
  out.reserve(lower.size());
  for (char ch : lower) {
    if (ch == ':') continue;
    out += ch == ' ' ? '-' : ch;
  }
  return out;
}

ScreenTraits ScreenTraits::sanitized() const {
  ScreenTraits t = *this;
  t.name = Clamp::characters(name, kMaxNameCharacters);
  t.width = clampedOr(width, 1920, 100, 8192);
  t.height = clampedOr(height, 1080, 100, 8192);
  t.scale = clampedOr(scale, 1, 0.5, 4);
  t.maxFPS = std::clamp<std::int64_t>(maxFPS, 24, 240);
  return t;
}

const ScreenTraits& ScreenTraits::acer() { return testMatrix()[0]; }
const ScreenTraits& ScreenTraits::tv4K() { return testMatrix()[1]; }
const ScreenTraits& ScreenTraits::tv720() { return testMatrix()[2]; }
const ScreenTraits& ScreenTraits::desk1610() { return testMatrix()[3]; }
const ScreenTraits& ScreenTraits::ultrawide() { return testMatrix()[4]; }
const ScreenTraits& ScreenTraits::portrait() { return testMatrix()[5]; }

const std::array<ScreenTraits, 6>& ScreenTraits::testMatrix() {
  static const std::array<ScreenTraits, 6> presets = {
      preset("Acer PM161Q", 1920, 1080, false, false, ViewingDistance::desk),
      preset("4K TV", 3840, 2160, true, true, ViewingDistance::room),
      preset("720p TV", 1280, 720, false, true, ViewingDistance::room),
      preset("16:10 monitor", 2560, 1600, false, false, ViewingDistance::desk),
      preset("Ultrawide", 3440, 1440, false, false, ViewingDistance::desk),
      preset("Portrait", 1080, 1920, false, false, ViewingDistance::desk),
  };
  return presets;
}

void to_json(Json& j, const ScreenTraits& t) {
  // Built aside and moved in last: a throw from inside Json's converting constructor would
  // otherwise leak what was already added to `j`.
  Json out = Json::object();
  out["name"] = t.name;
  out["width"] = json::writeDouble(t.width);
  out["height"] = json::writeDouble(t.height);
  out["scale"] = json::writeDouble(t.scale);
  out["maxFPS"] = t.maxFPS;
  out["supportsHDR"] = t.supportsHDR;
  out["overscan"] = t.overscan;
  out["distance"] = t.distance;
  j = std::move(out);
}

void from_json(const Json& j, ScreenTraits& t) {
  ScreenTraits r;
  r.name = json::readString(json::member(j, "name"));
  r.width = json::readDouble(json::member(j, "width"));
  r.height = json::readDouble(json::member(j, "height"));
  r.scale = json::readDouble(json::member(j, "scale"));
  r.maxFPS = json::readInt<std::int64_t>(json::member(j, "maxFPS"));
  r.supportsHDR = json::readBool(json::member(j, "supportsHDR"));
  r.overscan = json::readBool(json::member(j, "overscan"));
  from_json(json::member(j, "distance"), r.distance);
  t = std::move(r);
}

}  // namespace lumenbrook

std::size_t std::hash<lumenbrook::ScreenTraits>::operator()(
    const lumenbrook::ScreenTraits& t) const noexcept {
  std::size_t h = std::hash<std::string>{}(t.name);
  auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
  mix(std::hash<double>{}(t.width));
  mix(std::hash<double>{}(t.height));
  mix(std::hash<double>{}(t.scale));
  mix(std::hash<std::int64_t>{}(t.maxFPS));
  mix(std::hash<bool>{}(t.supportsHDR));
  mix(std::hash<bool>{}(t.overscan));
  mix(std::hash<int>{}(static_cast<int>(t.distance)));
  return h;
}
