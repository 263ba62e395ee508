// The machine's battery from a power-supply tree laid out as the kernel does.

#include "desktop/linux/battery.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;

class BatteryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("lb-power-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void supply(const std::string& name, const std::map<std::string, std::string>& files) {
    fs::create_directories(root_ / name);
    for (const auto& [file, text] : files) std::ofstream(root_ / name / file) << text << "\n";
  }

  fs::path root_;
};

TEST_F(BatteryTest, ReadsTheMachinesOwnBatteryOnly) {
  supply("AC", {{"type", "Mains"}, {"online", "1"}});
  // A wireless mouse's battery is not the machine's.
  supply("hidpp_battery_0", {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "5"},
                             {"status", "Discharging"}});
  EXPECT_EQ(readBattery(root_), std::nullopt);
  supply("BAT0", {{"type", "Battery"}, {"scope", "System"}, {"capacity", "87"}, {"status", "Charging"}});
  EXPECT_EQ(readBattery(root_), (BatteryState{87, true}));
}

TEST_F(BatteryTest, WithoutCapacityTheChargeComesFromEnergyOrCharge) {
  const struct {
    std::map<std::string, std::string> files;
    std::optional<BatteryState> expected;
  } cases[] = {
      {{{"type", "Battery"}, {"energy_now", "30000000"}, {"energy_full", "40000000"}, {"status", "Full"}},
       BatteryState{75, false}},
      {{{"type", "Battery"}, {"charge_now", "1000"}, {"charge_full", "3000"}, {"status", "Discharging"}},
       BatteryState{33, false}},
      // Nothing that tells the charge, or nonsense: no battery to report.
      {{{"type", "Battery"}, {"status", "Charging"}}, std::nullopt},
      {{{"type", "Battery"}, {"energy_now", "5"}, {"energy_full", "0"}}, std::nullopt},
      {{{"type", "Battery"}, {"capacity", "lots"}}, std::nullopt},
      // The kernel can report a little above 100 while calibrating.
      {{{"type", "Battery"}, {"capacity", "103"}}, BatteryState{100, false}},
  };
  for (const auto& c : cases) {
    fs::remove_all(root_ / "BAT0");
    supply("BAT0", c.files);
    EXPECT_EQ(readBattery(root_), c.expected) << c.files.begin()->second << " " << c.files.size();
  }
}

TEST_F(BatteryTest, TwoBatteriesCountForWhatEachHolds) {
  supply("BAT0", {{"type", "Battery"}, {"energy_now", "40"}, {"energy_full", "40"}, {"capacity", "100"},
                  {"status", "Full"}});
  supply("BAT1", {{"type", "Battery"}, {"energy_now", "0"}, {"energy_full", "10"}, {"capacity", "0"},
                  {"status", "Charging"}});
  EXPECT_EQ(readBattery(root_), (BatteryState{80, true}));
}

TEST_F(BatteryTest, NoPowerSupplyClassMeansNoBattery) {
  EXPECT_EQ(readBattery(root_ / "missing"), std::nullopt);
}

}  // namespace
}  // namespace lumenbrook
