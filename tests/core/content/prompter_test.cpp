#include "core/content/prompter.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

using Lines = std::vector<std::string>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(PrompterLines, SplitsAtEveryLineBreakAndDropsBlankLines) {
  struct Case {
    std::string script;
    Lines lines;
  } cases[] = {
      {"Intro\n\n  Point one  \r\nPoint two", {"Intro", "Point one", "Point two"}},
      {"a\vb\fc\rd", {"a", "b", "c", "d"}},
      {"a\xC2\x85" "b\xE2\x80\xA8" "c\xE2\x80\xA9" "d", {"a", "b", "c", "d"}},
      {"\t tabbed\t \n inner  spaces kept ", {"tabbed", "inner  spaces kept"}},
      {"\n\r\n \t \n", {}},
      {"", {}},
      // U+00A0 is not a line break and not trimmed.
      {"\xC2\xA0x", {"\xC2\xA0x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Prompter{.script = c.script}.lines(), c.lines) << c.script;
}

TEST(PrompterLines, CurrentLineIsTheFloorWithinTheScript) {
  struct Case {
    std::string script;
    double position;
    std::int64_t line;
  } cases[] = {
      {"a\nb\nc", 0.7, 0}, {"a\nb\nc", 1.0, 1}, {"a\nb\nc", 2.9, 2}, {"a\nb\nc", 10, 2},
      {"a\nb\nc", -3, 0},  {"a\nb\nc", kNaN, 0}, {"a\nb\nc", kInf, 2}, {"", 4, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ((Prompter{.script = c.script, .position = c.position}.currentLine()), c.line)
        << c.position;
  }
}

TEST(PrompterAdvance, MovesByReadingTime) {
  // Line 0 has 4 words, line 1 has 2, line 2 has 1: at 120 words per minute they take 2 s,
  // 1 s and 0.5 s.
  const std::string script = "one two  three four\nfive six\nseven";
  struct Case {
    const char* what;
    double position;
    double wordsPerMinute;
    double seconds;
    double expected;
    bool stillPlaying;
  } cases[] = {
      {"half a line", 0, 120, 1, 0.5, true},
      {"exactly one line", 0, 120, 2, 1, true},
      {"carries over into the next line", 0.5, 120, 1.5, 1.5, true},
      {"crosses two lines", 0, 120, 3.25, 2.5, true},
      {"runs out: stops at the start of the last line", 0, 120, 10, 2, false},
      {"speed above the range reads at 260", 0, 1000, 0.5, 260.0 / 60 * 0.5 / 4, true},
      {"speed below the range reads at 60", 0, 1, 2, 0.5, true},
      {"speed that is not a number reads at 140", 0, kNaN, 1, 140.0 / 60 / 4, true},
      {"position past the script ends on the last line", 7.5, 120, 0.1, 2, false},
  };
  for (const auto& c : cases) {
    Prompter p{script, c.position, c.wordsPerMinute, true};
    p.advance(c.seconds);
    EXPECT_DOUBLE_EQ(p.position, c.expected) << c.what;
    EXPECT_EQ(p.playing, c.stillPlaying) << c.what;
  }
}

TEST(PrompterAdvance, UsesAtMostSixtySecondsPerCall) {
  std::string longLine;
  for (int i = 0; i < 200; ++i) longLine += "word ";
  Prompter p{longLine + "\nend", 0, 120, true};  // the first line takes 100 s
  p.advance(90);
  EXPECT_DOUBLE_EQ(p.position, 0.6);
  EXPECT_TRUE(p.playing);
}

TEST(PrompterAdvance, IgnoresPausedPrompterAndUnusableSpans) {
  for (double s : {0.0, -1.0, kNaN, kInf}) {
    Prompter p{"a b\nc", 0.25, 120, true};
    p.advance(s);
    EXPECT_EQ(p, (Prompter{"a b\nc", 0.25, 120, true})) << s;
  }
  Prompter paused{"a b\nc", 0.25, 120, false};
  paused.advance(1);
  EXPECT_EQ(paused.position, 0.25);

  Prompter empty{" \n\t", 0, 120, true};
  empty.advance(1);
  EXPECT_FALSE(empty.playing);
  EXPECT_EQ(empty.position, 0);
}

TEST(PrompterStep, JumpsWholeLinesWithinTheScript) {
  struct Case {
    std::string script;
    double position;
    std::int64_t n;
    double expected;
  } cases[] = {
      {"a\nb\nc\nd", 2, -5, 0},
      {"a\nb\nc\nd", 3, 1, 3},
      {"a\nb\nc\nd", 0.5, 1, 1},
      {"a\nb\nc\nd", 2.75, -1, 1},
      {"a\nb\nc\nd", 1, std::numeric_limits<std::int64_t>::max(), 3},
      {"a\nb\nc\nd", 1, std::numeric_limits<std::int64_t>::min(), 0},
      {"", 5, 1, 0},
  };
  for (const auto& c : cases) {
    Prompter p{.script = c.script, .position = c.position};
    p.step(c.n);
    EXPECT_EQ(p.position, c.expected) << c.position << " " << c.n;
  }
}

TEST(PrompterSanitized, CleansScriptSpeedAndPosition) {
  struct Case {
    Prompter in;
    Prompter out;
  } cases[] = {
      {{"a\r\nb\x01", 1, 300, true}, {"a\nb", 1, 260, true}},
      {{"a\nb", 5, 10, false}, {"a\nb", 1, 60, false}},
      {{"a\nb", -2, kNaN, false}, {"a\nb", 0, 140, false}},
      {{"a\nb", kInf, kInf, false}, {"a\nb", 0, 140, false}},
      {{"", 3, 140, true}, {"", 0, 140, true}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.in.sanitized(), c.out) << c.in.script;

  std::string huge(Prompter::maxScript + 50, 'x');
  EXPECT_EQ(Prompter{.script = huge}.sanitized().script, std::string(Prompter::maxScript, 'x'));
}

TEST(PrompterJson, RoundTripsUnderFieldNames) {
  Prompter p{"Hello\nWorld", 1.5, 150, true};
  Json j = p;
  EXPECT_EQ(j, Json::parse(R"({"script":"Hello\nWorld","position":1.5,"wordsPerMinute":150,"playing":true})"));
  EXPECT_EQ(j.get<Prompter>(), p);
  j.erase("playing");
  EXPECT_THROW(j.get<Prompter>(), JsonError);
  EXPECT_THROW(Json(Prompter{"a", kNaN, 140, false}), JsonError);
}

}  // namespace
}  // namespace lumenbrook
