// The phone's command line: what each command takes, and sentences for what it does not.

#include "phone/phone_options.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

using Command = PhoneOptions::Command;

std::vector<std::string_view> words(const std::vector<std::string>& args) {
  return std::vector<std::string_view>(args.begin(), args.end());
}

const std::string kCode = "LUMENBROOK-PAIR-1:h=127.0.0.1&p=5&fp=00&s=11";

TEST(PhoneOptions, ReadsEveryCommandWithItsOptions) {
  const ScreenTraits small{"Reference phone", 640, 360, 2, 30, false, false, ViewingDistance::desk};
  const struct {
    std::vector<std::string> args;
    PhoneOptions expected;
  } cases[] = {
      {{"pair", kCode}, {.command = Command::pair, .code = kCode}},
      {{"pair", "--state", "/s.json", kCode, "--name", "Pocket", "--yes"},
       {.command = Command::pair, .code = kCode, .state = "/s.json", .name = "Pocket",
        .yes = true}},
      {{"status", "--host", "Studio", "--port", "51000", "--count", "3", "--seconds", "2.5"},
       {.command = Command::status, .host = "Studio", .port = 51000, .count = 3,
        .seconds = 2.5}},
      {{"discover"}, {.command = Command::discover}},
      {{"discover", "--seconds", "1"}, {.command = Command::discover, .seconds = 1}},
      {{"stream", "--screen", "640x360@2@30", "--seconds", "2", "--snapshot", "a.png",
        "--record", "a.hevc", "--json"},
       {.command = Command::stream, .seconds = 2, .screen = small, .snapshot = "a.png",
        .record = "a.hevc", .json = true}},
      {{"stream", "--preset", "720P-TV"},
       {.command = Command::stream, .screen = ScreenTraits::tv720()}},
      {{"stream", "--preset", "Portrait"},
       {.command = Command::stream, .screen = ScreenTraits::portrait()}},
      {{"input", "--host", "Studio", "--move", "10,-5", "--click", "--type", "hé"},
       {.command = Command::input, .host = "Studio",
        .actions = {{InputAction::Kind::move, 10, -5},
                    {InputAction::Kind::click},
                    {InputAction::Kind::type, 0, 0, "hé"}}}},
      {{"help"}, {.command = Command::help}},
      {{"status", "--help"}, {.command = Command::help}},
  };
  for (const auto& c : cases) {
    auto parsed = parsePhoneOptions(words(c.args));
    ASSERT_TRUE(parsed.ok()) << c.args[0] << ": " << parsed.error();
    EXPECT_EQ(parsed.value(), c.expected) << c.args[0] << " " << c.args.size();
  }
}

TEST(PhoneOptions, RefusesWithASentence) {
  const struct {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{}, "which command? pair, status, discover, stream or input"},
      {{"watch"}, "unknown command watch"},
      {{"pair"}, "pair needs the pairing-code text the computer shows"},
      {{"pair", kCode, kCode}, "unexpected argument " + kCode + " (pair)"},
      {{"status", "extra"}, "unexpected argument extra (status)"},
      {{"pair", kCode, "--count", "1"}, "unknown option --count (pair)"},
      {{"discover", "--host", "x"}, "unknown option --host (discover)"},
      {{"status", "--json"}, "unknown option --json (status)"},
      {{"status", "--port"}, "--port needs a value"},
      {{"status", "--port", "0"}, "--port needs a number from 1 to 65535, not 0"},
      {{"status", "--port", "65536"}, "--port needs a number from 1 to 65535, not 65536"},
      {{"status", "--count", "0"}, "--count needs a positive number, not 0"},
      {{"status", "--count", "-1"}, "--count needs a positive number, not -1"},
      {{"status", "--seconds", "0"}, "--seconds needs a positive number of seconds, not 0"},
      {{"status", "--seconds", "nan"}, "--seconds needs a positive number of seconds, not nan"},
      {{"status", "--seconds", "2s"}, "--seconds needs a positive number of seconds, not 2s"},
      {{"pair", kCode, "--state", ""}, "--state needs a file name"},
      {{"stream", "--screen", "1280x720@1@60", "--preset", "4k-tv"},
       "give one of --screen and --preset, once"},
      {{"input"}, "input needs at least one action, e.g. --move 100,0 or --type hello"},
      {{"input", "--move", "10"}, "--move needs DX,DY in points, not 10"},
      {{"input", "--scroll", "1,inf"}, "--scroll needs DX,DY in points, not 1,inf"},
      {{"input", "--zoom", "0"}, "--zoom needs a positive scale, not 0"},
      {{"input", "--type", ""}, "--type needs some text"},
      {{"input", "--type"}, "--type needs a value"},
      {{"input", "--json"}, "unknown option --json (input)"},
      {{"stream", "--click"}, "unknown option --click (stream)"},
      {{"stream", "--preset", "cinema"},
       "no preset cinema; presets: acer-pm161q, 4k-tv, 720p-tv, 1610-monitor, ultrawide, "
       "portrait"},
  };
  for (const auto& c : cases) {
    auto parsed = parsePhoneOptions(words(c.args));
    ASSERT_FALSE(parsed.ok()) << c.error;
    EXPECT_EQ(parsed.error(), c.error);
  }
}

TEST(PhoneOptions, ReadsAScreenDescriptionWithinTheRangesAComputerTakes) {
  auto screen = parseScreen("1280x720@1@60");
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->width, 1280);
  EXPECT_EQ(screen->height, 720);
  EXPECT_EQ(screen->scale, 1);
  EXPECT_EQ(screen->maxFPS, 60);
  EXPECT_EQ(screen->sanitized(), *screen);
  EXPECT_TRUE(parseScreen("100x8192@0.5@240"));
  EXPECT_TRUE(parseScreen("390.5x844@3@120"));
  for (const char* bad : {"", "1280x720", "1280x720@1", "1280x720@1@60@1", "1280@720@1@60",
                          "x720@1@60", "1280x720@@60", "99x720@1@60", "1280x8193@1@60",
                          "1280x720@0.4@60", "1280x720@1@23", "1280x720@1@241",
                          "1280x720@1@60.5", "1280x720@inf@60", "-1280x720@1@60"}) {
    EXPECT_FALSE(parseScreen(bad)) << bad;
  }
}

}  // namespace
}  // namespace lumenbrook
