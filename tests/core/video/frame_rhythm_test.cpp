// The rhythm of timed frame sources: exact tick times, and late ticks not made up for.

#include "core/video/frame_rhythm.h"

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;
using TimePoint = FrameRhythm::TimePoint;

const TimePoint t0 = TimePoint{} + 100s;

TEST(FrameRhythm, TicksFallExactlyOnTheRateWithoutDrift) {
  FrameRhythm r;
  r.restart(t0, 3);  // a period of 333.33... ms that no nanosecond count states exactly
  EXPECT_EQ(r.due(), t0);
  for (int k = 0; k < 3000; ++k) r.advance(r.due());
  EXPECT_EQ(r.due(), t0 + 1000s);

  r.restart(t0, 60);
  r.advance(t0);
  EXPECT_EQ(r.due(), t0 + 16'666'666ns);
}

TEST(FrameRhythm, ALateTickStartsTheRhythmAgainInsteadOfABurst) {
  FrameRhythm r;
  r.restart(t0, 10);
  r.advance(t0 + 50ms);  // late, but before the next tick: the rhythm holds
  EXPECT_EQ(r.due(), t0 + 100ms);
  r.advance(t0 + 350ms);  // ticks 2 and 3 were missed
  EXPECT_EQ(r.due(), t0 + 450ms);
  r.advance(r.due());
  EXPECT_EQ(r.due(), t0 + 550ms);
}

TEST(FrameRhythm, ARateBelowOneIsOneTickASecond) {
  FrameRhythm r;
  r.restart(t0, 0);
  r.advance(t0);
  EXPECT_EQ(r.due(), t0 + 1s);
}

}  // namespace
}  // namespace lumenbrook
