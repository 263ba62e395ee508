#pragma once
// Picks the display backend for the session this process runs in, once, and says why in one
// log line. The choice is what `--display` asks for: automatic (the session's own display
// server), X11 only, or none (every stream shows the test pattern).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "desktop/display_backend.h"

namespace lumenbrook {

enum class DisplayChoice { automatic, x11, pattern };

// "auto", "x11", "pattern"; none for anything else.
[[nodiscard]] std::optional<DisplayChoice> parseDisplayChoice(std::string_view text);

// The variables that tell which display server the session has.
struct SessionEnvironment {
  std::optional<std::string> waylandDisplay;  // $WAYLAND_DISPLAY
  std::optional<std::string> sessionType;     // $XDG_SESSION_TYPE
  std::optional<std::string> display;         // $DISPLAY

  static SessionEnvironment current();
};

// Which backend to try, decided from the environment alone.
struct DesktopPlan {
  enum class Kind { x11, wayland, pattern };
  Kind kind = Kind::pattern;
  std::string display;  // for x11: the display name to connect to
  std::string reason;   // why, for the log; for pattern the line to log
};
[[nodiscard]] DesktopPlan planDesktop(DisplayChoice choice, const SessionEnvironment& session);

// The backend for `choice` in `session`, or null when streams should show the test pattern.
// Logs exactly one line saying which and why (for example when the X display does not
// connect or lacks an extension).
using DesktopLog = std::function<void(const std::string&)>;
[[nodiscard]] std::unique_ptr<DisplayBackend> makeDesktop(DisplayChoice choice,
                                                          const SessionEnvironment& session,
                                                          const DesktopLog& log);

}  // namespace lumenbrook
