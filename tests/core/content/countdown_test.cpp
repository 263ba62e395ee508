#include "core/content/countdown.h"

#include <limits>

#include <gtest/gtest.h>

#include "core/content/stopwatch.h"

namespace lumenbrook {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr Date t0{700000000};
constexpr Date at(double seconds) { return Date{t0.sinceReference + seconds}; }

TEST(Countdown, DurationFromMinutesIsClamped) {
  struct Case {
    double minutes;
    double seconds;
  } cases[] = {{0.5, 60}, {1000, 14400}, {25, 1500}, {-5, 60}, {kNaN, 1500}, {kInf, 1500}, {7.5, 450}};
  for (auto c : cases) {
    Countdown cd(c.minutes);
    EXPECT_EQ(cd.duration, c.seconds) << c.minutes;
    EXPECT_FALSE(cd.hasStarted());
    EXPECT_EQ(cd.banked, 0);
  }
  EXPECT_EQ(Countdown().duration, 1500);
}

TEST(Countdown, KeepsTimeAcrossPauses) {
  Countdown cd(10);
  cd.start(at(0));
  EXPECT_TRUE(cd.isRunning());
  EXPECT_DOUBLE_EQ(cd.remaining(at(60)), 540);
  cd.pause(at(100));
  EXPECT_FALSE(cd.isRunning());
  EXPECT_TRUE(cd.hasStarted());
  EXPECT_DOUBLE_EQ(cd.remaining(at(400)), 500);  // paused: the clock does not run
  cd.start(at(500));
  EXPECT_DOUBLE_EQ(cd.elapsed(at(600)), 200);
  EXPECT_DOUBLE_EQ(cd.remaining(at(600)), 400);
  EXPECT_DOUBLE_EQ(cd.progress(at(600)), 200.0 / 600);
  EXPECT_FALSE(cd.isDone(at(600)));
  EXPECT_FALSE(cd.isDone(at(999)));
  EXPECT_TRUE(cd.isDone(at(1000)));
  EXPECT_DOUBLE_EQ(cd.elapsed(at(5000)), 600);
  EXPECT_DOUBLE_EQ(cd.remaining(at(5000)), 0);
  // An instant before the run started counts nothing for the run.
  EXPECT_DOUBLE_EQ(cd.elapsed(at(10)), 100);
}

TEST(Countdown, StartDoesNotRestartARunningOrFinishedCountdown) {
  Countdown running(10);
  running.start(at(0));
  running.start(at(50));
  EXPECT_EQ(running.startedAt, at(0));

  Countdown finished(10);
  finished.banked = 600;
  finished.start(at(0));
  EXPECT_FALSE(finished.isRunning());
  EXPECT_TRUE(finished.isDone(at(0)));
}

TEST(Countdown, SetMinutesCutsWhatWasBanked) {
  Countdown cd(10);
  cd.banked = 300;
  cd.setMinutes(1);
  EXPECT_EQ(cd.duration, 60);
  EXPECT_EQ(cd.banked, 60);
  EXPECT_TRUE(cd.isDone(at(0)));

  Countdown running(10);
  running.start(at(0));
  running.setMinutes(20);
  EXPECT_TRUE(running.isRunning());
  EXPECT_DOUBLE_EQ(running.remaining(at(100)), 1100);
}

TEST(Countdown, ResetForgetsEverything) {
  Countdown cd(10);
  cd.start(at(0));
  cd.pause(at(30));
  cd.reset();
  EXPECT_EQ(cd, Countdown(10));
}

TEST(Countdown, ProgressOfANonPositiveDurationIsZero) {
  for (double d : {0.0, -10.0}) {
    Countdown cd;
    cd.duration = d;
    cd.banked = 5;
    EXPECT_EQ(cd.progress(at(0)), 0) << d;
  }
}

TEST(Countdown, SanitizedClampsEveryField) {
  auto make = [](double duration, double banked, std::optional<Date> started) {
    Countdown c;
    c.duration = duration;
    c.banked = banked;
    c.startedAt = started;
    return c;
  };
  struct Case {
    Countdown in;
    Countdown out;
  } cases[] = {
      {make(kNaN, 10, at(0)), make(1500, 10, at(0))},
      {make(10, 100, std::nullopt), make(60, 60, std::nullopt)},
      {make(99999, -1, std::nullopt), make(14400, 0, std::nullopt)},
      {make(600, kInf, Date{kNaN}), make(600, 0, std::nullopt)},
      {make(600, 200, Date{-kInf}), make(600, 200, std::nullopt)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.in.sanitized(), c.out) << c.in.duration;
}

TEST(Countdown, JsonLeavesOutAnAbsentStart) {
  Countdown cd(10);
  EXPECT_EQ(Json(cd), Json::parse(R"({"duration":600,"banked":0})"));
  cd.start(Date{12.5});
  EXPECT_EQ(Json(cd), Json::parse(R"({"duration":600,"banked":0,"startedAt":12.5})"));
  EXPECT_EQ(Json(cd).get<Countdown>(), cd);
  EXPECT_EQ(Json::parse(R"({"duration":600,"banked":3,"startedAt":null})").get<Countdown>().startedAt,
            std::nullopt);
  EXPECT_THROW(Json::parse(R"({"duration":600})").get<Countdown>(), JsonError);
  EXPECT_THROW(Json::parse(R"({"duration":"600","banked":0})").get<Countdown>(), JsonError);
}

TEST(Stopwatch, RunsAcrossPausesWithinOneDay) {
  Stopwatch sw;
  EXPECT_EQ(sw.elapsed(at(100)), 0);
  sw.start(at(0));
  sw.start(at(30));  // already running: keeps the first start
  EXPECT_DOUBLE_EQ(sw.elapsed(at(40)), 40);
  sw.pause(at(40));
  EXPECT_FALSE(sw.isRunning());
  sw.start(at(100));
  EXPECT_DOUBLE_EQ(sw.elapsed(at(110)), 50);
  EXPECT_DOUBLE_EQ(sw.elapsed(at(200000)), 86400);
  EXPECT_DOUBLE_EQ(sw.elapsed(at(50)), 40);
  sw.reset();
  EXPECT_EQ(sw, Stopwatch{});
}

TEST(Stopwatch, SanitizedKeepsEveryFieldWritable) {
  struct Case {
    Stopwatch in;
    Stopwatch out;
  } cases[] = {
      {{at(0), kNaN}, {at(0), 0}},
      {{std::nullopt, -5}, {std::nullopt, 0}},
      {{std::nullopt, 1e9}, {std::nullopt, 86400}},
      {{Date{kInf}, 10}, {std::nullopt, 10}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.in.sanitized(), c.out) << c.in.banked;
    EXPECT_NO_THROW(Json(c.in.sanitized()));
  }
  Stopwatch broken{std::nullopt, kNaN};
  EXPECT_EQ(broken.elapsed(at(0)), 0);
}

TEST(Stopwatch, JsonRoundTrips) {
  Stopwatch sw{Date{-3.25}, 12};
  EXPECT_EQ(Json(sw), Json::parse(R"({"startedAt":-3.25,"banked":12})"));
  EXPECT_EQ(Json(sw).get<Stopwatch>(), sw);
  EXPECT_EQ(Json(Stopwatch{}), Json::parse(R"({"banked":0})"));
}

}  // namespace
}  // namespace lumenbrook
