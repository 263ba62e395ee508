// The token bucket that paces the host's admissions, on made-up instants.

#include "core/util/token_bucket.h"

#include <chrono>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;

TEST(TokenBucket, GivesTheBurstThenOneTokenPerIntervalAndSavesNoMoreThanTheBurst) {
  struct Step {
    std::chrono::milliseconds at;
    bool taken;
  };
  // Burst 2, one token per 100 ms.
  const Step steps[] = {
      {0ms, true},      {0ms, true},      {0ms, false},  // the burst, then nothing
      {99ms, false},    {100ms, true},    {100ms, false},  // one interval, one token
      {250ms, true},    {299ms, false},   // 50 ms of the next interval were already waited
      {300ms, true},    {10s, true},      {10s, true},  // a long idle refills the burst only
      {10s, false},
  };
  TokenBucket bucket(2, 100ms);
  const TokenBucket::Clock::time_point start{};
  for (const Step& step : steps) {
    EXPECT_EQ(bucket.take(start + step.at), step.taken) << step.at.count() << " ms";
  }
}

}  // namespace
}  // namespace lumenbrook
