#include "core/input/input_mapper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "core/input/key_map.h"
#include "tests/core/input/input_test_support.h"

namespace lumenbrook {
namespace {

using Button = InputEvent::Button;
using Type = HostEvent::Type;
using MouseButton = HostEvent::MouseButton;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr Rect screen{0, 0, 1440, 900};

HostEvent moved(Point at) { return {.type = Type::mouseMoved, .location = at}; }

TEST(InputMapper, StartsWithTheGivenStateUnclamped) {
  InputMapper m(screen, {5000, -20});
  EXPECT_EQ(m.bounds(), screen);
  EXPECT_EQ(m.cursor(), (Point{5000, -20}));
  EXPECT_TRUE(m.down().empty());
  EXPECT_EQ(m.held(), 0u);
}

TEST(InputMapper, PointerMovesAreLimitedAndKeptInBounds) {
  struct Case {
    Rect bounds;
    Point start;
    double dx, dy;
    Point end;
  };
  const Case cases[] = {
      {screen, {100, 100}, 5, -7.5, {105, 92.5}},
      {screen, {100, 100}, 5000, -5000, {1439, 0}},
      // The delta limit applies before the bounds: 20000 adds 10000.
      {{0, 0, 30000, 30000}, {100, 100}, nan, 20000, {100, 10100}},
      {{0, 0, 30000, 30000}, {15000, 15000}, -20000, 10000, {5000, 25000}},
      {{0, 0, 30000, 30000}, {15000, 15000}, -10000, 1e308, {5000, 25000}},
      {{0, 0, 30000, 30000}, {15000, 15000}, inf, -inf, {15000, 15000}},
      // A display left of and above the main one.
      {{-1920, -200, 1920, 1080}, {-100, 10}, -5000, 5000, {-1920, 879}},
      // Negative sizes are standardised like any rectangle.
      {{1440, 900, -1440, -900}, {100, 100}, 5000, -5000, {1439, 0}},
      // Nothing fits an empty rectangle; max-then-min pins the pointer one point before it.
      {{50, 0, 0, 900}, {60, 100}, 3, 0, {49, 100}},
  };
  for (const Case& c : cases) {
    InputMapper m(c.bounds, c.start);
    EXPECT_EQ(m.events(pointerMove(c.dx, c.dy)), std::vector{moved(c.end)})
        << c.start.x << "," << c.start.y << " + " << c.dx << "," << c.dy;
    EXPECT_EQ(m.cursor(), c.end);
  }
}

TEST(InputMapper, HeldButtonsTurnMovesIntoDrags) {
  struct Case {
    std::vector<Button> pressed;
    Type type;
    MouseButton button;
  };
  const Case cases[] = {
      {{}, Type::mouseMoved, MouseButton::left},
      {{Button::left}, Type::leftMouseDragged, MouseButton::left},
      {{Button::right}, Type::rightMouseDragged, MouseButton::right},
      {{Button::right, Button::left}, Type::leftMouseDragged, MouseButton::right},
      {{Button::left, Button::left}, Type::leftMouseDragged, MouseButton::left},
  };
  for (const Case& c : cases) {
    InputMapper m(screen, {100, 100});
    for (Button b : c.pressed) (void)m.events(button(b, true));
    EXPECT_EQ(m.events(pointerMove(1, 2)),
              (std::vector{HostEvent{.type = c.type, .location = {101, 102}, .button = c.button}}))
        << c.pressed.size();
  }
}

TEST(InputMapper, ClickAndDragSequence) {
  InputMapper m(screen, {10, 20});
  std::vector<HostEvent> got;
  for (const InputEvent& e :
       {button(Button::left, true), pointerMove(5, 5), button(Button::right, true),
        button(Button::left, false), pointerMove(-1, 0), button(Button::right, false),
        pointerMove(0, 1)}) {
    for (HostEvent& h : m.events(e)) got.push_back(h);
  }
  const std::vector<HostEvent> want = {
      {.type = Type::leftMouseDown, .location = {10, 20}, .button = MouseButton::left, .flags = 0},
      {.type = Type::leftMouseDragged, .location = {15, 25}, .button = MouseButton::left},
      {.type = Type::rightMouseDown,
       .location = {15, 25},
       .button = MouseButton::right,
       .flags = 0},
      {.type = Type::leftMouseUp, .location = {15, 25}, .button = MouseButton::left, .flags = 0},
      {.type = Type::rightMouseDragged, .location = {14, 25}, .button = MouseButton::right},
      {.type = Type::rightMouseUp, .location = {14, 25}, .button = MouseButton::right, .flags = 0},
      {.type = Type::mouseMoved, .location = {14, 26}, .button = MouseButton::left},
  };
  EXPECT_EQ(got, want);
  EXPECT_TRUE(m.down().empty());
}

TEST(InputMapper, ReleasingAButtonThatIsNotHeldStillPostsTheRelease) {
  InputMapper m(screen, {3, 4});
  (void)m.events(button(Button::left, true));
  EXPECT_EQ(m.events(button(Button::right, false)),
            (std::vector{HostEvent{.type = Type::rightMouseUp,
                                   .location = {3, 4},
                                   .button = MouseButton::right,
                                   .flags = 0}}));
  EXPECT_EQ(m.down(), std::set{Button::left});
}

TEST(InputMapper, KeyModifiersCarryOverToButtons) {
  InputMapper m(screen, {100, 100});
  (void)m.events(key(56, true, 0x20000));
  EXPECT_EQ(m.held(), 0x20000u);
  EXPECT_EQ(m.events(button(Button::left, true)),
            (std::vector{
                HostEvent{.type = Type::leftMouseDown, .location = {100, 100}, .flags = 0x20000}}));
  // Moves and scrolls carry no flags even while modifiers are held.
  EXPECT_EQ(m.events(pointerMove(1, 0)),
            (std::vector{HostEvent{.type = Type::leftMouseDragged, .location = {101, 100}}}));
  EXPECT_EQ(m.events(scroll(0, 1)).at(0).flags, std::nullopt);

  // A text-only key replaces the held flags too, although it carries none itself.
  (void)m.events(key(KeyMap::textOnly, true, 0x100000 | 0x80000, "a"));
  EXPECT_EQ(m.held(), 0x180000u);
  (void)m.events(key(56, false, 0));
  EXPECT_EQ(m.held(), 0u);
  EXPECT_EQ(
      m.events(button(Button::left, false)),
      (std::vector{HostEvent{.type = Type::leftMouseUp, .location = {101, 100}, .flags = 0}}));
}

// Scroll, zoom and key events: one host event each, and the pointer stays where it is.
struct SingleCase {
  InputEvent in;
  HostEvent out;
};

void expectSingle(const SingleCase& c) {
  InputMapper m(screen, {100, 100});
  EXPECT_EQ(m.events(c.in), std::vector{c.out}) << testing::PrintToString(c.in);
  EXPECT_EQ(m.cursor(), (Point{100, 100}));
  EXPECT_TRUE(m.down().empty());
}

HostEvent wheels(std::int32_t vertical, std::int32_t horizontal) {
  return {.type = Type::scrollWheel, .wheelCount = 2, .wheel1 = vertical, .wheel2 = horizontal};
}

TEST(InputMapper, ScrollRoundsHalfAwayFromZeroWithinTheLimit) {
  const SingleCase cases[] = {
      {scroll(2.5, -2.5), wheels(-3, 3)},
      {scroll(-0.5, 0.5), wheels(1, -1)},
      {scroll(1.4999, 1.5), wheels(2, 1)},
      {scroll(0.4, -0.4), wheels(0, 0)},
      {scroll(-10000, 10000), wheels(10000, -10000)},
      {scroll(1e12, -1e12), wheels(-10000, 10000)},
      {scroll(nan, inf), wheels(0, 0)},
      {scroll(-inf, 7), wheels(7, 0)},
  };
  for (const SingleCase& c : cases) expectSingle(c);
}

HostEvent zoomed(std::int32_t n) {
  return {.type = Type::scrollWheel, .wheelCount = 1, .wheel1 = n, .flags = 0x100000};
}

TEST(InputMapper, ZoomIsACommandScroll) {
  const SingleCase cases[] = {
      {zoom(1.1), zoomed(20)},
      {zoom(0.9), zoomed(-20)},
      {zoom(1.0625), zoomed(13)},   // 12.5
      {zoom(0.9375), zoomed(-13)},  // -12.5
      {zoom(1.0), zoomed(0)},
      {zoom(0), zoomed(-200)},
      {zoom(100), zoomed(10000)},
      {zoom(-1e300), zoomed(-10000)},
      {zoom(inf), zoomed(0)},
      {zoom(nan), zoomed(0)},
  };
  for (const SingleCase& c : cases) expectSingle(c);
}

TEST(InputMapper, KeysAndTypedText) {
  const SingleCase cases[] = {
      {key(36, true, 0x100000, "ignored"),
       {.type = Type::keyDown, .keyCode = 36, .flags = 0x100000}},
      {key(0, false, 0), {.type = Type::keyUp, .keyCode = 0, .flags = 0}},
      {key(KeyMap::textOnly, true, 0, "\u00e9"),
       {.type = Type::keyDown, .keyCode = 0, .unicodeText = u"\u00e9"}},
      {key(KeyMap::textOnly, false, 0), {.type = Type::keyUp, .keyCode = 0}},
      // Outside the Basic Multilingual Plane: a surrogate pair.
      {key(KeyMap::textOnly, true, 0, "\U0001F600"),
       {.type = Type::keyDown, .unicodeText = std::u16string{0xD83D, 0xDE00}}},
      {key(KeyMap::textOnly, true, 0x20000, "\r\n"),
       {.type = Type::keyDown, .unicodeText = u"\r\n"}},
      {key(KeyMap::textOnly, true, 0, ""), {.type = Type::keyDown, .unicodeText = u""}},
      {key(KeyMap::textOnly, true, 0, "a\xff"), {.type = Type::keyDown, .unicodeText = u"a\ufffd"}},
  };
  for (const SingleCase& c : cases) expectSingle(c);
}

}  // namespace
}  // namespace lumenbrook
