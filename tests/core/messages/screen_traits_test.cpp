#include "core/messages/screen_traits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

namespace lumenbrook {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const char* kTv4KJson =
    R"({"name":"4K TV","width":3840,"height":2160,"scale":1,"maxFPS":60,"supportsHDR":true,"overscan":true,"distance":"room"})";

ScreenTraits screen(double width, double height, double scale = 1) {
  return ScreenTraits{"Test", width, height, scale, 60, false, false, ViewingDistance::desk};
}

TEST(ScreenTraits, PresetsAndTheirDerivedValues) {
  struct Case {
    const ScreenTraits& preset;
    ScreenTraits fields;
    std::int64_t pixelWidth, pixelHeight;
    ShapeClass shape;
    double inset;
    const char* slug;
    const char* specLine;
  } cases[] = {
      {ScreenTraits::acer(), {"Acer PM161Q", 1920, 1080, 1, 60, false, false, ViewingDistance::desk},
       1920, 1080, ShapeClass::standard, 0, "acer-pm161q",
       "Acer PM161Q · 1920×1080 · 60 Hz · SDR · desk"},
      {ScreenTraits::tv4K(), {"4K TV", 3840, 2160, 1, 60, true, true, ViewingDistance::room},
       3840, 2160, ShapeClass::standard, 0.035, "4k-tv",
       "4K TV · 3840×2160 · 60 Hz · HDR · room · overscan safe"},
      {ScreenTraits::tv720(), {"720p TV", 1280, 720, 1, 60, false, true, ViewingDistance::room},
       1280, 720, ShapeClass::standard, 0.035, "720p-tv",
       "720p TV · 1280×720 · 60 Hz · SDR · room · overscan safe"},
      {ScreenTraits::desk1610(), {"16:10 monitor", 2560, 1600, 1, 60, false, false, ViewingDistance::desk},
       2560, 1600, ShapeClass::standard, 0, "1610-monitor",
       "16:10 monitor · 2560×1600 · 60 Hz · SDR · desk"},
      {ScreenTraits::ultrawide(), {"Ultrawide", 3440, 1440, 1, 60, false, false, ViewingDistance::desk},
       3440, 1440, ShapeClass::wide, 0, "ultrawide",
       "Ultrawide · 3440×1440 · 60 Hz · SDR · desk"},
      {ScreenTraits::portrait(), {"Portrait", 1080, 1920, 1, 60, false, false, ViewingDistance::desk},
       1080, 1920, ShapeClass::portrait, 0, "portrait",
       "Portrait · 1080×1920 · 60 Hz · SDR · desk"},
  };
  const auto& matrix = ScreenTraits::testMatrix();
  ASSERT_EQ(matrix.size(), std::size(cases));
  for (std::size_t i = 0; i < matrix.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.fields.name);
    EXPECT_EQ(c.preset, c.fields);
    EXPECT_EQ(matrix[i], c.fields);
    EXPECT_EQ(c.preset.pixelWidth(), c.pixelWidth);
    EXPECT_EQ(c.preset.pixelHeight(), c.pixelHeight);
    EXPECT_DOUBLE_EQ(c.preset.aspect(), c.fields.width / c.fields.height);
    EXPECT_EQ(c.preset.shape(), c.shape);
    EXPECT_EQ(c.preset.safeInsetFraction(), c.inset);
    EXPECT_EQ(c.preset.slug(), c.slug);
    EXPECT_EQ(c.preset.specLine(), c.specLine);
    EXPECT_EQ(c.preset.sanitized(), c.preset);
  }
}

TEST(ScreenTraits, SpecLineUsesMiddleDotAndMultiplicationSign) {
  const std::string line = ScreenTraits::acer().specLine();
  EXPECT_EQ(line, "Acer PM161Q \xC2\xB7 1920\xC3\x97" "1080 \xC2\xB7 60 Hz \xC2\xB7 SDR \xC2\xB7 desk");
}

TEST(ScreenTraits, PixelSizeIsClampedAndRoundedHalfAway) {
  struct Case {
    double points, scale;
    std::int64_t pixels;
  } cases[] = {
      {0.4, 2, 1},        // 0.8 ≤ 1
      {1.2, 1, 1},        // rounds to 1
      {1, 1, 1},          {1.5, 1, 2},   {2.5, 1, 3},     {1000.5, 1, 1001},
      {1000.49, 1, 1000}, {960, 2, 1920}, {20000, 1, 16384}, {8192, 2, 16384},
      {kInf, 1, 1},       {-kInf, 1, 1}, {kNaN, 1, 1},    {100, kNaN, 1},
      {-500, 1, 1},       {1e308, 10, 1},  // the product overflows to infinity
      {0, kInf, 1},       // 0 × inf is NaN
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.points << " x " << c.scale);
    EXPECT_EQ(screen(c.points, 100, c.scale).pixelWidth(), c.pixels);
    EXPECT_EQ(screen(100, c.points, c.scale).pixelHeight(), c.pixels);
  }
}

