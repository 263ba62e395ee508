#pragma once
// One event for the host's input stream, described without platform types so that each
// desktop adapter can replay it with its own injection calls. The numbering is the Mac's
// CoreGraphics numbering, the same one that key codes and modifier flags already use.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

namespace lumenbrook {

// Global display coordinates in points: origin at the top-left corner of the main display,
// y growing downwards.
struct Point {
  double x = 0, y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;

  // Standardised edges, so a negative width or height still gives minX <= maxX.
  double minX() const { return std::min(x, x + width); }
  double maxX() const { return std::max(x, x + width); }
  double minY() const { return std::min(y, y + height); }
  double maxY() const { return std::max(y, y + height); }

  friend bool operator==(const Rect&, const Rect&) = default;
};

struct HostEvent {
  enum class Type : std::uint32_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
    keyDown = 10,
    keyUp = 11,
    scrollWheel = 22,
  };
  enum class MouseButton : std::uint32_t { left = 0, right = 1 };
  enum class ScrollUnit : std::uint32_t { pixel = 0 };

  Type type = Type::mouseMoved;

  // Mouse events (types 1-7): where the event happens, and which button it names. Drags
  // name the right button whenever it is held, also while the left one is.
  Point location{};
  MouseButton button = MouseButton::left;

  // scrollWheel: wheelCount is 2 for scrolling (wheel1 vertical, wheel2 horizontal, both
  // with the phone's sign) and 1 for zoom (wheel1 only, wheel2 0). Values are in
  // scrollUnit and always within -10000 ... 10000; a third wheel is never used.
  ScrollUnit scrollUnit = ScrollUnit::pixel;
  std::uint32_t wheelCount = 0;
  std::int32_t wheel1 = 0;
  std::int32_t wheel2 = 0;

  // keyDown / keyUp: a Mac virtual key code on a US (ANSI) layout. Typed text (the phone's
  // text-only keys) arrives as key events on key 0 without flags, the press normally
  // carrying unicodeText; an adapter that cannot type text on a key event types the text
  // and does not press key 0. Real key strokes always have flags.
  std::uint16_t keyCode = 0;

  // Absent: the event carries no modifier flags of its own and the adapter leaves the
  // modifier state alone. Present: exactly these modifier flags (CGEventFlags bits, for
  // example 0x20000 shift, 0x100000 command) apply to the event, 0 meaning none.
  std::optional<std::uint64_t> flags{};

  // keyDown / keyUp only: text to type, as UTF-16 code units, typed as one event. Present
  // but empty is distinct from absent.
  std::optional<std::u16string> unicodeText{};

  friend bool operator==(const HostEvent&, const HostEvent&) = default;
};

}  // namespace lumenbrook
