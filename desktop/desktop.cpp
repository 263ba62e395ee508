#include "desktop/desktop.h"

#include <cstdlib>

#include "desktop/x11/x11_display.h"

namespace lumenbrook {
namespace {

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

}  // namespace

std::optional<DisplayChoice> parseDisplayChoice(std::string_view text) {
  if (text == "auto") return DisplayChoice::automatic;
  if (text == "x11") return DisplayChoice::x11;
  if (text == "pattern") return DisplayChoice::pattern;
  return std::nullopt;
}

SessionEnvironment SessionEnvironment::current() {
  return {variable("WAYLAND_DISPLAY"), variable("XDG_SESSION_TYPE"), variable("DISPLAY")};
}

DesktopPlan planDesktop(DisplayChoice choice, const SessionEnvironment& session) {
  using Kind = DesktopPlan::Kind;
  if (choice == DisplayChoice::pattern) {
    return {Kind::pattern, "", "display: the test pattern, as asked"};
  }
  if (choice == DisplayChoice::automatic) {
    // X clients of a Wayland session (Xwayland) see only other X clients: capturing or driving
    // its root window would show and move nothing of the real desktop.
    const bool wayland = session.waylandDisplay || session.sessionType == "wayland";
    if (wayland) {
      return {Kind::wayland, "", "display: Wayland session"};
    }
  }
  if (!session.display) {
    return {Kind::pattern, "", "display: no X display ($DISPLAY is not set); streaming the test pattern"};
  }
  return {Kind::x11, *session.display, "display: X11 on " + *session.display};
}

std::unique_ptr<DisplayBackend> makeDesktop(DisplayChoice choice, const SessionEnvironment& session,
                                            const DesktopLog& log) {
  auto say = [&](const std::string& line) {
    if (log) log(line);
  };
  DesktopPlan plan = planDesktop(choice, session);
  switch (plan.kind) {
    case DesktopPlan::Kind::pattern:
      say(plan.reason);
      return nullptr;
    case DesktopPlan::Kind::wayland:
      say(plan.reason + ": this build has no Wayland backend yet; streaming the test pattern");
      return nullptr;
    case DesktopPlan::Kind::x11:
      break;
  }
  X11Display::Options options;
  options.log = log;
  auto display = X11Display::open(plan.display, options);
  if (!display) {
    say("display: X11 on " + plan.display + " is not usable (" + display.error() +
        "); streaming the test pattern");
    return nullptr;
  }
  say(plan.reason + " (" + display.value()->describe() + ")");
  return std::move(display).value();
}

}  // namespace lumenbrook
