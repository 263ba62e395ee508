#include "net/event_loop.h"

#include <pthread.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/net/net_test_support.h"

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::Recorder;

std::string currentThreadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

TEST(EventLoopTest, PostedWorkRunsInOrderOnTheNamedLoopThread) {
  EventLoop loop("host-server");
  Recorder<int> order;
  for (int i = 0; i < 50; ++i) loop.post([&order, i] { order.add(i); });
  auto onLoop = loop.postAndWait([&] { return std::pair(loop.isOnLoop(), currentThreadName()); });

  std::vector<int> expected(50);
  for (int i = 0; i < 50; ++i) expected[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(order.items(), expected);  // postAndWait ran after all of them
  EXPECT_TRUE(onLoop.first);
  EXPECT_EQ(onLoop.second, "host-server");
  EXPECT_FALSE(loop.isOnLoop());
}

TEST(EventLoopTest, LongThreadNamesAreCutToWhatTheSystemShows) {
  EventLoop loop("a-very-long-thread-name");
  EXPECT_EQ(loop.postAndWait([] { return currentThreadName(); }), "a-very-long-thr");
}

TEST(EventLoopTest, PostAndWaitReturnsTheValueAndRethrowsTheException) {
  EventLoop loop("t");
  EXPECT_EQ(loop.postAndWait([] { return std::string("answer"); }), "answer");
  EXPECT_THROW(loop.postAndWait([]() -> int { throw std::runtime_error("boom"); }),
               std::runtime_error);
  // The loop survives a call that threw.
  EXPECT_EQ(loop.postAndWait([] { return 7; }), 7);
}

TEST(EventLoopTest, PostAndWaitOnTheLoopThreadIsRefusedInsteadOfDeadlocking) {
  EventLoop loop("t");
  Recorder<std::string> outcome;
  loop.post([&] {
    try {
      loop.postAndWait([] {});
      outcome.add("ran");
    } catch (const std::logic_error& e) {
      outcome.add(std::string("refused: ") + e.what());
    }
  });
  auto got = outcome.waitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_THAT(got[0], ::testing::StartsWith("refused: "));
}

TEST(EventLoopTest, AfterStopPostIsIgnoredAndPostAndWaitThrows) {
  EventLoop loop("t");
  std::atomic<bool> ran{false};
  loop.stop();
  loop.stop();  // idempotent
  loop.post([&] { ran = true; });
  EXPECT_THROW(loop.postAndWait([&] { ran = true; }), std::logic_error);
  EXPECT_FALSE(ran);
}

TEST(EventLoopTest, TimersFireOnTheLoopInDeadlineOrder) {
  EventLoop loop("t");
  Recorder<std::pair<int, bool>> fired;
  loop.postAndWait([&] {
    // Scheduled together on the loop so that only the delays decide the order.
    loop.schedule(40ms, [&] { fired.add({40, loop.isOnLoop()}); });
    loop.schedule(0ms, [&] { fired.add({0, loop.isOnLoop()}); });
    loop.schedule(20ms, [&] { fired.add({20, loop.isOnLoop()}); });
  });
  EXPECT_THAT(fired.waitFor(3), ElementsAre(std::pair(0, true), std::pair(20, true),
                                            std::pair(40, true)));
}

TEST(EventLoopTest, CancelledTimersNeverRunWhicheverThreadCancels) {
  EventLoop loop("t");
  Recorder<std::string> fired;
  TimerHandle fromTest = loop.schedule(10ms, [&] { fired.add("from test"); });
  EXPECT_TRUE(fromTest.pending());
  fromTest.cancel();
  EXPECT_FALSE(fromTest.pending());
  loop.postAndWait([&] {
    TimerHandle fromLoop = loop.schedule(10ms, [&] { fired.add("from loop"); });
    fromLoop.cancel();
    fromLoop.cancel();  // repeated cancel is harmless
  });
  TimerHandle kept = loop.schedule(30ms, [&] { fired.add("kept"); });
  // The kept timer is due after both cancelled ones; once it ran they would have too.
  EXPECT_THAT(fired.waitFor(1), ElementsAre("kept"));
  EXPECT_FALSE(kept.pending());
  kept.cancel();  // after it ran: nothing to do
  TimerHandle empty;
  empty.cancel();
  EXPECT_FALSE(empty.pending());
}

TEST(EventLoopTest, StopAbandonsTimersThatHaveNotFired) {
  std::atomic<bool> ran{false};
  TimerHandle handle;
  {
    EventLoop loop("t");
    handle = loop.schedule(1h, [&] { ran = true; });
    EXPECT_TRUE(loop.postAndWait([&] { return handle.pending(); }));
  }
  // The loop is gone and its pending work with it; the handle outlives both harmlessly.
  EXPECT_FALSE(handle.pending());
  handle.cancel();
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace lumenbrook
