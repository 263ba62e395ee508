#include "core/content/user_content.h"

#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const Uuid kId = *Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");

UserContent filled() {
  UserContent c;
  c.showcase = {"Ada's", "Fresh bread", {{"Menu", "shop/menu"}}, 0};
  c.prompter = {"Hello\nWorld", 1, 150, false};
  c.focus.label = "Deep work";
  c.focus.timer = Countdown(50);
  c.focus.timer.start(Date{100});
  c.meeting = {{"Intro", "Budget"}, 1, {Date{200}, 30}, 45};
  c.goals = {MoneyGoal(kId, "Oven", 1200, 5000, MoneyGoal::Unit::dollars, Date{86400})};
  c.review = {"cut3.mov", {{kId, 12.5, "Colour"}}};
  c.deckTitle = "Q3";
  return c;
}

Bytes bytesOf(const Json& j) { return toBytes(j.dump()); }

TEST(UserContent, StartsEmptyWithTheUsualDefaults) {
  UserContent c;
  EXPECT_TRUE(c.showcase.isEmpty());
  EXPECT_EQ(c.showcase.qrIndex, std::nullopt);
  EXPECT_EQ(c.prompter, (Prompter{"", 0, 140, false}));
  EXPECT_EQ(c.focus.timer.duration, 1500);
  EXPECT_FALSE(c.focus.timer.hasStarted());
  EXPECT_FALSE(c.focus.showWeather);
  EXPECT_EQ(c.meeting.plannedMinutes, 30);
  EXPECT_EQ(c.meeting.timer, Stopwatch{});
  EXPECT_EQ(c.meeting.current, std::nullopt);
  EXPECT_TRUE(c.goals.empty());
  EXPECT_TRUE(c.review.notes.empty());
  EXPECT_EQ(c.sanitized(), c);
}

