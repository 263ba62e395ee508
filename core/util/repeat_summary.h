#pragma once
// Keeps a repeated log line from flooding the log: the first of a run is logged at once, the
// identical lines that follow while its window is open are only counted, and closing the
// window sums them up in one line. The owner times the window; nothing here reads a clock.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace lumenbrook {

class RepeatSummary {
 public:
  // True: log `line` now, which opens its window; close it with close() when the window has
  // passed. False: a repeat inside an open window, counted.
  bool note(const std::string& line) {
    auto [it, opened] = repeats_.try_emplace(line, 0);
    if (!opened) ++it->second;
    return opened;
  }

  // Closes `line`'s window: "<line> … and N more in the last <window>" when repeats came,
  // else nothing. The next identical line is logged at once again.
  std::optional<std::string> close(const std::string& line, std::string_view window) {
    auto it = repeats_.find(line);
    if (it == repeats_.end()) return std::nullopt;
    const std::size_t more = it->second;
    repeats_.erase(it);
    if (more == 0) return std::nullopt;
    return line + " \u2026 and " + std::to_string(more) + " more in the last " +
           std::string(window);
  }

  // Lines whose window is open.
  std::size_t open() const { return repeats_.size(); }

 private:
  std::map<std::string, std::size_t> repeats_;
};

}  // namespace lumenbrook
