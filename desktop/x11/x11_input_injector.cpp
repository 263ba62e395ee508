#include "desktop/x11/x11_input_injector.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "desktop/x11/keyboard_mapping.h"
#include "desktop/x11/mac_keysyms.h"
#include "desktop/x11/wheel_accumulator.h"
#include "desktop/x11/xcb_handles.h"

namespace lumenbrook {
namespace {

using x11::Connection;
using x11::Reply;

constexpr std::uint64_t commandFlag = 0x100000;

// Scrolling. One wheel click scrolls about three lines in GTK, Qt and browsers, 40 to 60
// pixels: 40 points per click keeps the content roughly under the finger, and the phone's
// 120-point scroll step becomes exactly three clicks. 25 clicks (1000 points) per event is
// more finger travel than one touch report carries; the mapper's 10000 would be 250.
constexpr std::int32_t scrollPointsPerClick = 40;
constexpr std::int32_t scrollClickLimit = 25;
// Zoom. A 10% pinch arrives as 20 units; one Control+wheel click zooms about 10% in
// browsers and viewers, so 20 units per click follows the fingers, and a deliberate pinch
// gives a click or two. 5 clicks per event already zooms by half.
constexpr std::int32_t zoomUnitsPerClick = 20;
constexpr std::int32_t zoomClickLimit = 5;

// Core pointer buttons.
constexpr std::uint8_t leftButton = 1;
constexpr std::uint8_t rightButton = 3;
constexpr std::uint8_t wheelUp = 4;
constexpr std::uint8_t wheelDown = 5;
constexpr std::uint8_t wheelLeft = 6;
constexpr std::uint8_t wheelRight = 7;

// UTF-16 to code points; an unpaired surrogate becomes U+FFFD, as ill-formed UTF-8 does
// in the mapper.
std::vector<char32_t> codePoints(const std::u16string& text) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    out.push_back(c);
  }
  return out;
}

// The keysym that types `c` as text. Line ends are Return (libxkbcommon would give Linefeed,
// which no key carries and applications do not treat as a new line); other control
// characters would press function keys (Escape, BackSpace) and type nothing.
std::uint32_t textKeysym(char32_t c) {
  if (c == U'\n' || c == U'\r') return XKB_KEY_Return;
  if (c == U'\t') return XKB_KEY_Tab;
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return XKB_KEY_NoSymbol;
  return xkb_utf32_to_keysym(c);
}

std::int16_t rootCoordinate(double v) {
  return static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
}

}  // namespace

struct X11InputInjector::State {
  Connection connection;
  xcb_window_t root = XCB_NONE;
  std::uint8_t minKeycode = 8;
  std::uint8_t maxKeycode = 255;

  KeyboardMapping mapping{0, 0, {}};
  bool mappingStale = false;  // a MappingNotify arrived since `mapping` was read
  SpareKeycodes spares;

  WheelAccumulator vertical{scrollPointsPerClick, scrollClickLimit};
  WheelAccumulator horizontal{scrollPointsPerClick, scrollClickLimit};
  WheelAccumulator zoom{zoomUnitsPerClick, zoomClickLimit};

  // Real keys held, by Mac key code: the keycode of the press (the mapping may have changed
  // since) and the modifier keycodes it holds.
  struct PressedKey {
    std::uint8_t keycode = 0;
    std::vector<std::uint8_t> modifiers;
  };
  std::map<std::uint16_t, PressedKey> pressedKeys;
  // Modifier keycodes pressed through the injector, with the number of holders: a modifier
  // goes down with its first holder and up with its last.
  std::map<std::uint8_t, int> heldModifiers;
  std::set<std::uint8_t> heldButtons;

  xcb_connection_t* c() const { return connection.get(); }
  bool alive() const { return !xcb_connection_has_error(c()); }

