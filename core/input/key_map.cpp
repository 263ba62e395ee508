#include "core/input/key_map.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

namespace lumenbrook {
namespace {

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
template <class V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

// Character -> virtual key code on a US (ANSI) layout. Code 10 types nothing.
const TextMap<std::uint16_t>& characterTable() {
  static const TextMap<std::uint16_t> table = [] {
    static constexpr std::pair<std::uint16_t, std::string_view> byCode[] = {
        {0, "a"},  {1, "s"},   {2, "d"},  {3, "f"},   {4, "h"},  {5, "g"},  {6, "z"},  {7, "x"},
        {8, "c"},  {9, "v"},   {11, "b"}, {12, "q"},  {13, "w"}, {14, "e"}, {15, "r"}, {16, "y"},
        {17, "t"}, {18, "1"},  {19, "2"}, {20, "3"},  {21, "4"}, {22, "6"}, {23, "5"}, {24, "="},
        {25, "9"}, {26, "7"},  {27, "-"}, {28, "8"},  {29, "0"}, {30, "]"}, {31, "o"}, {32, "u"},
        {33, "["}, {34, "i"},  {35, "p"}, {36, "\n"}, {37, "l"}, {38, "j"}, {39, "'"}, {40, "k"},
        {41, ";"}, {42, "\\"}, {43, ","}, {44, "/"},  {45, "n"}, {46, "m"}, {47, "."}, {48, "\t"},
        {49, " "}, {50, "`"},
    };
    TextMap<std::uint16_t> t;
    t.reserve(std::size(byCode));
    for (const auto& [code, c] : byCode) t.emplace(c, code);
    t.emplace("\r", 36);  // both line ends press Return
    return t;
  }();
  return table;
}

// Shifted character -> the character on the same key, US layout.
const TextMap<std::string_view>& shiftTable() {
  static const TextMap<std::string_view> table = [] {
    static constexpr std::pair<std::string_view, std::string_view> pairs[] = {
        {"!", "1"},  {"@", "2"}, {"#", "3"},  {"$", "4"}, {"%", "5"}, {"^", "6"}, {"&", "7"},
        {"*", "8"},  {"(", "9"}, {")", "0"},  {"_", "-"}, {"+", "="}, {"{", "["}, {"}", "]"},
        {"|", "\\"}, {":", ";"}, {"\"", "'"}, {"<", ","}, {">", "."}, {"?", "/"}, {"~", "`"},
    };
    TextMap<std::string_view> t;
    t.reserve(std::size(pairs));
    for (const auto& [shifted, base] : pairs) t.emplace(shifted, base);
    return t;
  }();
  return table;
}

std::optional<std::uint16_t> characterCode(std::string_view c) {
  const auto& table = characterTable();
  if (auto it = table.find(c); it != table.end()) return it->second;
  return std::nullopt;
}

InputEvent keyEvent(std::uint16_t code, bool down, std::uint32_t modifiers,
                    std::optional<std::string> text) {
  InputEvent::Key k;
  k.code = code;
  k.down = down;
  k.modifiers = modifiers;
  k.text = std::move(text);
  return InputEvent{std::move(k)};
}

constexpr std::uint32_t shiftFlag = rawValue(KeyMap::Modifier::shift);

// User-perceived characters of `text`, each as UTF-8.
std::vector<std::string> graphemeClusters(std::string_view text) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  std::vector<std::string> out;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) {
    // Without break data (a broken ICU installation) type code point by code point rather
    // than losing the text.
    for (std::int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1)) {
      u.tempSubStringBetween(i, u.moveIndex32(i, 1)).toUTF8String(out.emplace_back());
    }
    return out;
  }
  it->setText(u);
  for (std::int32_t start = it->first(), end = it->next(); end != icu::BreakIterator::DONE;
       start = end, end = it->next()) {
    u.tempSubStringBetween(start, end).toUTF8String(out.emplace_back());
  }
  return out;
}

}  // namespace

