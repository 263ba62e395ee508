#include "core/content/review_content.h"

#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

Uuid idOf(std::uint8_t n) {
  std::array<std::uint8_t, 16> b{};
  b[15] = n;
  return Uuid::fromRandom(b);
}

std::vector<double> times(const ReviewContent& r) {
  std::vector<double> out;
  for (const auto& n : r.notes) out.push_back(n.seconds);
  return out;
}

TEST(ReviewContent, AddKeepsNotesOrderedByTime) {
  ReviewContent r{"clip.mov", {}};
  r.add("third", 30, idOf(1));
  r.add("first", 10, idOf(2));
  r.add("  second \n", 20, idOf(3));
  r.add("also second", 20, idOf(4));
  EXPECT_EQ(times(r), (std::vector<double>{10, 20, 20, 30}));
  EXPECT_EQ(r.notes[1], (ReviewNote{idOf(3), 20, "second"}));
  EXPECT_EQ(r.notes[2].text, "also second");  // equal times keep the order they came in
  EXPECT_EQ(r.notes[0].id, idOf(2));
}

TEST(ReviewContent, AddRefusesBlankTextAndTheNoteAfterTheLimit) {
  ReviewContent r;
  for (const char* blank : {"", "   ", "\n\t \r\n", "\xE2\x80\xA8\xC2\xA0"}) r.add(blank, 5, idOf(0));
  EXPECT_TRUE(r.notes.empty());

  for (std::size_t i = 0; i < ReviewContent::maxNotes; ++i) r.add("n", static_cast<double>(i), idOf(1));
  ASSERT_EQ(r.notes.size(), ReviewContent::maxNotes);
  r.add("one too many", 0, idOf(2));
  EXPECT_EQ(r.notes.size(), ReviewContent::maxNotes);
  EXPECT_EQ(r.notes.front().text, "n");
}

TEST(ReviewContent, AddCleansTheNewNote) {
  ReviewContent r;
  r.add(std::string(300, 'x'), std::numeric_limits<double>::quiet_NaN(), idOf(1));
  r.add("late", 1e9, idOf(2));
  r.add("early", -4, idOf(3));
  EXPECT_EQ(times(r), (std::vector<double>{0, 0, 359999}));
  EXPECT_EQ(r.notes[0].text, std::string(280, 'x'));
  EXPECT_EQ(r.notes[1].text, "early");
}

TEST(ReviewContent, SanitizedKeepsTheFirstNotesThenSorts) {
  ReviewContent r{std::string(90, 'c'), {}};
  // 250 stored notes counting down: the first 200 are kept, whatever their times.
  for (int i = 0; i < 250; ++i) r.notes.push_back({idOf(1), 250.0 - i, "t\x01"});
  auto s = r.sanitized();
  EXPECT_EQ(s.clipName, std::string(80, 'c'));
  ASSERT_EQ(s.notes.size(), 200u);
  EXPECT_EQ(s.notes.front().seconds, 51);
  EXPECT_EQ(s.notes.back().seconds, 250);
  EXPECT_EQ(s.notes.front().text, "t");
}

TEST(ReviewContent, JsonRoundTrips) {
  ReviewContent r{"clip", {{idOf(7), 1.5, "hi"}}};
  Json j = r;
  EXPECT_EQ(j["notes"][0]["id"], idOf(7).text());
  EXPECT_EQ(j["notes"][0]["seconds"], 1.5);
  EXPECT_EQ(j.get<ReviewContent>(), r);
  j["notes"][0].erase("text");
  EXPECT_THROW(j.get<ReviewContent>(), JsonError);
}

}  // namespace
}  // namespace lumenbrook
