#include "core/input/key_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "tests/core/input/input_test_support.h"

namespace lumenbrook {
namespace {

using Stroke = KeyMap::Stroke;
using Modifier = KeyMap::Modifier;
constexpr std::uint32_t shift = 0x20000;

TEST(KeyMap, CharactersToKeys) {
  struct Case {
    std::string c;
    std::optional<Stroke> want;
  };
  const Case cases[] = {
      {"a", Stroke{0, 0}},       {"A", Stroke{0, shift}},   {"Z", Stroke{6, shift}},
      {"!", Stroke{18, shift}},  {"\"", Stroke{39, shift}}, {"~", Stroke{50, shift}},
      {"|", Stroke{42, shift}},  {"?", Stroke{44, shift}},  {"\n", Stroke{36, 0}},
      {"\r", Stroke{36, 0}},     {"\t", Stroke{48, 0}},     {" ", Stroke{49, 0}},
      {"\u00e9", std::nullopt},  {"\u0436", std::nullopt},  {"\x7f", std::nullopt},
      {"\x01", std::nullopt},    {"\x1b", std::nullopt},    {"", std::nullopt},
      {"ab", std::nullopt},      {"AB", std::nullopt},      {"\r\n", std::nullopt},
      {"e\u0301", std::nullopt}, {"\u00c9", std::nullopt},  {std::string(1, '\0'), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(KeyMap::key(c.c), c.want) << testing::PrintToString(c.c);
}

TEST(KeyMap, EveryTableEntry) {
  // Characters in virtual-key-code order; code 10 has none.
  const std::string byCode = "asdfhgzxcv_bqweryt123465=97-80]ou[ip\nlj'k;\\,/nm.\t `";
  ASSERT_EQ(byCode.size(), 51u);
  for (std::uint16_t code = 0; code < byCode.size(); ++code) {
    if (code == 10) continue;
    EXPECT_EQ(KeyMap::key(std::string(1, byCode[code])), (Stroke{code, 0})) << code;
  }

  const std::string shifted = "!@#$%^&*()_+{}|:\"<>?~";
  const std::string base = "1234567890-=[]\\;',./`";
  ASSERT_EQ(shifted.size(), base.size());
  for (std::size_t i = 0; i < shifted.size(); ++i) {
    auto b = KeyMap::key(std::string(1, base[i]));
    ASSERT_TRUE(b) << base[i];
    EXPECT_EQ(KeyMap::key(std::string(1, shifted[i])), (Stroke{b->code, shift})) << shifted[i];
  }
  for (char upper = 'A'; upper <= 'Z'; ++upper) {
    auto lower = KeyMap::key(std::string(1, static_cast<char>(upper - 'A' + 'a')));
    ASSERT_TRUE(lower) << upper;
    EXPECT_EQ(KeyMap::key(std::string(1, upper)), (Stroke{lower->code, shift})) << upper;
  }
}

TEST(KeyMap, TextBecomesPressReleasePairsPerCharacter) {
  struct Case {
    std::string text;
    std::vector<InputEvent> want;
  };
  const std::uint16_t t = KeyMap::textOnly;
  const Case cases[] = {
      {"", {}},
      {"Hi",
       {key(4, true, shift, "H"), key(4, false, shift), key(34, true, 0, "i"), key(34, false, 0)}},
      // CR LF is one character, in no table: it travels as text.
      {"a\r\nb",
       {key(0, true, 0, "a"), key(0, false, 0), key(t, true, 0, "\r\n"), key(t, false, 0),
        key(11, true, 0, "b"), key(11, false, 0)}},
      {"\n\r",
       {key(36, true, 0, "\n"), key(36, false, 0), key(36, true, 0, "\r"), key(36, false, 0)}},
      {"\u00e9", {key(t, true, 0, "\u00e9"), key(t, false, 0)}},
      // A combining accent joins its base letter, so the e is not typed as a key.
      {"e\u0301!",
       {key(t, true, 0, "e\u0301"), key(t, false, 0), key(18, true, shift, "!"),
        key(18, false, shift)}},
      {"\U0001F44D\U0001F3FD\U0001F1E9\U0001F1EA",
       {key(t, true, 0, "\U0001F44D\U0001F3FD"), key(t, false, 0),
        key(t, true, 0, "\U0001F1E9\U0001F1EA"), key(t, false, 0)}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(KeyMap::events(c.text), c.want) << testing::PrintToString(c.text);
}

TEST(KeyMap, ShortcutsCarryTheModifiersOnBothEvents) {
  struct Case {
    std::uint16_t code;
    std::vector<Modifier> modifiers;
    std::uint32_t flags;
  };
  const Case cases[] = {
      {8, {Modifier::command, Modifier::shift}, 1179648},
      {123, {}, 0},
      {9, {Modifier::command, Modifier::command}, 0x100000},
      {53, {Modifier::control, Modifier::option, Modifier::shift, Modifier::command}, 0x1E0000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KeyMap::shortcut(c.code, c.modifiers),
              (std::array{key(c.code, true, c.flags), key(c.code, false, c.flags)}))
        << c.code;
  }
}

TEST(KeyMap, HidUsagesToKeyCodes) {
  struct Case {
    std::int64_t usage;
    std::uint16_t code;
  };
  const Case cases[] = {
      {4, 0},    {5, 11},   {6, 8},    {29, 6},   {30, 18},  {35, 22},  {38, 25},
      {39, 29},  {40, 36},  {41, 53},  {42, 51},  {43, 48},  {44, 49},  {45, 27},
      {46, 24},  {47, 33},  {48, 30},  {49, 42},  {51, 41},  {52, 39},  {53, 50},
      {54, 43},  {55, 47},  {56, 44},  {74, 115}, {75, 116}, {76, 117}, {77, 119},
      {78, 121}, {79, 124}, {80, 123}, {81, 125}, {82, 126}, {224, 59}, {228, 59},
      {225, 56}, {229, 56}, {226, 58}, {230, 58}, {227, 55}, {231, 55},
  };
  for (const Case& c : cases) EXPECT_EQ(KeyMap::macCode(c.usage), c.code) << c.usage;

  const std::int64_t huge = std::int64_t{1} << 40,
                     lowest = std::numeric_limits<std::int64_t>::min();
  const std::int64_t unmapped[] = {-1, 0, 3, 50, 57, 58, 69, 73, 83, 223, 232, 260, huge, lowest};
  for (std::int64_t usage : unmapped) EXPECT_EQ(KeyMap::macCode(usage), std::nullopt) << usage;

  // Letters and digits follow the character table.
  for (int i = 0; i < 26; ++i) {
    EXPECT_EQ(KeyMap::macCode(4 + i), KeyMap::key(std::string(1, static_cast<char>('a' + i)))->code)
        << i;
  }
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(KeyMap::macCode(30 + i),
              KeyMap::key(std::string(1, static_cast<char>('1' + i)))->code)
        << i;
  }
}

TEST(KeyMap, HidModifierUsages) {
  struct Case {
    std::int64_t usage;
    std::optional<Modifier> modifier;
  };
  const Case cases[] = {
      {224, Modifier::control}, {228, Modifier::control}, {225, Modifier::shift},
      {229, Modifier::shift},   {226, Modifier::option},  {230, Modifier::option},
      {227, Modifier::command}, {231, Modifier::command}, {57, std::nullopt},
      {223, std::nullopt},      {232, std::nullopt},      {4, std::nullopt},
      {-224, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(KeyMap::modifier(c.usage), c.modifier) << c.usage;
}

TEST(KeyMap, RawValues) {
  const std::uint32_t modifierRaws[] = {0x20000, 0x40000, 0x80000, 0x100000};
  for (std::size_t i = 0; i < KeyMap::allModifiers.size(); ++i) {
    EXPECT_EQ(rawValue(KeyMap::allModifiers[i]), modifierRaws[i]);
    EXPECT_EQ(KeyMap::modifierFromRawValue(modifierRaws[i]), KeyMap::allModifiers[i]);
  }
  for (std::uint32_t raw : {0x60000u, 0u, 0x10000u, 0x200000u, 0x180000u}) {
    EXPECT_EQ(KeyMap::modifierFromRawValue(raw), std::nullopt) << raw;
  }

  const std::uint16_t specialCodes[] = {36,  48,  49,  51,  53,  117, 115,
                                        119, 116, 121, 123, 124, 125, 126};
  ASSERT_EQ(KeyMap::allSpecials.size(), std::size(specialCodes));
  for (std::size_t i = 0; i < KeyMap::allSpecials.size(); ++i) {
    EXPECT_EQ(rawValue(KeyMap::allSpecials[i]), specialCodes[i]);
    EXPECT_EQ(KeyMap::specialFromRawValue(specialCodes[i]), KeyMap::allSpecials[i]);
  }
  for (std::uint16_t code : {0, 10, 50, 118, 122, 127, 0xFFFF}) {
    EXPECT_EQ(KeyMap::specialFromRawValue(code), std::nullopt) << code;
  }
}

}  // namespace
}  // namespace lumenbrook
