// Which backend a session gets, decided from its environment alone.

#include "desktop/desktop.h"

#include <string>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

using Kind = DesktopPlan::Kind;

TEST(Desktop, ReadsTheDisplayChoice) {
  EXPECT_EQ(parseDisplayChoice("auto"), DisplayChoice::automatic);
  EXPECT_EQ(parseDisplayChoice("x11"), DisplayChoice::x11);
  EXPECT_EQ(parseDisplayChoice("pattern"), DisplayChoice::pattern);
  EXPECT_FALSE(parseDisplayChoice("X11"));
  EXPECT_FALSE(parseDisplayChoice(""));
}

TEST(Desktop, PlansFromTheSession) {
  const SessionEnvironment x11{std::nullopt, "x11", ":0"};
  const SessionEnvironment wayland{"wayland-0", "wayland", ":1"};  // with Xwayland
  const SessionEnvironment waylandByType{std::nullopt, "wayland", ":1"};
  const SessionEnvironment bare{std::nullopt, std::nullopt, std::nullopt};
  const struct {
    DisplayChoice choice;
    SessionEnvironment session;
    Kind kind;
    std::string display;
  } cases[] = {
      {DisplayChoice::automatic, x11, Kind::x11, ":0"},
      // Xwayland's root window is not the desktop: never capture or drive it by default.
      {DisplayChoice::automatic, wayland, Kind::wayland, ""},
      {DisplayChoice::automatic, waylandByType, Kind::wayland, ""},
      {DisplayChoice::automatic, bare, Kind::pattern, ""},
      // Asked for by name, X11 is used wherever a display is set.
      {DisplayChoice::x11, wayland, Kind::x11, ":1"},
      {DisplayChoice::x11, bare, Kind::pattern, ""},
      {DisplayChoice::pattern, x11, Kind::pattern, ""},
  };
  for (const auto& c : cases) {
    DesktopPlan plan = planDesktop(c.choice, c.session);
    EXPECT_EQ(plan.kind, c.kind) << plan.reason;
    EXPECT_EQ(plan.display, c.display) << plan.reason;
    EXPECT_FALSE(plan.reason.empty());
  }
}

TEST(Desktop, SaysOnceWhyStreamsShowThePattern) {
  std::vector<std::string> lines;
  auto log = [&](const std::string& line) { lines.push_back(line); };
  EXPECT_EQ(makeDesktop(DisplayChoice::automatic, {std::nullopt, std::nullopt, std::nullopt}, log), nullptr);
  EXPECT_EQ(makeDesktop(DisplayChoice::automatic, {"wayland-0", "wayland", std::nullopt}, log), nullptr);
  // A display number nobody serves.
  EXPECT_EQ(makeDesktop(DisplayChoice::x11, {std::nullopt, "x11", ":4093"}, log), nullptr);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "display: no X display ($DISPLAY is not set); streaming the test pattern");
  EXPECT_EQ(lines[1], "display: Wayland session: this build has no Wayland backend yet; streaming the test pattern");
  EXPECT_EQ(lines[2], "display: X11 on :4093 is not usable (the display does not connect); streaming the test pattern");
}

}  // namespace
}  // namespace lumenbrook