TEST(UserContent, EncodedRecordReadsBack) {
  auto bytes = filled().encoded();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(UserContent::decoded(ByteView(*bytes)), filled());

  auto j = parseJson(asChars(*bytes));
  ASSERT_TRUE(j);
  EXPECT_EQ((*j)["goals"][0]["id"], "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ((*j)["goals"][0]["due"], 86400);
  EXPECT_EQ((*j)["goals"][0]["unit"], "dollars");
  EXPECT_EQ((*j)["focus"]["timer"]["startedAt"], 100);
  EXPECT_EQ((*j)["meeting"]["current"], 1);
  EXPECT_EQ((*j)["deckTitle"], "Q3");
  EXPECT_FALSE(Json(UserContent{}).at("showcase").contains("qrIndex"));
}

TEST(UserContent, EncodedWritesTheSanitizedRecord) {
  auto c = filled();
  c.deckTitle = std::string(100, 'd');
  c.prompter.wordsPerMinute = kNaN;
  c.focus.timer.startedAt = Date{kInf};
  c.meeting.timer.startedAt = Date{kNaN};
  c.goals[0].due = Date{-kInf};
  c.review.notes[0].seconds = kInf;
  auto bytes = c.encoded();
  ASSERT_TRUE(bytes);
  auto back = UserContent::decoded(ByteView(*bytes));
  EXPECT_EQ(back, c.sanitized());
  EXPECT_EQ(back.deckTitle, std::string(80, 'd'));
  EXPECT_EQ(back.prompter.wordsPerMinute, 140);
  EXPECT_EQ(back.focus.timer.startedAt, std::nullopt);
  EXPECT_EQ(back.meeting.timer.startedAt, std::nullopt);
  EXPECT_EQ(back.goals[0].due, std::nullopt);
  EXPECT_EQ(back.review.notes[0].seconds, 0);
}

TEST(UserContent, DecodedGivesAFreshRecordForAnythingDamaged) {
  Json missingKey = filled();
  missingKey.erase("review");
  Json wrongType = filled();
  wrongType["goals"] = "none";
  Json unknownUnit = filled();
  unknownUnit["goals"][0]["unit"] = "euros";
  Json fractionalIndex = filled();
  fractionalIndex["meeting"]["current"] = 0.5;
  const Bytes invalidUtf8 = {'{', '"', 0xFF, '"', ':', '1', '}'};
  const Bytes cases[] = {
      toBytes(""),          toBytes("not json"), toBytes("[]"),       toBytes("null"),
      toBytes("{\"showcase\":"), bytesOf(missingKey), bytesOf(wrongType), bytesOf(unknownUnit),
      bytesOf(fractionalIndex), invalidUtf8,
  };
  for (const auto& b : cases) EXPECT_EQ(UserContent::decoded(ByteView(b)), UserContent{}) << asChars(b);
  EXPECT_EQ(UserContent::decoded(std::nullopt), UserContent{});
}

TEST(UserContent, DecodedRefusesRecordsOverTheStoredLimit) {
  std::string text = Json(filled()).dump();
  // Trailing white space keeps the JSON valid, so only the size decides.
  std::string atLimit = text + std::string(UserContent::maxStored - text.size(), ' ');
  EXPECT_EQ(UserContent::decoded(asBytes(atLimit)), filled());
  std::string overLimit = atLimit + " ";
  EXPECT_EQ(UserContent::decoded(asBytes(overLimit)), UserContent{});
  std::string huge = text + std::string(3000000 - text.size(), ' ');
  EXPECT_EQ(UserContent::decoded(asBytes(huge)), UserContent{});
}

TEST(UserContent, DecodedSanitizesAHostileRecord) {
  Json j = filled();
  for (int i = 0; i < 8; ++i) j["goals"].push_back(j["goals"][0]);
  j["goals"][0]["current"] = 1e300;
  j["goals"][0]["target"] = -1;
  j["showcase"]["qrIndex"] = 3;
  j["showcase"]["name"] = "A\u202Eevil\x07";
  j["meeting"]["plannedMinutes"] = 100000;
  j["meeting"]["current"] = -1;
  j["meeting"]["timer"]["banked"] = -50;
  j["focus"]["timer"]["duration"] = 1;
  j["focus"]["timer"]["banked"] = 999;
  j["prompter"]["position"] = 1e9;
  j["review"]["notes"].push_back({{"id", kId.text()}, {"seconds", 1}, {"text", "early"}});
  auto c = UserContent::decoded(bytesOf(j));
  ASSERT_EQ(c.goals.size(), UserContent::maxGoals);
  EXPECT_EQ(c.goals[0].current, MoneyGoal::maxValue);
  EXPECT_EQ(c.goals[0].target, 0);
  EXPECT_EQ(c.goals[1], filled().goals[0]);
  EXPECT_EQ(c.showcase.qrIndex, std::nullopt);
  EXPECT_EQ(c.showcase.name, "Aevil");
  EXPECT_EQ(c.meeting.plannedMinutes, 480);
  EXPECT_EQ(c.meeting.current, std::nullopt);
  EXPECT_EQ(c.meeting.timer.banked, 0);
  EXPECT_EQ(c.focus.timer.duration, 60);
  EXPECT_EQ(c.focus.timer.banked, 60);
  EXPECT_EQ(c.prompter.position, 1);
  ASSERT_EQ(c.review.notes.size(), 2u);
  EXPECT_EQ(c.review.notes[0].text, "early");
  EXPECT_EQ(c.sanitized(), c);
}

TEST(MeetingContent, SanitizedKeepsTwelveItemsAndAValidCurrent) {
  MeetingContent m;
  for (int i = 0; i < 15; ++i) m.agenda.push_back("Item " + std::to_string(i));
  m.agenda[0] = std::string(130, 'a') + "\n";
  m.current = 12;
  m.plannedMinutes = -5;
  m.timer = {std::nullopt, 1e6};
  auto s = m.sanitized();
  ASSERT_EQ(s.agenda.size(), MeetingContent::maxItems);
  EXPECT_EQ(s.agenda[0], std::string(120, 'a'));
  EXPECT_EQ(s.agenda[11], "Item 11");
  EXPECT_EQ(s.current, std::nullopt);
  EXPECT_EQ(s.plannedMinutes, 0);
  EXPECT_EQ(s.timer.banked, 86400);
  m.current = 11;
  EXPECT_EQ(m.sanitized().current, 11);
}

TEST(FocusContent, SanitizedClampsLabelAndTimer) {
  FocusContent f{std::string(90, 'f'), Countdown(1000), true};
  f.timer.banked = kNaN;
  auto s = f.sanitized();
  EXPECT_EQ(s.label, std::string(80, 'f'));
  EXPECT_EQ(s.timer.duration, 14400);
  EXPECT_EQ(s.timer.banked, 0);
  EXPECT_TRUE(s.showWeather);
}

}  // namespace
}  // namespace lumenbrook
