#include "core/content/deck_position.h"

#include <limits>

#include <gtest/gtest.h>

#include "core/content/timecode.h"

namespace lumenbrook {
namespace {

TEST(DeckPosition, NormalisesCountAndIndex) {
  constexpr auto big = std::numeric_limits<std::int64_t>::max();
  constexpr auto small = std::numeric_limits<std::int64_t>::min();
  struct Case {
    std::int64_t count, index, wantCount, wantIndex;
  } cases[] = {
      {0, 3, 0, 0},      {900, 900, 500, 499}, {5, -2, 5, 0},     {-3, 1, 0, 0},
      {5, 4, 5, 4},      {5, 5, 5, 4},         {big, big, 500, 499}, {small, small, 0, 0},
  };
  for (auto c : cases) {
    DeckPosition d(c.count, c.index);
    EXPECT_EQ(d.count, c.wantCount) << c.count << "/" << c.index;
    EXPECT_EQ(d.index, c.wantIndex) << c.count << "/" << c.index;
  }
}

TEST(DeckPosition, MovesWithinTheDeck) {
  EXPECT_EQ(DeckPosition(3, 0).previous(), DeckPosition(3, 0));
  EXPECT_EQ(DeckPosition(3, 0).next(), DeckPosition(3, 1));
  EXPECT_EQ(DeckPosition(3, 2).next(), DeckPosition(3, 2));
  EXPECT_EQ(DeckPosition(3, 2).previous(), DeckPosition(3, 1));
  EXPECT_EQ(DeckPosition().next(), DeckPosition(0, 0));

  DeckPosition raw;
  raw.count = 900;
  raw.index = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(raw.sanitized(), DeckPosition(500, 499));
  EXPECT_EQ(raw.next(), DeckPosition(500, 499));
  raw.index = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(raw.previous(), DeckPosition(500, 0));
}

TEST(DeckPosition, JsonKeepsWhatWasStored) {
  EXPECT_EQ(Json(DeckPosition(10, 4)), Json::parse(R"({"count":10,"index":4})"));
  auto d = Json::parse(R"({"count":900,"index":-1})").get<DeckPosition>();
  EXPECT_EQ(d.count, 900);
  EXPECT_EQ(d.sanitized(), DeckPosition(500, 0));
  EXPECT_THROW(Json::parse(R"({"count":1.5,"index":0})").get<DeckPosition>(), JsonError);
}

TEST(Timecode, WritesMinutesOrHours) {
  struct Case {
    double seconds;
    const char* text;
  } cases[] = {
      {0, "0:00"},        {59.9, "0:59"},     {61, "1:01"},
      {3599, "59:59"},    {3600, "1:00:00"},  {36061.5, "10:01:01"},
      {359999, "99:59:59"}, {1e9, "99:59:59"},
      {std::numeric_limits<double>::infinity(), "99:59:59"},
      {std::numeric_limits<double>::quiet_NaN(), "0:00"},
      {-5, "0:00"},       {-1e300, "0:00"},
  };
  for (auto c : cases) EXPECT_EQ(Timecode::string(c.seconds), c.text) << c.seconds;
}

}  // namespace
}  // namespace lumenbrook