std::optional<KeyMap::Modifier> KeyMap::modifierFromRawValue(std::uint32_t raw) {
  for (Modifier m : allModifiers) {
    if (rawValue(m) == raw) return m;
  }
  return std::nullopt;
}

std::optional<KeyMap::Special> KeyMap::specialFromRawValue(std::uint16_t code) {
  for (Special s : allSpecials) {
    if (rawValue(s) == code) return s;
  }
  return std::nullopt;
}

std::optional<KeyMap::Stroke> KeyMap::key(std::string_view character) {
  if (auto code = characterCode(character)) return Stroke{*code, 0};
  if (character.size() == 1 && character[0] >= 'A' && character[0] <= 'Z') {
    char lower = static_cast<char>(character[0] - 'A' + 'a');
    if (auto code = characterCode(std::string_view(&lower, 1))) return Stroke{*code, shiftFlag};
  }
  const auto& shifted = shiftTable();
  if (auto it = shifted.find(character); it != shifted.end()) {
    if (auto code = characterCode(it->second)) return Stroke{*code, shiftFlag};
  }
  return std::nullopt;
}

std::vector<InputEvent> KeyMap::events(std::string_view text) {
  std::vector<InputEvent> out;
  for (std::string& c : graphemeClusters(text)) {
    Stroke s = key(c).value_or(Stroke{textOnly, 0});
    out.push_back(keyEvent(s.code, true, s.modifiers, std::move(c)));
    out.push_back(keyEvent(s.code, false, s.modifiers, std::nullopt));
  }
  return out;
}

std::array<InputEvent, 2> KeyMap::shortcut(std::uint16_t code,
                                           const std::vector<Modifier>& modifiers) {
  std::uint32_t m = 0;
  for (Modifier mod : modifiers) m |= rawValue(mod);
  return {keyEvent(code, true, m, std::nullopt), keyEvent(code, false, m, std::nullopt)};
}

std::optional<std::uint16_t> KeyMap::macCode(std::int64_t hidUsage) {
  if (hidUsage >= 4 && hidUsage <= 29) {
    char letter = static_cast<char>('a' + (hidUsage - 4));
    return characterCode(std::string_view(&letter, 1));
  }
  if (hidUsage >= 30 && hidUsage <= 38) {
    char digit = static_cast<char>('1' + (hidUsage - 30));
    return characterCode(std::string_view(&digit, 1));
  }
  switch (hidUsage) {
    case 39: return 29;   // 0
    case 40: return 36;   // Return
    case 41: return 53;   // Escape
    case 42: return 51;   // Backspace
    case 43: return 48;   // Tab
    case 44: return 49;   // Space
    case 45: return 27;   // -
    case 46: return 24;   // =
    case 47: return 33;   // [
    case 48: return 30;   // ]
    case 49: return 42;   // backslash
    case 51: return 41;   // ;
    case 52: return 39;   // '
    case 53: return 50;   // grave accent
    case 54: return 43;   // ,
    case 55: return 47;   // .
    case 56: return 44;   // /
    case 74: return 115;  // Home
    case 75: return 116;  // Page Up
    case 76: return 117;  // Delete Forward
    case 77: return 119;  // End
    case 78: return 121;  // Page Down
    case 79: return 124;  // Right Arrow
    case 80: return 123;  // Left Arrow
    case 81: return 125;  // Down Arrow
    case 82: return 126;  // Up Arrow
    case 224:
    case 228: return 59;  // Control
    case 225:
    case 229: return 56;  // Shift
    case 226:
    case 230: return 58;  // Option
    case 227:
    case 231: return 55;  // Command
    default: return std::nullopt;
  }
}

std::optional<KeyMap::Modifier> KeyMap::modifier(std::int64_t hidUsage) {
  switch (hidUsage) {
    case 224:
    case 228: return Modifier::control;
    case 225:
    case 229: return Modifier::shift;
    case 226:
    case 230: return Modifier::option;
    case 227:
    case 231: return Modifier::command;
    default: return std::nullopt;
  }
}

}  // namespace lumenbrook
