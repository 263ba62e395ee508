// The pure parts of X11 input injection: the Mac key table, modifier flags, wheel click
// accumulation, the keyboard-mapping copy and the spare keycode pool.

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/input/key_map.h"
#include "desktop/x11/keyboard_mapping.h"
#include "desktop/x11/mac_keysyms.h"
#include "desktop/x11/wheel_accumulator.h"

namespace lumenbrook {
namespace {

// Every character the core's US key table types without shift is the keysym of its key:
// the two tables describe the same keyboard. Latin-1 keysyms equal their code points.
TEST(MacKeysymsTest, AgreesWithTheCoreKeyTableForUnshiftedCharacters) {
  int checked = 0;
  for (char c = ' '; c <= '~'; ++c) {
    auto stroke = KeyMap::key(std::string(1, c));
    if (!stroke || stroke->modifiers != 0) continue;
    SCOPED_TRACE(std::string("character '") + c + "'");
    EXPECT_EQ(MacKeysyms::keysym(stroke->code), std::optional<std::uint32_t>(static_cast<std::uint32_t>(c)));
    ++checked;
  }
  EXPECT_EQ(checked, 26 + 10 + 11 + 1);  // letters, digits, punctuation, space
}

TEST(MacKeysymsTest, NamedAndFunctionKeys) {
  struct Case {
    std::uint16_t code;
    std::optional<std::uint32_t> keysym;
  };
  const Case cases[] = {
      {36, XKB_KEY_Return},  {48, XKB_KEY_Tab},       {51, XKB_KEY_BackSpace}, {53, XKB_KEY_Escape},
      {117, XKB_KEY_Delete}, {115, XKB_KEY_Home},     {119, XKB_KEY_End},      {116, XKB_KEY_Prior},
      {121, XKB_KEY_Next},   {123, XKB_KEY_Left},     {124, XKB_KEY_Right},    {125, XKB_KEY_Down},
      {126, XKB_KEY_Up},     {122, XKB_KEY_F1},       {120, XKB_KEY_F2},       {99, XKB_KEY_F3},
      {118, XKB_KEY_F4},     {96, XKB_KEY_F5},        {97, XKB_KEY_F6},        {98, XKB_KEY_F7},
      {100, XKB_KEY_F8},     {101, XKB_KEY_F9},       {109, XKB_KEY_F10},      {103, XKB_KEY_F11},
      {111, XKB_KEY_F12},    {76, XKB_KEY_KP_Enter},  {83, XKB_KEY_1},         {65, XKB_KEY_period},
      {55, XKB_KEY_Control_L}, {56, XKB_KEY_Shift_L}, {58, XKB_KEY_Alt_L},
      // No US ANSI key: ISO section, unused, fn, JIS yen, beyond the table.
      {10, std::nullopt},    {52, std::nullopt},      {63, std::nullopt},      {93, std::nullopt},
      {128, std::nullopt},   {KeyMap::textOnly, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("code " + std::to_string(c.code));
    EXPECT_EQ(MacKeysyms::keysym(c.code), c.keysym);
  }
  // Every special key of the core vocabulary has a keysym.
  for (KeyMap::Special s : KeyMap::allSpecials) EXPECT_TRUE(MacKeysyms::keysym(rawValue(s))) << rawValue(s);
}

TEST(MacKeysymsTest, ModifierFlagsBecomeModifierKeysymsOnce) {
  struct Case {
    std::uint64_t flags;
    std::vector<std::uint32_t> keysyms;
  };
  const Case cases[] = {
      {0, {}},
      {0x20000, {XKB_KEY_Shift_L}},
      {0x40000, {XKB_KEY_Control_L}},
      {0x80000, {XKB_KEY_Alt_L}},
      {0x100000, {XKB_KEY_Control_L}},
      {0x140000, {XKB_KEY_Control_L}},  // control and command press one Control
      {0x1A0000 | 0x10000 | 0x800000, {XKB_KEY_Shift_L, XKB_KEY_Control_L, XKB_KEY_Alt_L}},
      {0x10000 | 0x200000 | 0x800000, {}},  // caps lock, keypad, fn: not modifiers to press
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MacKeysyms::modifierKeysyms(c.flags), c.keysyms) << std::hex << c.flags;
  }
}

TEST(WheelAccumulatorTest, CarriesTheRemainderAndCapsClicks) {
  struct Case {
    std::string name;
    std::vector<std::int32_t> units;
    std::vector<std::int32_t> clicks;
    std::int64_t remainder;
  };
  const Case cases[] = {
      {"one click", {40}, {1}, 0},
      {"short of a click", {39}, {0}, 39},
      {"remainder completes a click", {100, 20}, {2, 1}, 0},
      {"negative keeps its sign", {-30, -30, -30}, {0, -1, -1}, -10},
      {"reversal cancels the remainder first", {30, -30, -40}, {0, 0, -1}, 0},
      {"capped, the excess dropped", {10000, 40}, {25, 1}, 0},
      {"capped negative", {-10000}, {-25}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WheelAccumulator wheel(40, 25);
    std::vector<std::int32_t> got;
    for (std::int32_t u : c.units) got.push_back(wheel.add(u));
    EXPECT_EQ(got, c.clicks);
    EXPECT_EQ(wheel.remainder(), c.remainder);
  }
}

// Keycodes 10..15, two columns each, written as rows.
KeyboardMapping mappingOf(std::vector<std::vector<std::uint32_t>> rows) {
  std::vector<std::uint32_t> flat;
  for (auto& r : rows) {
    r.resize(2);
    flat.insert(flat.end(), r.begin(), r.end());
  }
  return KeyboardMapping(10, 2, flat);
}

TEST(KeyboardMappingTest, FindsUnshiftedLevelFirstAndEmptyKeycodes) {
  KeyboardMapping m = mappingOf({{XKB_KEY_1, XKB_KEY_exclam},
                                 {},
                                 {XKB_KEY_exclam, 0},  // "!" unshifted on a later key wins
                                 {XKB_KEY_a, XKB_KEY_A},
                                 {0, XKB_KEY_b},  // only a shifted symbol: not empty
                                 {}});
  EXPECT_EQ(m.find(XKB_KEY_exclam), (KeyboardMapping::Key{12, false}));
  EXPECT_EQ(m.find(XKB_KEY_A), (KeyboardMapping::Key{13, true}));
  EXPECT_EQ(m.find(XKB_KEY_b), (KeyboardMapping::Key{14, true}));
  EXPECT_EQ(m.find(XKB_KEY_z), std::nullopt);
  EXPECT_EQ(m.find(XKB_KEY_NoSymbol), std::nullopt);  // empty keys do not "carry" NoSymbol
  EXPECT_EQ(m.emptyKeycodes(), (std::vector<std::uint8_t>{15, 11}));
  EXPECT_FALSE(m.empty(9));   // below the mapping
  EXPECT_FALSE(m.empty(16));  // above it

  m.assign(11, XKB_KEY_eacute);
  EXPECT_EQ(m.keysym(11, 0), XKB_KEY_eacute);
  EXPECT_EQ(m.keysym(11, 1), XKB_KEY_eacute);
  EXPECT_EQ(m.find(XKB_KEY_eacute), (KeyboardMapping::Key{11, false}));
  m.assign(11, XKB_KEY_NoSymbol);
  EXPECT_TRUE(m.empty(11));

  // A truncated reply holds only whole keycodes; keycodes never pass 255.
  KeyboardMapping truncated(250, 4, std::vector<std::uint32_t>(4 * 10 + 3, 0));
  EXPECT_EQ(truncated.emptyKeycodes(), (std::vector<std::uint8_t>{255, 254, 253, 252, 251, 250}));
  EXPECT_EQ(truncated.row(XKB_KEY_A), (std::vector<std::uint32_t>{XKB_KEY_A, XKB_KEY_A, 0, 0}));
}

TEST(SpareKeycodesTest, LendsUnusedFirstThenLeastRecentlyUsed) {
  KeyboardMapping m = mappingOf({{XKB_KEY_a, XKB_KEY_A}, {}, {}, {}});  // 11, 12, 13 empty
  SpareKeycodes pool;
  pool.sync(m);
  ASSERT_EQ(pool.size(), 3u);
  std::set<std::uint8_t> busy;
  auto lend = [&](std::uint32_t keysym) {
    return pool.lend(keysym, [&](std::uint8_t k) { return busy.contains(k); });
  };
  using Lease = SpareKeycodes::Lease;
  EXPECT_EQ(lend(0x1000001), (Lease{13, true}));
  EXPECT_EQ(lend(0x1000002), (Lease{12, true}));
  EXPECT_EQ(lend(0x1000003), (Lease{11, true}));
  EXPECT_EQ(lend(0x1000001), (Lease{13, false}));  // already lent: no change, now recent
  EXPECT_EQ(lend(0x1000004), (Lease{12, true}));   // 12 is the least recently used
  pool.touch(11);  // typed through the mapping: 11 is no longer older than 12
  busy = {13};     // the oldest, but held down
  EXPECT_EQ(lend(0x1000005), (Lease{12, true}));
  busy = {11, 12, 13};
  EXPECT_EQ(lend(0x1000006), std::nullopt);
  EXPECT_EQ(pool.lent(), (std::vector<std::uint8_t>{13, 12, 11}));

  pool.unlend(12);  // its mapping change failed
  busy.clear();
  EXPECT_EQ(lend(0x1000007), (Lease{12, true}));  // unlent, though the most recent, beats 13
}

TEST(SpareKeycodesTest, SyncFollowsOtherClientsChanges) {
  KeyboardMapping m = mappingOf({{}, {}, {}, {XKB_KEY_a, 0}});  // 10, 11, 12 empty
  SpareKeycodes pool;
  pool.sync(m);
  auto never = [](std::uint8_t) { return false; };
  ASSERT_EQ(pool.lend(0x1000001, never), (SpareKeycodes::Lease{12, true}));
  ASSERT_EQ(pool.lend(0x1000002, never), (SpareKeycodes::Lease{11, true}));
  ASSERT_EQ(pool.lend(0x1000003, never), (SpareKeycodes::Lease{10, true}));

  // Another client loads a layout: 12 gets real keysyms, 11 keeps ours, 10 is emptied, and 13
  // becomes empty.
  KeyboardMapping next = mappingOf({{}, {0x1000002, 0x1000002}, {XKB_KEY_q, XKB_KEY_Q}, {}});
  pool.sync(next);
  EXPECT_EQ(pool.lent(), (std::vector<std::uint8_t>{11}));
  EXPECT_EQ(pool.size(), 3u);  // 13, 11, 10
  EXPECT_EQ(pool.lend(0x1000004, never), (SpareKeycodes::Lease{13, true}));
}

}  // namespace
}  // namespace lumenbrook
