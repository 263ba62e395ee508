#include "core/content/mode.h"

#include <gtest/gtest.h>

#include <unordered_set>
#include <vector>

namespace lumenbrook {
namespace {

TEST(Mode, CasesInOrderWithTheirTexts) {
  struct Case {
    Mode mode;
    const char* raw;
    const char* title;
    const char* summary;
    bool isPrivate;
  } cases[] = {
      {Mode::commandCenter, "commandCenter", "Command center",
       "Today's calendar, reminders and your Mac's status", true},
      {Mode::showcase, "showcase", "Showcase", "Your business name, links and a QR code", false},
      {Mode::contentStudio, "contentStudio", "Content studio", "A teleprompter you control from the phone",
       false},
      {Mode::focus, "focus", "Focus + ambient", "Focus timer, clock, next event and weather", false},
      {Mode::macStream, "macStream", "Mac stream", "Your Mac's screen, full size", true},
      {Mode::meetingBoard, "meetingBoard", "Meeting board", "Today's meetings, agenda and a meeting timer",
       false},
      {Mode::presenter, "presenter", "Presenter", "Slides from a PDF or photos, full screen", false},
      {Mode::whiteboard, "whiteboard", "Whiteboard", "Draw on the phone, shown live on the monitor", false},
      {Mode::moneyBoard, "moneyBoard", "Money board", "Your goals and the numbers you enter", true},
      {Mode::reviewRoom, "reviewRoom", "Review room", "Play a video, scrub and take timed notes", false},
  };
  ASSERT_EQ(Mode::allCases().size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.raw);
    EXPECT_EQ(Mode::allCases()[i], c.mode);
    EXPECT_EQ(c.mode.number(), static_cast<int>(i) + 1);
    EXPECT_EQ(c.mode.rawValue(), c.raw);
    EXPECT_EQ(c.mode.id(), c.raw);
    EXPECT_EQ(c.mode.title(), c.title);
    EXPECT_EQ(c.mode.summary(), c.summary);
    EXPECT_EQ(c.mode.isPrivate(), c.isPrivate);
    EXPECT_EQ(Mode::fromRawValue(c.raw), c.mode);
    EXPECT_EQ(dumpJson(Json(c.mode)), std::string("\"") + c.raw + "\"");
    EXPECT_EQ(decodeJson<Mode>(dumpJson(Json(c.mode))).value(), c.mode);
  }
  std::unordered_set<Mode> distinct(Mode::allCases().begin(), Mode::allCases().end());
  EXPECT_EQ(distinct.size(), std::size(cases));
}

TEST(Mode, RawValuesAreComparedExactly) {
  auto stream = Mode::fromRawValue("macStream");
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->number(), 5);
  EXPECT_EQ(stream->title(), "Mac stream");
  for (const char* bad : {"MacStream", "macstream", " macStream", "macStream ", "", "Mac stream", "5"}) {
    EXPECT_FALSE(Mode::fromRawValue(bad)) << bad;
    EXPECT_FALSE(decodeJson<Mode>(dumpJson(Json(bad)))) << bad;
  }
  for (const char* bad : {"5", "null", "{}", "[\"focus\"]"}) {
    EXPECT_FALSE(decodeJson<Mode>(bad)) << bad;
  }
}

TEST(Mode, FirstRunAndListsInJson) {
  EXPECT_EQ(Mode::firstRun(), Mode::focus);
  EXPECT_EQ(Mode(), Mode::firstRun());
  const std::vector<Mode> modes = {Mode::focus, Mode::reviewRoom};
  EXPECT_EQ(dumpJson(Json(modes)), R"(["focus","reviewRoom"])");
  EXPECT_EQ(decodeJson<std::vector<Mode>>(R"(["focus","reviewRoom"])").value(), modes);
  EXPECT_FALSE(decodeJson<std::vector<Mode>>(R"(["focus","ReviewRoom"])"));
}

}  // namespace
}  // namespace lumenbrook