TEST(ScreenTraits, ShapeFollowsAspectWithStandardAtTheBounds) {
  struct Case {
    double width, height;
    ShapeClass shape;
  } cases[] = {
      {999, 1000, ShapeClass::portrait}, {1000, 1000, ShapeClass::standard},
      {2000, 1000, ShapeClass::standard}, {2001, 1000, ShapeClass::wide},
      {0, 0, ShapeClass::standard},  // NaN aspect
      {1, 0, ShapeClass::wide},      // infinite aspect
      {kNaN, 1000, ShapeClass::standard},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " / " << c.height);
    EXPECT_EQ(screen(c.width, c.height).shape(), c.shape);
  }
}

TEST(ScreenTraits, SanitizedClampsEachNumber) {
  struct Case {
    const char* what;
    void (*mutate)(ScreenTraits&);
    void (*expect)(ScreenTraits&);
  } cases[] = {
      {"fps low", [](ScreenTraits& t) { t.maxFPS = 10; }, [](ScreenTraits& t) { t.maxFPS = 24; }},
      {"fps high", [](ScreenTraits& t) { t.maxFPS = 1000; }, [](ScreenTraits& t) { t.maxFPS = 240; }},
      {"fps negative", [](ScreenTraits& t) { t.maxFPS = INT64_MIN; }, [](ScreenTraits& t) { t.maxFPS = 24; }},
      {"scale high", [](ScreenTraits& t) { t.scale = 8; }, [](ScreenTraits& t) { t.scale = 4; }},
      {"scale low", [](ScreenTraits& t) { t.scale = 0.1; }, [](ScreenTraits& t) { t.scale = 0.5; }},
      {"scale NaN", [](ScreenTraits& t) { t.scale = kNaN; }, [](ScreenTraits& t) { t.scale = 1; }},
      {"height low", [](ScreenTraits& t) { t.height = 50; }, [](ScreenTraits& t) { t.height = 100; }},
      {"height -inf", [](ScreenTraits& t) { t.height = -kInf; }, [](ScreenTraits& t) { t.height = 1080; }},
      {"width inf", [](ScreenTraits& t) { t.width = kInf; }, [](ScreenTraits& t) { t.width = 1920; }},
      {"width NaN", [](ScreenTraits& t) { t.width = kNaN; }, [](ScreenTraits& t) { t.width = 1920; }},
      {"width high", [](ScreenTraits& t) { t.width = 9000; }, [](ScreenTraits& t) { t.width = 8192; }},
      {"width negative", [](ScreenTraits& t) { t.width = -1; }, [](ScreenTraits& t) { t.width = 100; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScreenTraits input = ScreenTraits::tv4K();
    c.mutate(input);
    ScreenTraits expected = ScreenTraits::tv4K();
    c.expect(expected);
    EXPECT_EQ(input.sanitized(), expected);
  }
  ScreenTraits inf = ScreenTraits::acer();
  inf.width = kInf;
  EXPECT_EQ(inf.pixelWidth(), 1);
  EXPECT_EQ(inf.sanitized().pixelWidth(), 1920);
}

TEST(ScreenTraits, SanitizedCutsNameToSixtyFourCharacters) {
  auto repeat = [](std::string_view unit, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += unit;
    return s;
  };
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  struct Case {
    std::string name, expected;
  } cases[] = {
      {repeat("x", 70), repeat("x", 64)},
      {repeat("x", 64), repeat("x", 64)},
      {"", ""},
      {repeat("e\u0301", 70), repeat("e\u0301", 64)},  // clusters, not scalars
      {repeat(family, 65), repeat(family, 64)},
      {"TV\nRoom", "TV\nRoom"},  // only the length is cut here
  };
  for (const Case& c : cases) {
    ScreenTraits t = ScreenTraits::acer();
    t.name = c.name;
    EXPECT_EQ(t.sanitized().name, c.expected) << c.name;
  }
}

TEST(ScreenTraits, SlugLowersRemovesColonsAndJoinsWithDashes) {
  struct Case {
    const char* name;
    const char* slug;
  } cases[] = {{"16:10 monitor", "1610-monitor"}, {"A: B", "a-b"},
               {"Ärger TV", "ärger-tv"}, {"  ", "--"}, {"", ""}};
  for (const Case& c : cases) {
    ScreenTraits t = ScreenTraits::acer();
    t.name = c.name;
    EXPECT_EQ(t.slug(), c.slug) << c.name;
  }
}

TEST(ViewingDistance, RawValuesScalesAndOrder) {
  struct Case {
    ViewingDistance d;
    const char* raw;
    double scale;
  } cases[] = {{ViewingDistance::desk, "desk", 1.2},
               {ViewingDistance::room, "room", 1.5},
               {ViewingDistance::acrossRoom, "acrossRoom", 1.8}};
  ASSERT_EQ(kAllViewingDistances.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(kAllViewingDistances[i], c.d);
    EXPECT_STREQ(rawValue(c.d), c.raw);
    EXPECT_EQ(scale(c.d), c.scale);
    EXPECT_EQ(viewingDistanceFromRawValue(c.raw), c.d);
    EXPECT_EQ(dumpJson(Json(c.d)), std::string("\"") + c.raw + "\"");
  }
  for (const char* bad : {"Desk", "across room", "far", ""}) {
    EXPECT_FALSE(viewingDistanceFromRawValue(bad)) << bad;
  }
}

TEST(ShapeClass, RawValues) {
  for (auto [s, raw] : {std::pair{ShapeClass::portrait, "portrait"}, {ShapeClass::standard, "standard"},
                        {ShapeClass::wide, "wide"}}) {
    EXPECT_STREQ(rawValue(s), raw);
    EXPECT_EQ(shapeClassFromRawValue(raw), s);
    EXPECT_EQ(decodeJson<ShapeClass>(dumpJson(Json(s))).value(), s);
  }
  EXPECT_FALSE(shapeClassFromRawValue("Wide"));
}

TEST(ScreenTraitsJson, DecodesTheTv4KExampleAndWritesTheSameObject) {
  auto decoded = decodeJson<ScreenTraits>(kTv4KJson);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(*decoded, ScreenTraits::tv4K());

  auto encoded = encodeJson(ScreenTraits::tv4K());
  ASSERT_TRUE(encoded) << encoded.error();
  EXPECT_EQ(*parseJson(*encoded), *parseJson(kTv4KJson));
}

TEST(ScreenTraitsJson, RoundTripsPresetsAndFractionalValues) {
  for (const ScreenTraits& t : ScreenTraits::testMatrix()) {
    EXPECT_EQ(decodeJson<ScreenTraits>(encodeJson(t).value()).value(), t) << t.name;
  }
  ScreenTraits odd{"Odd \"TV\" ✓", 1000.5, 0.25, 2.75, -3, true, false, ViewingDistance::acrossRoom};
  EXPECT_EQ(decodeJson<ScreenTraits>(encodeJson(odd).value()).value(), odd);
}

TEST(ScreenTraitsJson, RejectsMissingKeysAndWrongValues) {
  const Json example = *parseJson(kTv4KJson);
  for (const auto& [key, value] : example.items()) {
    Json j = example;
    j.erase(key);
    EXPECT_FALSE(decodeJson<ScreenTraits>(dumpJson(j))) << "without " << key;
  }
  struct Case {
    const char* key;
    Json value;
  } bad[] = {
      {"distance", "far"},     {"distance", "Room"}, {"distance", 1},       {"distance", nullptr},
      {"maxFPS", 60.5},        {"maxFPS", "60"},     {"width", "3840"},     {"scale", nullptr},
      {"supportsHDR", 1},      {"overscan", "true"}, {"name", 4},           {"maxFPS", 1e30},
  };
  for (const Case& c : bad) {
    Json j = example;
    j[c.key] = c.value;
    EXPECT_FALSE(decodeJson<ScreenTraits>(dumpJson(j))) << c.key << " = " << c.value;
  }
  Json extra = example;
  extra["refresh"] = "ignored";
  EXPECT_EQ(decodeJson<ScreenTraits>(dumpJson(extra)).value(), ScreenTraits::tv4K());
  EXPECT_FALSE(decodeJson<ScreenTraits>("[]"));
}

TEST(ScreenTraitsJson, NonFiniteNumbersCannotBeWritten) {
  ScreenTraits t = ScreenTraits::acer();
  t.height = kNaN;
  EXPECT_FALSE(encodeJson(t));
  EXPECT_TRUE(encodeJson(t.sanitized()));
}

TEST(ScreenTraits, HashesOverAllFields) {
  std::unordered_set<ScreenTraits> set(ScreenTraits::testMatrix().begin(), ScreenTraits::testMatrix().end());
  EXPECT_EQ(set.size(), 6u);
  EXPECT_TRUE(set.contains(ScreenTraits::ultrawide()));
  ScreenTraits other = ScreenTraits::ultrawide();
  other.distance = ViewingDistance::room;
  EXPECT_FALSE(set.contains(other));
}

}  // namespace
}  // namespace lumenbrook
