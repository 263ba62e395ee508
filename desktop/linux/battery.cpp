#include "desktop/linux/battery.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> word(const fs::path& file) {
  std::ifstream in(file);
  std::string text;
  if (!(in >> text)) return std::nullopt;
  return text;
}

std::optional<double> number(const fs::path& file) {
  auto text = word(file);
  if (!text) return std::nullopt;
  try {
    std::size_t used = 0;
    double v = std::stod(*text, &used);
    if (used != text->size() || !std::isfinite(v) || v < 0) return std::nullopt;
    return v;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<BatteryState> readBattery(const fs::path& powerSupplies) {
  struct One {
    double percent = 0;
    std::optional<double> now, full;  // energy or charge, in the supply's own unit
  };
  std::vector<One> batteries;
  bool charging = false;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(powerSupplies, ec)) {
    const fs::path dir = entry.path();
    if (word(dir / "type") != "Battery" || word(dir / "scope") == "Device") continue;
    One b;
    b.now = number(dir / "energy_now");
    b.full = number(dir / "energy_full");
    if (!b.now || !b.full || *b.full <= 0) {
      b.now = number(dir / "charge_now");
      b.full = number(dir / "charge_full");
    }
    if (!b.full || *b.full <= 0) b.now = b.full = std::nullopt;
    if (auto capacity = number(dir / "capacity")) {
      b.percent = *capacity;
    } else if (b.full) {
      b.percent = 100.0 * *b.now / *b.full;
    } else {
      continue;  // nothing tells its charge
    }
    batteries.push_back(b);
    charging = charging || word(dir / "status") == "Charging";
  }
  if (batteries.empty()) return std::nullopt;

  // Several batteries: by what each holds where all say it, so that a small second battery
  // counts for its size; otherwise the plain average.
  double percent = 0;
  const bool sizes = batteries.size() > 1 && std::all_of(batteries.begin(), batteries.end(),
                                                         [](const One& b) { return b.full.has_value(); });
  if (sizes) {
    double now = 0, full = 0;
    for (const One& b : batteries) {
      now += *b.now;
      full += *b.full;
    }
    percent = 100.0 * now / full;
  } else {
    for (const One& b : batteries) percent += b.percent;
    percent /= static_cast<double>(batteries.size());
  }
  return BatteryState{static_cast<int>(std::lround(std::clamp(percent, 0.0, 100.0))), charging};
}

}  // namespace lumenbrook
