#include "core/content/prompter.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "core/content/text_measure.h"
#include "core/messages/clamp.h"

namespace lumenbrook {
namespace {

// Length of the line break starting at s[i] (LF, VT, FF, CR, NEL, LS, PS), or 0.
std::size_t lineBreakAt(std::string_view s, std::size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c >= 0x0A && c <= 0x0D) return 1;
  if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) return 2;
  if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80) {
    unsigned char d = static_cast<unsigned char>(s[i + 2]);
    if (d == 0xA8 || d == 0xA9) return 3;
  }
  return 0;
}

std::vector<std::string> splitLines(std::string_view script) {
  std::vector<std::string> out;
  std::size_t start = 0;
  auto flush = [&](std::size_t end) {
    auto piece = trimSpacesAndTabs(script.substr(start, end - start));
    if (!piece.empty()) out.emplace_back(piece);
  };
  for (std::size_t i = 0; i < script.size();) {
    if (std::size_t n = lineBreakAt(script, i)) {
      flush(i);
      i += n;
      start = i;
    } else {
      ++i;
    }
  }
  flush(script.size());
  return out;
}

std::size_t wordCount(std::string_view line) {
  std::size_t n = 0;
  bool inWord = false;
  for (char c : line) {
    if (c == ' ') {
      inWord = false;
    } else if (!inWord) {
      inWord = true;
      ++n;
    }
  }
  return n;
}

double effectiveSpeed(double wpm) {
  return std::isfinite(wpm) ? Prompter::speedRange.clamp(wpm) : Prompter::defaultSpeed;
}

std::int64_t lineOf(double position, std::size_t lineCount) {
  if (lineCount == 0 || !(position >= 1)) return 0;  // also NaN
  double last = static_cast<double>(lineCount - 1);
  return static_cast<std::int64_t>(std::min(std::floor(position), last));
}

}  // namespace

std::vector<std::string> Prompter::lines() const { return splitLines(script); }

std::int64_t Prompter::currentLine() const { return lineOf(position, lines().size()); }

Prompter Prompter::sanitized() const {
  Prompter out;
  out.script = Clamp::text(script, maxScript, true);
  out.wordsPerMinute = effectiveSpeed(wordsPerMinute);
  auto count = splitLines(out.script).size();
  double last = count > 0 ? static_cast<double>(count - 1) : 0.0;
  out.position = std::isfinite(position) ? std::clamp(position, 0.0, last) : 0.0;
  out.playing = playing;
  return out;
}

void Prompter::advance(double seconds) {
  if (!playing || !std::isfinite(seconds) || !(seconds > 0)) return;
  auto all = lines();
  if (all.empty()) {
    playing = false;
    return;
  }
  // A position that is not a number of lines starts from the line currentLine() names.
  if (!std::isfinite(position)) position = static_cast<double>(lineOf(position, all.size()));
  double wordsPerSecond = effectiveSpeed(wordsPerMinute) / 60.0;
  double budget = std::min(seconds, 60.0);
  // Each pass either stops or moves to the next line, so this ends within all.size() passes.
  for (;;) {
    auto k = lineOf(position, all.size());
    double p = position;
    auto words = std::max<std::size_t>(wordCount(all[static_cast<std::size_t>(k)]), 1);
    double perLine = static_cast<double>(words) / wordsPerSecond;
    double left = (static_cast<double>(k) + 1 - p) * perLine;
    if (budget < left) {
      position = p + budget / perLine;
      return;
    }
    if (static_cast<std::size_t>(k) + 1 == all.size()) {
      position = static_cast<double>(all.size() - 1);
      playing = false;
      return;
    }
    position = static_cast<double>(k + 1);
    budget -= left;
    if (budget <= 0) return;
  }
}

void Prompter::step(std::int64_t n) {
  auto count = lines().size();
  if (count == 0) {
    position = 0;
    return;
  }
  auto last = static_cast<std::int64_t>(count - 1);
  auto k = lineOf(position, count);
  // k is within 0…last, so clamping n first keeps k + n from overflowing.
  auto d = k + std::clamp<std::int64_t>(n, -last - 1, last + 1);
  position = d < 1 ? 0.0 : static_cast<double>(std::min(d, last));
}

void to_json(Json& j, const Prompter& p) {
  Json out = Json::object();
  out["script"] = p.script;
  out["position"] = json::writeDouble(p.position);
  out["wordsPerMinute"] = json::writeDouble(p.wordsPerMinute);
  out["playing"] = p.playing;
  j = std::move(out);
}

void from_json(const Json& j, Prompter& p) {
  p.script = json::readString(json::member(j, "script"));
  p.position = json::readDouble(json::member(j, "position"));
  p.wordsPerMinute = json::readDouble(json::member(j, "wordsPerMinute"));
  p.playing = json::readBool(json::member(j, "playing"));
}

}  // namespace lumenbrook
