#include "core/messages/mac_status.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>

#include "core/messages/status_cache.h"

namespace lumenbrook {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const char* kExample =
    R"({"name":"Studio","batteryPercent":87,"charging":false,"diskFreeGB":212.5,"diskTotalGB":494.38,"frontmostApp":"Notes","runningApps":9,"uptimeHours":52.7})";

MacStatus studio() { return MacStatus{"Studio", 87, false, 212.5, 494.38, "Notes", 9, 52.7}; }

TEST(MacStatusJson, DecodesTheExampleAndWritesTheSameObject) {
  auto decoded = decodeJson<MacStatus>(kExample);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(*decoded, studio());
  auto encoded = encodeJson(studio());
  ASSERT_TRUE(encoded) << encoded.error();
  EXPECT_EQ(*parseJson(*encoded), *parseJson(kExample));
}

TEST(MacStatusJson, AbsentOptionalsAreLeftOutAndMayBeNullWhenRead) {
  MacStatus desktop{"Mini", std::nullopt, std::nullopt, 10, 20, std::nullopt, 0, 1};
  Json written = *parseJson(encodeJson(desktop).value());
  for (const char* key : {"batteryPercent", "charging", "frontmostApp"}) {
    EXPECT_FALSE(written.contains(key)) << key;
  }
  EXPECT_EQ(decodeJson<MacStatus>(dumpJson(written)).value(), desktop);

  Json nulls = *parseJson(kExample);
  for (const char* key : {"batteryPercent", "charging", "frontmostApp"}) nulls[key] = nullptr;
  MacStatus expected = studio();
  expected.batteryPercent.reset();
  expected.charging.reset();
  expected.frontmostApp.reset();
  EXPECT_EQ(decodeJson<MacStatus>(dumpJson(nulls)).value(), expected);
}

TEST(MacStatusJson, RequiredKeysAndTypesAreEnforced) {
  const Json example = *parseJson(kExample);
  for (const char* key : {"name", "diskFreeGB", "diskTotalGB", "runningApps", "uptimeHours"}) {
    Json j = example;
    j.erase(key);
    EXPECT_FALSE(decodeJson<MacStatus>(dumpJson(j))) << "without " << key;
    j[key] = nullptr;
    EXPECT_FALSE(decodeJson<MacStatus>(dumpJson(j))) << key << " null";
  }
  struct Case {
    const char* key;
    Json value;
  } bad[] = {{"batteryPercent", 87.5}, {"batteryPercent", "87"}, {"charging", "no"},
             {"charging", 0},          {"frontmostApp", 3},       {"runningApps", 9.5},
             {"runningApps", 1e300},   {"diskFreeGB", "212.5"},   {"uptimeHours", true},
             {"name", Json::array()}};
  for (const Case& c : bad) {
    Json j = example;
    j[c.key] = c.value;
    EXPECT_FALSE(decodeJson<MacStatus>(dumpJson(j))) << c.key << " = " << c.value;
  }
  Json extra = example;
  extra["thermalState"] = "nominal";
  EXPECT_EQ(decodeJson<MacStatus>(dumpJson(extra)).value(), studio());
}

TEST(MacStatusJson, NonFiniteValuesCannotBeWrittenUntilSanitized) {
  MacStatus s = studio();
  s.uptimeHours = kInf;
  EXPECT_FALSE(encodeJson(s));
  EXPECT_TRUE(encodeJson(s.sanitized()));
}

TEST(MacStatus, SanitizedClampsEveryField) {
  struct Case {
    const char* what;
    void (*mutate)(MacStatus&);
    void (*expect)(MacStatus&);
  } cases[] = {
      {"in range", [](MacStatus&) {}, [](MacStatus&) {}},
      {"battery over", [](MacStatus& s) { s.batteryPercent = 104; }, [](MacStatus& s) { s.batteryPercent = 100; }},
      {"battery under", [](MacStatus& s) { s.batteryPercent = -5; }, [](MacStatus& s) { s.batteryPercent = 0; }},
      {"no battery", [](MacStatus& s) { s.batteryPercent.reset(); s.charging.reset(); },
       [](MacStatus& s) { s.batteryPercent.reset(); s.charging.reset(); }},
      {"total NaN", [](MacStatus& s) { s.diskTotalGB = kNaN; },
       [](MacStatus& s) { s.diskTotalGB = 0; s.diskFreeGB = 0; }},
      {"total huge", [](MacStatus& s) { s.diskTotalGB = 2e6; s.diskFreeGB = 3e6; },
       [](MacStatus& s) { s.diskTotalGB = 1e6; s.diskFreeGB = 1e6; }},
      {"free over total", [](MacStatus& s) { s.diskFreeGB = 600; }, [](MacStatus& s) { s.diskFreeGB = 494.38; }},
      {"free negative", [](MacStatus& s) { s.diskFreeGB = -1; }, [](MacStatus& s) { s.diskFreeGB = 0; }},
      {"free infinite", [](MacStatus& s) { s.diskFreeGB = kInf; }, [](MacStatus& s) { s.diskFreeGB = 0; }},
      {"total negative", [](MacStatus& s) { s.diskTotalGB = -kInf; },
       [](MacStatus& s) { s.diskTotalGB = 0; s.diskFreeGB = 0; }},
      {"apps negative", [](MacStatus& s) { s.runningApps = -3; }, [](MacStatus& s) { s.runningApps = 0; }},
      {"apps many", [](MacStatus& s) { s.runningApps = 12000; }, [](MacStatus& s) { s.runningApps = 9999; }},
      {"uptime negative", [](MacStatus& s) { s.uptimeHours = -1; }, [](MacStatus& s) { s.uptimeHours = 0; }},
      {"uptime infinite", [](MacStatus& s) { s.uptimeHours = kInf; }, [](MacStatus& s) { s.uptimeHours = 0; }},
      {"uptime NaN", [](MacStatus& s) { s.uptimeHours = kNaN; }, [](MacStatus& s) { s.uptimeHours = 0; }},
      {"uptime long", [](MacStatus& s) { s.uptimeHours = 2e5; }, [](MacStatus& s) { s.uptimeHours = 1e5; }},
      {"name long", [](MacStatus& s) { s.name = std::string(100, 'm'); },
       [](MacStatus& s) { s.name = std::string(64, 'm'); }},
      {"name breaks", [](MacStatus& s) { s.name = "Stu\ndi\ro\u200B\u2028"; }, [](MacStatus& s) { s.name = "Studio"; }},
      {"app breaks", [](MacStatus& s) { s.frontmostApp = "\tNotes\n"; }, [](MacStatus& s) { s.frontmostApp = "\tNotes"; }},
      {"app controls only", [](MacStatus& s) { s.frontmostApp = "\x01\x7F\r\n\u200B"; },
       [](MacStatus& s) { s.frontmostApp.reset(); }},
      {"app empty", [](MacStatus& s) { s.frontmostApp = ""; }, [](MacStatus& s) { s.frontmostApp.reset(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MacStatus input = studio();
    c.mutate(input);
    MacStatus expected = studio();
    c.expect(expected);
    EXPECT_EQ(input.sanitized(), expected);
    EXPECT_EQ(input.sanitized().sanitized(), expected);
  }
}

TEST(MacStatus, DiskUsedFractionStaysWithinZeroAndOne) {
  struct Case {
    double free, total, used;
  } cases[] = {
      {0, 0, 0},     {100, 400, 0.75}, {0, 400, 1},     {400, 400, 0},  {500, 400, 0},
      {-100, 400, 1}, {kNaN, 400, 0},   {kInf, 400, 0},  {100, kInf, 1}, {100, kNaN, 0},
      {100, -1, 0},  {-kInf, 400, 0},
  };
  for (const Case& c : cases) {
    MacStatus s = studio();
    s.diskFreeGB = c.free;
    s.diskTotalGB = c.total;
    EXPECT_EQ(s.diskUsedFraction(), c.used) << c.free << " of " << c.total;
  }
  EXPECT_EQ(MacStatus::minInterval, 10.0);
}

TEST(StatusCache, IsEmptyUntilStoredAndKeepsTheLatest) {
  StatusCache cache;
  EXPECT_FALSE(cache.value());
  cache.setValue(studio());
  EXPECT_EQ(cache.value(), studio());
  MacStatus later = studio();
  later.uptimeHours = 53;
  cache.setValue(later);
  EXPECT_EQ(cache.value(), later);
}

TEST(StatusCache, ReadersSeeWholeSnapshotsWhileAWriterStores) {
  MacStatus a = studio();
  MacStatus b{std::string(200, 'b'), std::nullopt, true, 1, 2, std::string(300, 'x'), 4, 5};
  StatusCache cache;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) cache.setValue(i % 2 ? a : b);
    done = true;
  });
  int torn = 0;
  while (!done) {
    auto v = cache.value();
    if (v && *v != a && *v != b) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(cache.value(), a);
}

}  // namespace
}  // namespace lumenbrook