  void fake(std::uint8_t type, std::uint8_t detail) {
    xcb_test_fake_input(c(), type, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  }

  // Reads what the server sent: keyboard MappingNotify marks the copy stale; errors of
  // unchecked requests (a refused fake event) need no answer.
  void pump() {
    while (xcb_generic_event_t* raw = xcb_poll_for_event(c())) {
      Reply<xcb_generic_event_t> e(raw, &std::free);
      if ((e->response_type & 0x7f) == XCB_MAPPING_NOTIFY &&
          reinterpret_cast<xcb_mapping_notify_event_t*>(raw)->request == XCB_MAPPING_KEYBOARD) {
        mappingStale = true;
      }
    }
  }

  bool reloadMapping() {
    auto count = static_cast<std::uint8_t>(maxKeycode - minKeycode + 1);
    Reply<xcb_get_keyboard_mapping_reply_t> r(
        xcb_get_keyboard_mapping_reply(c(), xcb_get_keyboard_mapping(c(), minKeycode, count), nullptr),
        &std::free);
    if (!r) return false;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(r.get());
    int length = xcb_get_keyboard_mapping_keysyms_length(r.get());
    mapping = KeyboardMapping(minKeycode, r->keysyms_per_keycode,
                              std::vector<std::uint32_t>(keysyms, keysyms + std::max(length, 0)));
    spares.sync(mapping);
    mappingStale = false;
    return true;
  }

  const KeyboardMapping& currentMapping() {
    if (mappingStale) reloadMapping();
    return mapping;
  }

  bool held(std::uint8_t keycode) const {
    return std::any_of(pressedKeys.begin(), pressedKeys.end(),
                       [&](const auto& p) { return p.second.keycode == keycode; });
  }

  // The keycode (and shift level) that types `keysym` now, lending it a spare keycode when
  // no key of the layout carries it.
  std::optional<KeyboardMapping::Key> resolve(std::uint32_t keysym) {
    if (auto key = currentMapping().find(keysym)) {
      spares.touch(key->keycode);
      return key;
    }
    auto lease = spares.lend(keysym, [this](std::uint8_t k) { return held(k); });
    if (!lease) return std::nullopt;
    if (lease->remap) {
      std::vector<std::uint32_t> row = mapping.row(keysym);
      // Checked, so the reply doubles as the round trip that makes the server hold the new
      // mapping before the key press that relies on it.
      Reply<xcb_generic_error_t> error(
          xcb_request_check(c(), xcb_change_keyboard_mapping_checked(
                                     c(), 1, lease->keycode, mapping.keysymsPerKeycode(), row.data())),
          &std::free);
      if (error || !alive()) {
        spares.unlend(lease->keycode);
        return std::nullopt;
      }
      mapping.assign(lease->keycode, keysym);
    }
    return KeyboardMapping::Key{lease->keycode, false};
  }

  // Modifier keycodes for `flags`; only keys that carry the modifier keysym unshifted count
  // (a spare keycode would not be in the modifier map). A layout without one skips it.
  std::vector<std::uint8_t> modifierKeycodes(std::uint64_t flags) {
    std::vector<std::uint8_t> out;
    for (std::uint32_t keysym : MacKeysyms::modifierKeysyms(flags)) {
      auto key = currentMapping().find(keysym);
      if (key && !key->shift) out.push_back(key->keycode);
    }
    return out;
  }

  std::optional<std::uint8_t> shiftKeycode() {
    auto key = currentMapping().find(XKB_KEY_Shift_L);
    if (!key || key->shift) return std::nullopt;
    return key->keycode;
  }

  void hold(std::uint8_t keycode) {
    if (heldModifiers[keycode]++ == 0) fake(XCB_KEY_PRESS, keycode);
  }
  void drop(std::uint8_t keycode) {
    auto it = heldModifiers.find(keycode);
    if (it == heldModifiers.end()) return;
    if (--it->second == 0) {
      fake(XCB_KEY_RELEASE, keycode);
      heldModifiers.erase(it);
    }
  }
  void holdAll(const std::vector<std::uint8_t>& keycodes) {
    for (std::uint8_t k : keycodes) hold(k);
  }
  void dropAll(const std::vector<std::uint8_t>& keycodes) {
    for (auto it = keycodes.rbegin(); it != keycodes.rend(); ++it) drop(*it);
  }

  void moveTo(Point p) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return;
    // Detail 0: absolute, in the coordinates of `root`.
    xcb_test_fake_input(c(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, rootCoordinate(p.x),
                        rootCoordinate(p.y), 0);
  }

  void button(std::uint8_t b, bool down, const std::optional<std::uint64_t>& flags) {
    std::vector<std::uint8_t> modifiers = flags ? modifierKeycodes(*flags) : std::vector<std::uint8_t>{};
    holdAll(modifiers);
    // A release is sent even when the injector does not hold the button: the desktop may
    // hold it from an earlier session.
    fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, b);
    if (down) {
      heldButtons.insert(b);
    } else {
      heldButtons.erase(b);
    }
    dropAll(modifiers);
  }

