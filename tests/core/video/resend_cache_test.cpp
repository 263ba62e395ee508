#include "core/video/resend_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace lumenbrook {
namespace {

// Fragment i of frame id is the three bytes {id, i, 0xF0}, easy to recognise.
std::vector<Bytes> fragments(std::uint32_t id, std::size_t n) {
  std::vector<Bytes> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back({static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(i), 0xF0});
  return out;
}

// `n` consecutive indexes from `first`.
std::vector<std::uint16_t> indexes(std::size_t n, std::uint16_t first = 0) {
  std::vector<std::uint16_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint16_t>(first + i);
  return out;
}

// Large enough that every budget test below asks for distinct fragments it holds.
constexpr std::size_t kLargeFrame = 4000;

TEST(ResendCache, KeepsTheMostRecentFramesInStoreOrder) {
  ResendCache cache(120);
  for (std::uint32_t id = 0; id <= 120; ++id) cache.store(id, fragments(id, 2));
  EXPECT_FALSE(cache.contains(0));
  for (std::uint32_t id = 1; id <= 120; ++id) ASSERT_TRUE(cache.contains(id)) << id;
  EXPECT_EQ(cache.order().size(), 120u);
  cache.store(121, fragments(121, 2));
  EXPECT_FALSE(cache.contains(1));
  EXPECT_TRUE(cache.contains(121));
  EXPECT_EQ(cache.order().front(), 2u);
  EXPECT_EQ(cache.order().back(), 121u);
  const std::uint16_t one[] = {1};
  EXPECT_TRUE(cache.datagrams(0, one).empty());
  EXPECT_EQ(cache.datagrams(121, one), (std::vector<Bytes>{{121, 1, 0xF0}}));
}

TEST(ResendCache, StoringAnIdAgainReplacesItAndMakesItNewest) {
  ResendCache cache(3);
  for (std::uint32_t id : {1, 2, 3}) cache.store(id, fragments(id, 1));
  cache.store(2, fragments(200, 4));
  EXPECT_EQ(cache.order(), (std::deque<std::uint32_t>{1, 3, 2}));
  cache.store(4, fragments(4, 1));
  cache.store(5, fragments(5, 1));
  // 1 and 3 went; the fresh copy of 2 is still there, whole.
  EXPECT_EQ(cache.order(), (std::deque<std::uint32_t>{2, 4, 5}));
  const std::uint16_t all[] = {0, 1, 2, 3};
  EXPECT_EQ(cache.datagrams(2, all), fragments(200, 4));
}

TEST(ResendCache, ZeroCapacityKeepsNothing) {
  ResendCache cache(0);
  cache.store(7, fragments(7, 1));
  EXPECT_FALSE(cache.contains(7));
  EXPECT_TRUE(cache.order().empty());
}

TEST(ResendCache, DatagramsFollowTheRequestedIndexes) {
  ResendCache cache(4);
  cache.store(9, fragments(9, 3));
  struct Case {
    std::uint32_t frame;
    std::vector<std::uint16_t> missing;
    std::vector<std::uint16_t> expected;
  } cases[] = {
      {9, {5, 0, 5}, {0}},       {9, {2, 0, 2}, {2, 0}}, {9, {1, 1, 1, 0}, {1, 0}}, {9, {1}, {1}},
      {9, {}, {}},               {9, {3, 65535}, {}},    {10, {0, 1}, {}},
  };
  for (const auto& c : cases) {
    std::vector<Bytes> expected;
    for (auto i : c.expected) expected.push_back(fragments(9, 3)[i]);
    EXPECT_EQ(cache.datagrams(c.frame, c.missing), expected) << c.frame << " " << testing::PrintToString(c.missing);
  }
}

// A cache at the given balance and refill time: a first request at `at` that spends all but
// `left` of the full bucket.
ResendCache spentAt(double at, std::size_t left = 0) {
  ResendCache cache(8);
  cache.store(1, fragments(1, kLargeFrame));
  auto all = indexes(2000 - left);
  EXPECT_EQ(cache.budgetedDatagrams(1, all, at).size(), 2000 - left);
  return cache;
}

TEST(ResendCache, FirstRequestStartsWithAFullBucket) {
  ResendCache cache(8);
  cache.store(1, fragments(1, 10));
  const std::uint16_t ten[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(cache.budgetedDatagrams(1, ten, 3.5), fragments(1, 10));
  EXPECT_EQ(cache.tokens(), 1990.0);
  EXPECT_EQ(cache.lastRefill(), 3.5);
  EXPECT_EQ(cache.refused(), 0u);
}

TEST(ResendCache, BudgetRefillsAtTheRateAndCutsTheRest) {
  ResendCache cache = spentAt(100.0);
  EXPECT_EQ(cache.tokens(), 0.0);
  auto got = cache.budgetedDatagrams(1, indexes(600, 2), 100.25);
  const auto all = fragments(1, kLargeFrame);
  EXPECT_EQ(got, std::vector<Bytes>(all.begin() + 2, all.begin() + 502));
  EXPECT_EQ(cache.refused(), 100u);
  EXPECT_EQ(cache.tokens(), 0.0);
  EXPECT_EQ(cache.lastRefill(), 100.25);
}

TEST(ResendCache, FractionsCarryOverAndTheBucketNeverOverflows) {
  // Steps of 1/1024 s refill exactly 1.953125 fragments.
  ResendCache cache = spentAt(0.0);
  EXPECT_EQ(cache.budgetedDatagrams(1, indexes(10), 1.0 / 1024).size(), 1u);
  EXPECT_EQ(cache.tokens(), 0.953125);
  EXPECT_EQ(cache.budgetedDatagrams(1, indexes(10), 2.0 / 1024).size(), 2u);
  EXPECT_EQ(cache.tokens(), 0.90625);
  EXPECT_EQ(cache.refused(), 9u + 8u);

  EXPECT_EQ(cache.budgetedDatagrams(1, indexes(5000), 1e6).size(), 2000u);
  EXPECT_EQ(cache.budgetedDatagrams(1, indexes(1), 1e9).size(), 1u);
  EXPECT_EQ(cache.tokens(), 1999.0);
}

TEST(ResendCache, UnknownFramesCostNothingButStillRefill) {
  ResendCache cache = spentAt(10.0);
  auto got = cache.budgetedDatagrams(77, indexes(50), 10.5);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(cache.refused(), 0u);
  EXPECT_EQ(cache.tokens(), 1000.0);
  EXPECT_EQ(cache.lastRefill(), 10.5);
  EXPECT_EQ(cache.budgetedDatagrams(1, {}, 10.5).size(), 0u);
  EXPECT_EQ(cache.tokens(), 1000.0);
}

TEST(ResendCache, ClockSteppingBackNeverGivesANegativeCount) {
  ResendCache cache = spentAt(100.0, 10);
  // 50 s back: no refill and no debt; what was left is still there.
  EXPECT_EQ(cache.budgetedDatagrams(1, indexes(30), 50.0).size(), 10u);
  EXPECT_EQ(cache.tokens(), 0.0);
  EXPECT_EQ(cache.refused(), 20u);
  EXPECT_EQ(cache.budgetedDatagrams(1, indexes(30), 40.0).size(), 0u);
  EXPECT_EQ(cache.tokens(), 0.0);
  EXPECT_EQ(cache.refused(), 50u);
  // Time runs on from the stepped-back clock.
  EXPECT_EQ(cache.lastRefill(), 40.0);
  EXPECT_EQ(cache.budgetedDatagrams(1, indexes(3000), 40.5).size(), 1000u);

  // A time that is not a number neither refills nor breaks the bucket.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(cache.budgetedDatagrams(1, indexes(5), nan).size(), 0u);
  EXPECT_EQ(cache.lastRefill(), 40.5);
  EXPECT_EQ(cache.budgetedDatagrams(1, indexes(5), 40.5 + 1.0 / 512).size(), 3u);  // 3.90625
}

// A request of 24,000 indexes, each fragment of the frame many times over and the rest beyond
// it, costs at most the frame's fragment count, once each, and never more than the budget.
TEST(ResendCache, ARequestCostsAtMostTheFramesFragmentsWithinTheBudget) {
  struct Case {
    std::size_t frameFragments;
    std::size_t expected;  // fragments resent
  } cases[] = {{300, 300}, {3000, 2000}, {1, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frameFragments);
    ResendCache cache(8);
    cache.store(1, fragments(1, c.frameFragments));
    // Every third index is beyond the frame; the rest cycle through it backwards.
    std::vector<std::uint16_t> missing;
    for (std::size_t i = 0, j = 0; i < 24'000; ++i) {
      missing.push_back(i % 3 == 0 ? static_cast<std::uint16_t>(c.frameFragments + i % 60'000)
                                   : static_cast<std::uint16_t>(c.frameFragments - 1 - j++ % c.frameFragments));
    }
    const auto got = cache.budgetedDatagrams(1, missing, 0.0);
    ASSERT_EQ(got.size(), c.expected);
    // In the order first asked: backwards from the frame's last fragment.
    const auto all = fragments(1, c.frameFragments);
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], all[c.frameFragments - 1 - i]) << i;
    EXPECT_EQ(cache.tokens(), 2000.0 - static_cast<double>(c.expected));
    EXPECT_EQ(cache.refused(), std::min<std::size_t>(c.frameFragments, 24'000) - c.expected);
  }
}

}  // namespace
}  // namespace lumenbrook
