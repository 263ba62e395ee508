#include "core/input/trackpad_interpreter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "tests/core/input/input_test_support.h"

namespace lumenbrook {
namespace {

using Button = InputEvent::Button;
using Direction = TrackpadInterpreter::Direction;
using Settings = TrackpadInterpreter::Settings;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(TrackpadInterpreter, DefaultSettings) {
  RecordingSink sink;
  TrackpadInterpreter t(sink);
  EXPECT_EQ(
      t.settings(),
      (Settings{.speed = 1.6, .acceleration = 1.2, .naturalScrolling = true, .pointerStep = 40.0}));
  EXPECT_FALSE(t.dragging());
}

TEST(TrackpadInterpreter, GainRampsWithFingerSpeed) {
  struct Case {
    double distance, dt, gain;
  };
  const Case cases[] = {
      {0, 0, 1.6},
      {10, -1, 1.6},
      {150, 1, 1.6},
      {300, 1, 1.92},
      {5, 0.01, 1.6 * (1 + 1.2 * 350.0 / 900.0)},
      {1050, 1, 1.6 * (1 + 1.2 * 1.0)},
      {1500, 1, 4.48},
      {5000, 1, 4.48},
      {inf, 1, 4.48},
      {nan, 1, 1.6},
      {10, nan, 1.6},
  };
  RecordingSink sink;
  TrackpadInterpreter t(sink);
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(t.gain(c.distance, c.dt), c.gain) << c.distance << " / " << c.dt;

  t.setSettings({.speed = 2, .acceleration = 0.5});
  EXPECT_DOUBLE_EQ(t.gain(1500, 1), 2 * (1 + 0.5 * 1.5));
  EXPECT_DOUBLE_EQ(t.gain(0, 1), 2);
}

TEST(TrackpadInterpreter, MoveAppliesTheGainToBothAxes) {
  RecordingSink sink;
  TrackpadInterpreter t(sink);
  t.move(3, 4, 0.01);
  const double g = 1.6 * (1 + 1.2 * 350.0 / 900.0);
  auto events = sink.events();
  ASSERT_EQ(events.size(), 1u);
  const auto* move = std::get_if<InputEvent::PointerMove>(&events[0].value);
  ASSERT_NE(move, nullptr);
  EXPECT_DOUBLE_EQ(move->dx, 3 * g);
  EXPECT_DOUBLE_EQ(move->dy, 4 * g);

  sink.clear();
  t.move(1, 0, 0);
  t.move(0, 0, 1);
  t.move(nan, 1, 1);
  t.move(1, inf, 1);
  t.move(0, -2, 1);
  EXPECT_EQ(sink.events(), (std::vector{pointerMove(1.6, 0), pointerMove(0, -3.2)}));
}

TEST(TrackpadInterpreter, GestureSequences) {
  struct Case {
    const char* name;
    std::function<void(TrackpadInterpreter&)> gestures;
    std::vector<InputEvent> want;
  };
  const Case cases[] = {
      {"two-finger tap",
       [](auto& t) { t.tap(2); },
       {button(Button::right, true), button(Button::right, false)}},
      {"one-finger tap",
       [](auto& t) { t.tap(1); },
       {button(Button::left, true), button(Button::left, false)}},
      {"zero-finger tap",
       [](auto& t) { t.tap(0); },
       {button(Button::left, true), button(Button::left, false)}},
      {"drag begun twice",
       [](auto& t) {
         t.beginDrag();
         t.beginDrag();
       },
       {button(Button::left, true)}},
      {"drag end without drag", [](auto& t) { t.endDrag(); }, {}},
      {"drag with a tap inside",
       [](auto& t) {
         t.beginDrag();
         t.tap(1);
         t.endDrag();
         t.endDrag();
       },
       {button(Button::left, true), button(Button::left, true), button(Button::left, false),
        button(Button::left, false)}},
      {"natural scroll",
       [](auto& t) {
         t.scroll(2, -5);
         t.scroll(0, 0);
       },
       {scroll(2, -5), scroll(0, 0)}},
      {"non-finite scroll",
       [](auto& t) {
         t.scroll(nan, 1);
         t.scroll(1, -inf);
       },
       {}},
      {"pinches",
       [](auto& t) {
         for (double s : {1.0, 0.0, -2.0, inf, nan, 1.05, 0.5}) t.pinch(s);
       },
       {zoom(1.05), zoom(0.5)}},
      {"steps",
       [](auto& t) {
         t.step(Direction::up);
         t.step(Direction::down);
         t.step(Direction::left);
         t.step(Direction::right);
       },
       {pointerMove(0, -40), pointerMove(0, 40), pointerMove(-40, 0), pointerMove(40, 0)}},
      {"scroll steps",
       [](auto& t) {
         t.scrollStep(true);
         t.scrollStep(false);
       },
       {scroll(0, 120), scroll(0, -120)}},
  };
  for (const Case& c : cases) {
    RecordingSink sink;
    TrackpadInterpreter t(sink);
    c.gestures(t);
    EXPECT_EQ(sink.events(), c.want) << c.name;
  }
}

TEST(TrackpadInterpreter, DraggingFollowsBeginAndEnd) {
  RecordingSink sink;
  TrackpadInterpreter t(sink);
  t.beginDrag();
  EXPECT_TRUE(t.dragging());
  t.tap(2);
  EXPECT_TRUE(t.dragging());
  t.endDrag();
  EXPECT_FALSE(t.dragging());
}

TEST(TrackpadInterpreter, ScrollingWithoutNaturalScrollingInvertsBothAxes) {
  RecordingSink sink;
  TrackpadInterpreter t(sink, {.naturalScrolling = false, .pointerStep = 25});
  t.scroll(2, -5);
  t.scrollStep(true);
  t.scrollStep(false);
  t.step(Direction::left);
  EXPECT_EQ(sink.events(),
            (std::vector{scroll(-2, 5), scroll(0, -120), scroll(0, 120), pointerMove(-25, 0)}));

  // The horizontal part of a scroll step is a zero with the direction's sign.
  auto events = sink.events();
  for (std::size_t i : {1, 2}) {
    const auto* s = std::get_if<InputEvent::Scroll>(&events[i].value);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(std::signbit(s->dx)) << i;
  }
  sink.clear();
  t.setSettings({});
  t.scrollStep(false);
  events = sink.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(std::signbit(std::get<InputEvent::Scroll>(events[0].value).dx));
}

TEST(RecordingSink, KeepsOrderAcrossThreadsAndClears) {
  RecordingSink sink;
  constexpr int perThread = 20000;
  std::atomic<int> ready = 0;
  auto sender = [&](double lane) {
    ready.fetch_add(1);
    while (ready.load() < 2) {
    }
    for (int i = 0; i < perThread; ++i) sink.send(pointerMove(lane, i));
  };
  std::thread a(sender, 1.0), b(sender, 2.0);
  // Read while both write.
  while (ready.load() < 2) {
  }
  std::size_t seen = 0;
  for (int i = 0; i < 50; ++i) {
    std::size_t now = sink.events().size();
    EXPECT_GE(now, seen);
    seen = now;
  }
  a.join();
  b.join();

  auto events = sink.events();
  ASSERT_EQ(events.size(), 2u * perThread);
  double next[3] = {0, 0, 0};
  for (const InputEvent& e : events) {
    const auto& m = std::get<InputEvent::PointerMove>(e.value);
    ASSERT_TRUE(m.dx == 1.0 || m.dx == 2.0);
    EXPECT_EQ(m.dy, next[static_cast<int>(m.dx)]++);
  }
  sink.clear();
  EXPECT_TRUE(sink.events().empty());
}

}  // namespace
}  // namespace lumenbrook