  void mouse(const HostEvent& e) {
    moveTo(e.location);
    switch (e.type) {
      case HostEvent::Type::leftMouseDown: button(leftButton, true, e.flags); break;
      case HostEvent::Type::leftMouseUp: button(leftButton, false, e.flags); break;
      case HostEvent::Type::rightMouseDown: button(rightButton, true, e.flags); break;
      case HostEvent::Type::rightMouseUp: button(rightButton, false, e.flags); break;
      default: break;  // motion, also while dragging
    }
  }

  void clicks(std::int32_t n, std::uint8_t positive, std::uint8_t negative) {
    std::uint8_t b = n > 0 ? positive : negative;
    for (std::int32_t i = 0; i < std::abs(n); ++i) {
      fake(XCB_BUTTON_PRESS, b);
      fake(XCB_BUTTON_RELEASE, b);
    }
  }

  // Wheel values carry the Mac's sign: positive wheel1 scrolls up, positive wheel2 left.
  // Zoom is Control + the vertical wheel, positive zooming in (wheel up), on an accumulator
  // of its own so that scroll and zoom remainders never mix.
  void scroll(const HostEvent& e) {
    bool isZoom = e.wheelCount == 1 && e.flags && (*e.flags & commandFlag);
    std::int32_t up = 0, left = 0;
    if (isZoom) {
      up = zoom.add(e.wheel1);
    } else {
      up = vertical.add(e.wheel1);
      if (e.wheelCount >= 2) left = horizontal.add(e.wheel2);
    }
    if (up == 0 && left == 0) return;
    std::vector<std::uint8_t> modifiers = e.flags ? modifierKeycodes(*e.flags) : std::vector<std::uint8_t>{};
    holdAll(modifiers);
    clicks(up, wheelUp, wheelDown);
    clicks(left, wheelLeft, wheelRight);
    dropAll(modifiers);
  }

  void releaseKey(std::map<std::uint16_t, PressedKey>::iterator it) {
    fake(XCB_KEY_RELEASE, it->second.keycode);
    dropAll(it->second.modifiers);
    pressedKeys.erase(it);
  }

  void keyDown(const HostEvent& e) {
    if (!e.flags) {
      if (e.unicodeText) typeText(*e.unicodeText);
      return;
    }
    // A repeated press (auto-repeat) releases the earlier one first, so that each press has
    // exactly one record and one release.
    if (auto it = pressedKeys.find(e.keyCode); it != pressedKeys.end()) releaseKey(it);
    auto keysym = MacKeysyms::keysym(e.keyCode);
    if (!keysym) return;
    auto key = resolve(*keysym);
    if (!key) return;
    std::vector<std::uint8_t> modifiers = modifierKeycodes(*e.flags);
    if (key->shift) {
      // The keysym sits on the shifted level of this layout.
      auto shift = shiftKeycode();
      if (shift && std::find(modifiers.begin(), modifiers.end(), *shift) == modifiers.end()) {
        modifiers.push_back(*shift);
      }
    }
    // A modifier key pressed as itself is not held as its own modifier as well.
    std::erase(modifiers, key->keycode);
    holdAll(modifiers);
    fake(XCB_KEY_PRESS, key->keycode);
    pressedKeys[e.keyCode] = {key->keycode, std::move(modifiers)};
  }

  void keyUp(const HostEvent& e) {
    // The release of typed text, and a release of a key the injector did not press, have
    // nothing to release.
    if (!e.flags) return;
    if (auto it = pressedKeys.find(e.keyCode); it != pressedKeys.end()) releaseKey(it);
  }

