// The status reader: the machine's own figures, and the desktop's applications as a phone
// receives them.

#include "app/status_reader.h"

#include <time.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

double bootHours() {
  timespec t{};
  ::clock_gettime(CLOCK_BOOTTIME, &t);
  return (static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9) / 3600.0;
}

TEST(StatusReader, ReadsTheBootClockAndTheRootFileSystem) {
  const double before = bootHours();
  MacStatus s = readHostStatus("Desk");
  const double after = bootHours();
  EXPECT_EQ(s.name, "Desk");
  EXPECT_GT(s.diskTotalGB, 0);
  EXPECT_GE(s.diskFreeGB, 0);
  EXPECT_LE(s.diskFreeGB, s.diskTotalGB);
  EXPECT_GT(s.uptimeHours, 0);
  EXPECT_GE(s.uptimeHours, before);
  EXPECT_LE(s.uptimeHours, after);
  EXPECT_FALSE(s.batteryPercent);
  EXPECT_FALSE(s.charging);
  EXPECT_FALSE(s.frontmostApp);
  EXPECT_EQ(s.runningApps, 0);
}

// Only applications() matters to the status reader.
class ApplicationsDesktop final : public DisplayBackend {
 public:
  explicit ApplicationsDesktop(RunningApplications apps) : apps_(std::move(apps)) {}
  std::string name() const override { return "fake"; }
  bool captureAllowed() override { return false; }
  bool inputAllowed() override { return false; }
  std::unique_ptr<FrameSource> makeSource(int, int) override { return nullptr; }
  Rect desktopBounds() override { return {}; }
  std::optional<Point> pointer() override { return std::nullopt; }
  std::unique_ptr<InputInjector> makeInjector() override { return nullptr; }
  RunningApplications applications() override { return apps_; }

 private:
  RunningApplications apps_;
};

TEST(StatusReader, CarriesTheDesktopsApplicationsSanitized) {
  struct Case {
    RunningApplications apps;
    std::optional<std::string> frontmost;
    std::int64_t running;
  };
  const Case cases[] = {
      {{"Notes", 3}, "Notes", 3},
      {{std::nullopt, 1}, std::nullopt, 1},
      {{"\x01\x02\n\x1b", 2}, std::nullopt, 2},  // nothing left of the name
      {{"Notes", 100000}, "Notes", 9999},
  };
  for (const Case& c : cases) {
    ApplicationsDesktop desktop(c.apps);
    MacStatus s = readHostStatus("Desk", &desktop);
    EXPECT_EQ(s.frontmostApp, c.frontmost) << c.apps.frontmost.value_or("(none)");
    EXPECT_EQ(s.runningApps, c.running) << c.apps.count;
    EXPECT_EQ(s.name, "Desk");
  }
}

}  // namespace
}  // namespace lumenbrook
