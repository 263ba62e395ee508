#include "core/content/review_policy.h"

#include <limits>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

TEST(ReviewPolicy, AsksOncePerVersionAfterTwoGoodSessions) {
  ReviewPolicy p;
  struct Step {
    double seconds;
    const char* version;
    bool ask;
    std::int64_t good;
  } steps[] = {
      {119.9, "1.0", false, 0},  // too short: not counted
      {120, "1.0", false, 1},
      {std::numeric_limits<double>::quiet_NaN(), "1.0", false, 1},
      {std::numeric_limits<double>::infinity(), "1.0", false, 1},
      {600, "1.0", true, 2},
      {600, "1.0", false, 3},
      {600, "1.0", false, 4},
      {30, "1.1", false, 4},  // a new version still needs a good session
      {300, "1.1", true, 5},
      {300, "1.1", false, 6},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(p.sessionEnded(s.seconds, s.version), s.ask) << s.seconds << " " << s.version;
    EXPECT_EQ(p.goodSessions, s.good) << s.seconds << " " << s.version;
  }
  EXPECT_EQ(p.askedVersion, "1.1");
}

TEST(ReviewPolicy, CountStopsAtTheCap) {
  for (std::int64_t stored : {std::int64_t{999}, std::int64_t{1000}, std::numeric_limits<std::int64_t>::max()}) {
    ReviewPolicy p{stored, "1.0"};
    EXPECT_FALSE(p.sessionEnded(200, "1.0"));
    EXPECT_EQ(p.goodSessions, ReviewPolicy::maxGoodSessions) << stored;
  }
}

TEST(ReviewPolicy, JsonLeavesOutAnUnaskedVersion) {
  EXPECT_EQ(Json(ReviewPolicy{}), Json::parse(R"({"goodSessions":0})"));
  ReviewPolicy asked{3, "2.0"};
  EXPECT_EQ(Json(asked), Json::parse(R"({"goodSessions":3,"askedVersion":"2.0"})"));
  EXPECT_EQ(Json(asked).get<ReviewPolicy>(), asked);
  EXPECT_THROW(Json::parse(R"({"goodSessions":1.5})").get<ReviewPolicy>(), JsonError);
}

}  // namespace
}  // namespace lumenbrook