  void typeText(const std::u16string& text) {
    std::vector<char32_t> points = codePoints(text);
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (points[i] == U'\n' && i > 0 && points[i - 1] == U'\r') continue;  // CR LF: one Return
      std::uint32_t keysym = textKeysym(points[i]);
      if (keysym == XKB_KEY_NoSymbol) continue;
      auto key = resolve(keysym);
      if (!key) continue;
      std::vector<std::uint8_t> modifiers;
      if (key->shift) {
        if (auto shift = shiftKeycode()) modifiers.push_back(*shift);
      }
      holdAll(modifiers);
      fake(XCB_KEY_PRESS, key->keycode);
      fake(XCB_KEY_RELEASE, key->keycode);
      dropAll(modifiers);
    }
  }

  void post(const HostEvent& e) {
    if (!alive()) return;
    pump();
    switch (e.type) {
      case HostEvent::Type::leftMouseDown:
      case HostEvent::Type::leftMouseUp:
      case HostEvent::Type::rightMouseDown:
      case HostEvent::Type::rightMouseUp:
      case HostEvent::Type::mouseMoved:
      case HostEvent::Type::leftMouseDragged:
      case HostEvent::Type::rightMouseDragged: mouse(e); break;
      case HostEvent::Type::scrollWheel: scroll(e); break;
      case HostEvent::Type::keyDown: keyDown(e); break;
      case HostEvent::Type::keyUp: keyUp(e); break;
    }
    xcb_flush(c());
  }

  void releaseAll() {
    if (alive()) {
      for (const auto& [code, key] : pressedKeys) fake(XCB_KEY_RELEASE, key.keycode);
      for (std::uint8_t b : heldButtons) fake(XCB_BUTTON_RELEASE, b);
      for (const auto& [keycode, holders] : heldModifiers) fake(XCB_KEY_RELEASE, keycode);
      xcb_flush(c());
    }
    pressedKeys.clear();
    heldButtons.clear();
    heldModifiers.clear();
    // Part clicks belong to the gesture that was going on; the next one starts from zero.
    vertical = WheelAccumulator{scrollPointsPerClick, scrollClickLimit};
    horizontal = WheelAccumulator{scrollPointsPerClick, scrollClickLimit};
    zoom = WheelAccumulator{zoomUnitsPerClick, zoomClickLimit};
  }

  // Gives every lent keycode NoSymbol back. The mapping is read first, so that a keycode
  // another client has since given keysyms (a new layout) is left alone.
  void restoreSpares() {
    if (!alive() || !reloadMapping()) return;
    std::vector<std::uint8_t> lent = spares.lent();
    if (lent.empty()) return;
    std::vector<std::uint32_t> row = mapping.row(XKB_KEY_NoSymbol);
    for (std::uint8_t keycode : lent) {
      xcb_change_keyboard_mapping(c(), 1, keycode, mapping.keysymsPerKeycode(), row.data());
      spares.unlend(keycode);
    }
    // A round trip: the desktop has its mapping back when the destructor returns.
    std::free(xcb_get_input_focus_reply(c(), xcb_get_input_focus(c()), nullptr));
  }
};

Result<std::unique_ptr<X11InputInjector>, std::string> X11InputInjector::open(const std::string& display) {
  std::string name = display;
  if (name.empty()) {
    const char* env = std::getenv("DISPLAY");
    name = env ? env : "(DISPLAY is not set)";
  }
  int screen = 0;
  // xcb_connect always returns a connection object, an errored one on failure.
  Connection connection(xcb_connect(display.empty() ? nullptr : display.c_str(), &screen));
  if (xcb_connection_has_error(connection.get())) {
    return Failure{"cannot connect to the X display " + name};
  }
  const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection.get(), &xcb_test_id);
  if (!xtest || !xtest->present) {
    return Failure{"the X display " + name + " has no XTest extension, which input injection needs"};
  }

  auto state = std::make_unique<State>();
  const xcb_setup_t* setup = xcb_get_setup(connection.get());
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
  for (int i = 0; i < screen && it.rem > 1; ++i) xcb_screen_next(&it);
  state->root = it.data->root;
  state->minKeycode = setup->min_keycode;
  state->maxKeycode = setup->max_keycode;
  state->connection = std::move(connection);
  // Injected input must not stall while another client grabs the server.
  xcb_test_grab_control(state->c(), 1);
  if (!state->reloadMapping()) {
    return Failure{"cannot read the keyboard mapping of the X display " + name};
  }
  return std::unique_ptr<X11InputInjector>(new X11InputInjector(std::move(state)));
}

X11InputInjector::X11InputInjector(std::unique_ptr<State> state) : state_(std::move(state)) {}

X11InputInjector::~X11InputInjector() {
  state_->releaseAll();
  state_->restoreSpares();
}

void X11InputInjector::post(const HostEvent& event) { state_->post(event); }

void X11InputInjector::releaseAll() { state_->releaseAll(); }

}  // namespace lumenbrook
