#pragma once
// The machine's own battery as the kernel's power-supply class shows it. Supplies of other
// devices (a wireless mouse or keyboard, scope "Device") do not count.

#include <filesystem>
#include <optional>

namespace lumenbrook {

struct BatteryState {
  int percent = 0;  // 0...100
  bool charging = false;
  friend bool operator==(const BatteryState&, const BatteryState&) = default;
};

// Reads every supply of type "Battery" under `powerSupplies` whose scope is not "Device":
// the charge from `capacity`, else from energy_now / energy_full (or charge_now /
// charge_full); charging when any of them says "Charging". Several batteries give their
// combined charge. Absent when the machine has none, or none can be read.
[[nodiscard]] std::optional<BatteryState> readBattery(
    const std::filesystem::path& powerSupplies = "/sys/class/power_supply");

}  // namespace lumenbrook
