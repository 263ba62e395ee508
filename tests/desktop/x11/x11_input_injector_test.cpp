// X11InputInjector against a real Xvfb (US keymap): what a window receives and where the
// pointer lands, read from a second client connection.

#include "desktop/x11/x11_input_injector.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <bit>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/desktop/x_server.h"

namespace lumenbrook {
namespace {

using testing::TestWindow;
using testing::XClient;
using testing::XServer;
using Type = HostEvent::Type;

constexpr int screenWidth = 640, screenHeight = 480;
constexpr int waitMs = 5000;  // only an upper bound: every wait ends on an event
constexpr std::uint64_t shift = 0x20000, option = 0x80000, command = 0x100000;

HostEvent mouse(Type type, double x, double y, std::optional<std::uint64_t> flags = std::nullopt) {
  bool button = type == Type::leftMouseDown || type == Type::leftMouseUp ||
                type == Type::rightMouseDown || type == Type::rightMouseUp;
  bool right = type == Type::rightMouseDown || type == Type::rightMouseUp;
  return {.type = type,
          .location = {x, y},
          .button = right ? HostEvent::MouseButton::right : HostEvent::MouseButton::left,
          .flags = button ? flags.value_or(0) : flags};
}
HostEvent scroll(std::int32_t vertical, std::int32_t horizontal) {
  return {.type = Type::scrollWheel, .wheelCount = 2, .wheel1 = vertical, .wheel2 = horizontal};
}
HostEvent zoom(std::int32_t amount) {
  return {.type = Type::scrollWheel, .wheelCount = 1, .wheel1 = amount, .flags = command};
}
HostEvent key(bool down, std::uint16_t code, std::uint64_t flags) {
  return {.type = down ? Type::keyDown : Type::keyUp, .keyCode = code, .flags = flags};
}
HostEvent text(std::optional<std::u16string> t) {
  return {.type = Type::keyDown, .keyCode = 0, .unicodeText = std::move(t)};
}
HostEvent textRelease() { return {.type = Type::keyUp, .keyCode = 0}; }

// The core keyboard mapping as another client sees it now.
struct Keymap {
  std::uint8_t min = 0;
  int perKeycode = 0;
  std::vector<xcb_keysym_t> keysyms;

  static Keymap read(XClient& client) {
    xcb_connection_t* c = client.connection();
    const xcb_setup_t* setup = xcb_get_setup(c);
    Keymap k;
    k.min = setup->min_keycode;
    auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> r(
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, k.min, count), nullptr), &std::free);
    if (!r) return k;
    k.perKeycode = r->keysyms_per_keycode;
    const xcb_keysym_t* s = xcb_get_keyboard_mapping_keysyms(r.get());
    k.keysyms.assign(s, s + xcb_get_keyboard_mapping_keysyms_length(r.get()));
    return k;
  }
  xcb_keysym_t at(std::uint8_t keycode, int column) const {
    std::size_t i = std::size_t(keycode - min) * std::size_t(perKeycode) + std::size_t(column);
    return keycode >= min && i < keysyms.size() ? keysyms[i] : 0;
  }
  // What a press of `keycode` types with `state`: core protocol columns 0 and 1.
  xcb_keysym_t typed(std::uint8_t keycode, std::uint16_t state) const {
    return at(keycode, (state & XCB_MOD_MASK_SHIFT) ? 1 : 0);
  }
  bool isModifier(std::uint8_t keycode) const {
    xcb_keysym_t k = at(keycode, 0);
    return k == XKB_KEY_Shift_L || k == XKB_KEY_Control_L || k == XKB_KEY_Alt_L;
  }
  bool empty(std::uint8_t keycode) const {
    for (int col = 0; col < perKeycode; ++col) {
      if (at(keycode, col) != 0) return false;
    }
    return true;
  }
  friend bool operator==(const Keymap&, const Keymap&) = default;
};

std::vector<TestWindow::Event> withoutModifiers(const std::vector<TestWindow::Event>& events,
                                                const Keymap& keymap) {
  std::vector<TestWindow::Event> out;
  for (const auto& e : events) {
    if (!keymap.isModifier(e.detail)) out.push_back(e);
  }
  return out;
}

constexpr std::uint16_t modifierBits = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;
constexpr std::uint16_t buttonBits =
    XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3 | XCB_BUTTON_MASK_4 | XCB_BUTTON_MASK_5;

class X11InputInjectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    server_ = XServer::xvfb(screenWidth, screenHeight, &why);
    if (!server_) GTEST_SKIP() << why;
    client_ = std::make_unique<XClient>(server_->display());
    ASSERT_TRUE(client_->ok());
    injector_ = open();
  }

  std::unique_ptr<X11InputInjector> open() {
    auto r = X11InputInjector::open(server_->display());
    EXPECT_TRUE(r.ok()) << r.error();
    return r.ok() ? std::move(r.value()) : nullptr;
  }

  // A focused window over the whole screen, so that every pointer and key event reaches it.
  std::unique_ptr<TestWindow> screenWindow() {
    auto w = std::make_unique<TestWindow>(*client_, 0, 0, screenWidth, screenHeight, 0x204060);
    w->focus();
    return w;
  }

  void post(const std::vector<HostEvent>& events) {
    for (const HostEvent& e : events) injector_->post(e);
  }

  std::unique_ptr<XServer> server_;
  std::unique_ptr<XClient> client_;
  std::unique_ptr<X11InputInjector> injector_;
};

TEST_F(X11InputInjectorTest, PointerLandsOnTheRoundedRootPixel) {
  auto window = screenWindow();
  struct Case {
    Point location;
    int x, y;
  };
  const Case cases[] = {
      {{10.4, 20.6}, 10, 21},
      {{300.5, 200.49}, 301, 200},         // halves round away from zero
      {{-25, 1e9}, 0, screenHeight - 1},   // the server keeps it on screen; nothing wraps
      {{639.2, 0}, screenWidth - 1, 0},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    injector_->post(mouse(Type::mouseMoved, cases[i].location.x, cases[i].location.y));
    auto moves = window->waitFor(XCB_MOTION_NOTIFY, i + 1, waitMs);
    ASSERT_EQ(moves.size(), i + 1);
    EXPECT_EQ(moves.back().x, cases[i].x);
    EXPECT_EQ(moves.back().y, cases[i].y);
    XClient::Pointer p = client_->pointer();
    EXPECT_EQ(p.x, cases[i].x);
    EXPECT_EQ(p.y, cases[i].y);
  }
}

TEST_F(X11InputInjectorTest, ClickAndDragReachTheWindowWhereTheyHappen) {
  TestWindow window(*client_, 100, 100, 300, 200, 0x306030);
  post({mouse(Type::leftMouseDown, 150.4, 120.6), mouse(Type::leftMouseDragged, 250, 180),
        mouse(Type::leftMouseUp, 250, 180), mouse(Type::rightMouseDown, 200, 150),
        mouse(Type::rightMouseUp, 200, 150)});
  auto releases = window.waitFor(XCB_BUTTON_RELEASE, 2, waitMs);
  auto presses = window.waitFor(XCB_BUTTON_PRESS, 2, waitMs);
  ASSERT_EQ(presses.size(), 2u);
  ASSERT_EQ(releases.size(), 2u);

  EXPECT_EQ(presses[0].detail, 1);
  EXPECT_EQ(presses[0].x, 150);
  EXPECT_EQ(presses[0].y, 121);
  EXPECT_EQ(releases[0].detail, 1);
  EXPECT_EQ(releases[0].x, 250);
  EXPECT_EQ(releases[0].y, 180);
  bool dragged = false;
  for (const auto& m : window.waitFor(XCB_MOTION_NOTIFY, 1, waitMs)) {
    dragged |= m.x == 250 && m.y == 180 && (m.state & XCB_BUTTON_MASK_1);
  }
  EXPECT_TRUE(dragged) << "no motion with button 1 held to (250, 180)";

  EXPECT_EQ(presses[1].detail, 3);
  EXPECT_EQ(presses[1].x, 200);
  EXPECT_EQ(presses[1].y, 150);
  EXPECT_EQ(releases[1].detail, 3);
  EXPECT_EQ(client_->pointer().mask & buttonBits, 0);
}

TEST_F(X11InputInjectorTest, ButtonFlagsHoldTheirModifiersAroundTheButtonOnly) {
  auto window = screenWindow();
  post({mouse(Type::leftMouseDown, 50, 60, shift | command), mouse(Type::leftMouseUp, 50, 60, shift | command)});
  // Shift and Control go down and up around each of the two button events.
  auto keyReleases = window->waitFor(XCB_KEY_RELEASE, 4, waitMs);
  ASSERT_EQ(keyReleases.size(), 4u);
  auto presses = window->waitFor(XCB_BUTTON_PRESS, 1, waitMs);
  auto releases = window->waitFor(XCB_BUTTON_RELEASE, 1, waitMs);
  ASSERT_EQ(presses.size(), 1u);
  ASSERT_EQ(releases.size(), 1u);
  EXPECT_EQ(presses[0].state & modifierBits, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL);
  EXPECT_EQ(releases[0].state & modifierBits, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL);
  EXPECT_EQ(client_->pointer().mask & (modifierBits | buttonBits), 0);
}

TEST_F(X11InputInjectorTest, ScrollsBecomeWheelClicksWithTheRemainderCarried) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::int32_t, std::int32_t>> deltas;  // (vertical, horizontal)
    int up, down, left, right;                                  // buttons 4, 5, 6, 7
  };
  const Case cases[] = {
      {"one click up", {{40, 0}}, 1, 0, 0, 0},
      {"remainder completes a click", {{100, 0}, {20, 0}}, 3, 0, 0, 0},
      {"down in small steps", {{-30, 0}, {-30, 0}, {-30, 0}}, 0, 2, 0, 0},
      {"horizontal both ways", {{0, 80}, {0, -45}, {0, -35}}, 0, 0, 2, 2},
      {"short of a click on both axes", {{39, -39}}, 0, 0, 0, 0},
      {"a huge delta is capped", {{10000, -10000}}, 25, 0, 0, 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    injector_ = open();  // fresh remainders
    ASSERT_TRUE(injector_);
    TestWindow window(*client_, 0, 0, screenWidth, screenHeight, 0x603030);
    injector_->post(mouse(Type::mouseMoved, 320, 240));
    for (auto [v, h] : c.deltas) injector_->post(scroll(v, h));
    // The right click marks the end: everything before it has arrived with it.
    post({mouse(Type::rightMouseDown, 320, 240), mouse(Type::rightMouseUp, 320, 240)});
    const std::size_t expected = std::size_t(c.up + c.down + c.left + c.right);
    auto presses = window.waitFor(XCB_BUTTON_PRESS, expected + 1, waitMs);
    ASSERT_EQ(presses.size(), expected + 1);
    ASSERT_EQ(presses.back().detail, 3) << "more clicks than expected";
    int count[8] = {};
    for (const auto& p : presses) count[p.detail & 7]++;
    EXPECT_EQ(count[4], c.up);
    EXPECT_EQ(count[5], c.down);
    EXPECT_EQ(count[6], c.left);
    EXPECT_EQ(count[7], c.right);
  }
}

TEST_F(X11InputInjectorTest, ZoomIsControlWithWheelClicksOnItsOwnRemainder) {
  auto window = screenWindow();
  post({mouse(Type::mouseMoved, 320, 240),
        scroll(20, 0), zoom(10),  // half a click each, kept apart
        scroll(20, 0),            // completes a scroll click: button 4 without Control
        zoom(10),                 // completes a zoom click: button 4 with Control
        zoom(-50), zoom(-10),     // out: two clicks, then the remainder makes a third
        mouse(Type::rightMouseDown, 320, 240), mouse(Type::rightMouseUp, 320, 240)});
  auto presses = window->waitFor(XCB_BUTTON_PRESS, 6, waitMs);
  ASSERT_EQ(presses.size(), 6u);
  std::vector<std::pair<int, bool>> got;  // (button, Control held)
  for (const auto& p : presses) got.emplace_back(p.detail, (p.state & XCB_MOD_MASK_CONTROL) != 0);
  EXPECT_EQ(got, (std::vector<std::pair<int, bool>>{
                     {4, false}, {4, true}, {5, true}, {5, true}, {5, true}, {3, false}}));
}

TEST_F(X11InputInjectorTest, TypedTextArrivesAsKeysOfItsKeysyms) {
  struct Case {
    std::u16string text;
    xcb_keysym_t keysym;
    bool shifted;
  };
  const Case cases[] = {
      {u"a", XKB_KEY_a, false},
      {u"A", XKB_KEY_A, true},
      {u"!", XKB_KEY_exclam, true},
      {u"@", XKB_KEY_at, true},
      {u"\n", XKB_KEY_Return, false},
      {u"é", XKB_KEY_eacute, false},        // no US key: a spare keycode
      {u"ж", XKB_KEY_Cyrillic_zhe, false},
      {u"✓", XKB_KEY_checkmark, false},
      {u"\U0001F600", 0x101F600, false},    // a surrogate pair is one character
  };
  auto window = screenWindow();
  std::size_t keyPresses = 0;
  for (const Case& c : cases) {
    post({text(c.text), textRelease()});
    keyPresses += c.shifted ? 2 : 1;
  }
  auto presses = window->waitFor(XCB_KEY_PRESS, keyPresses, waitMs);
  ASSERT_EQ(presses.size(), keyPresses);
  Keymap keymap = Keymap::read(*client_);  // while the injector, and its spare keycodes, live
  auto typed = withoutModifiers(presses, keymap);
  ASSERT_EQ(typed.size(), std::size(cases));
  for (std::size_t i = 0; i < typed.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(keymap.typed(typed[i].detail, typed[i].state), cases[i].keysym);
    EXPECT_EQ((typed[i].state & XCB_MOD_MASK_SHIFT) != 0, cases[i].shifted);
  }
}

TEST_F(X11InputInjectorTest, MacKeysArriveAsTheirKeysymsWithTheirModifiers) {
  struct Case {
    std::uint16_t code;
    std::uint64_t flags;
    xcb_keysym_t keysym;
    std::uint16_t modifiers;
  };
  const Case cases[] = {
      {8, command, XKB_KEY_c, XCB_MOD_MASK_CONTROL},  // copy
      {8, 0, XKB_KEY_c, 0},
      {18, shift, XKB_KEY_exclam, XCB_MOD_MASK_SHIFT},
      {0, option | shift, XKB_KEY_A, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_1},
      {36, 0, XKB_KEY_Return, 0},
      {51, 0, XKB_KEY_BackSpace, 0},
      {117, 0, XKB_KEY_Delete, 0},
      {116, 0, XKB_KEY_Prior, 0},
      {123, 0, XKB_KEY_Left, 0},
      {122, 0, XKB_KEY_F1, 0},
  };
  auto window = screenWindow();
  std::size_t releases = 0;
  for (const Case& c : cases) {
    post({key(true, c.code, c.flags), key(false, c.code, c.flags)});
    releases += 1 + std::size_t(std::popcount(c.modifiers));
  }
  auto got = window->waitFor(XCB_KEY_RELEASE, releases, waitMs);
  ASSERT_EQ(got.size(), releases);
  Keymap keymap = Keymap::read(*client_);
  auto typed = withoutModifiers(window->waitFor(XCB_KEY_PRESS, releases, waitMs), keymap);
  ASSERT_EQ(typed.size(), std::size(cases));
  for (std::size_t i = 0; i < typed.size(); ++i) {
    SCOPED_TRACE("Mac key " + std::to_string(cases[i].code));
    EXPECT_EQ(keymap.typed(typed[i].detail, typed[i].state), cases[i].keysym);
    EXPECT_EQ(typed[i].state & modifierBits, cases[i].modifiers);
  }
  EXPECT_EQ(client_->pointer().mask & modifierBits, 0);
}

TEST_F(X11InputInjectorTest, ReleaseAllLetsGoOfHeldButtonsKeysAndModifiers) {
  auto window = screenWindow();
  post({mouse(Type::leftMouseDown, 50, 50), key(true, 0, shift | command)});
  ASSERT_EQ(window->waitFor(XCB_KEY_PRESS, 3, waitMs).size(), 3u);  // Shift, Control, a
  EXPECT_EQ(client_->pointer().mask & (modifierBits | buttonBits),
            std::uint16_t{XCB_BUTTON_MASK_1} | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL);

  injector_->releaseAll();
  EXPECT_EQ(window->waitFor(XCB_KEY_RELEASE, 3, waitMs).size(), 3u);
  auto buttons = window->waitFor(XCB_BUTTON_RELEASE, 1, waitMs);
  ASSERT_EQ(buttons.size(), 1u);
  EXPECT_EQ(buttons[0].detail, 1);
  EXPECT_EQ(client_->pointer().mask & (modifierBits | buttonBits), 0);
}

// Typed text travels on key 0, which is also the Mac's "a": its release must not let go of a
// held "a", nor type anything.
TEST_F(X11InputInjectorTest, TextReleasesAndEmptyTextProduceNothing) {
  auto window = screenWindow();
  post({key(true, 0, 0),                       // a, held throughout
        text(u"x"), textRelease(),             // typed on the press; the release is empty
        text(u""), textRelease(),              // empty text
        text(std::nullopt), textRelease(),     // no text at all
        key(false, 2, 0),                      // release of a key never pressed
        key(true, 1, 0), key(false, 1, 0)});   // marker: s
  auto releases = window->waitFor(XCB_KEY_RELEASE, 2, waitMs);
  auto presses = window->waitFor(XCB_KEY_PRESS, 3, waitMs);
  Keymap keymap = Keymap::read(*client_);
  auto keysyms = [&](const std::vector<TestWindow::Event>& events) {
    std::vector<xcb_keysym_t> out;
    for (const auto& e : events) out.push_back(keymap.at(e.detail, 0));
    return out;
  };
  EXPECT_EQ(keysyms(presses), (std::vector<xcb_keysym_t>{XKB_KEY_a, XKB_KEY_x, XKB_KEY_s}));
  EXPECT_EQ(keysyms(releases), (std::vector<xcb_keysym_t>{XKB_KEY_x, XKB_KEY_s}));
  EXPECT_EQ(window->received().size(), 5u) << "other key or button events arrived";

  injector_->post(key(false, 0, 0));  // a's own release still finds it held
  EXPECT_EQ(keysyms(window->waitFor(XCB_KEY_RELEASE, 3, waitMs)),
            (std::vector<xcb_keysym_t>{XKB_KEY_x, XKB_KEY_s, XKB_KEY_a}));
}

TEST_F(X11InputInjectorTest, SpareKeycodesGetNoSymbolBackOnDestruction) {
  Keymap before = Keymap::read(*client_);
  auto window = screenWindow();
  post({text(u"ж✓"), textRelease()});
  auto presses = window->waitFor(XCB_KEY_PRESS, 2, waitMs);
  ASSERT_EQ(presses.size(), 2u);
  Keymap during = Keymap::read(*client_);
  for (const auto& p : presses) {
    EXPECT_TRUE(before.empty(p.detail)) << "keycode " << int(p.detail) << " was not spare";
  }
  EXPECT_EQ(during.at(presses[0].detail, 0), XKB_KEY_Cyrillic_zhe);
  EXPECT_EQ(during.at(presses[1].detail, 0), XKB_KEY_checkmark);

  injector_.reset();  // returns once the server has the old mapping back
  Keymap after = Keymap::read(*client_);
  for (const auto& p : presses) EXPECT_TRUE(after.empty(p.detail)) << int(p.detail);
  EXPECT_EQ(after, before);
}

TEST_F(X11InputInjectorTest, SurvivesTheServerGoingAway) {
  const std::string display = server_->display();
  auto window = screenWindow();
  post({mouse(Type::leftMouseDown, 10, 10), key(true, 0, command), text(u"ж")});
  ASSERT_EQ(window->waitFor(XCB_KEY_PRESS, 3, waitMs).size(), 3u);
  window.reset();
  client_.reset();
  server_.reset();
  ASSERT_FALSE(X11InputInjector::open(display).ok());  // it is gone

  // Everything is dropped quietly, including what needs a round trip (a new spare keycode).
  post({mouse(Type::mouseMoved, 20, 20), scroll(400, 0), text(u"✓"), key(false, 0, command)});
  injector_->releaseAll();
  injector_.reset();
}

TEST(X11InputInjectorOpenTest, SaysWhyItCannotInject) {
  auto unreachable = X11InputInjector::open("not a display");
  ASSERT_FALSE(unreachable.ok());
  EXPECT_NE(unreachable.error().find("cannot connect to the X display not a display"), std::string::npos)
      << unreachable.error();

  std::string why;
  auto server = XServer::xvfb(320, 240, {"-extension", "XTEST"}, &why);
  if (!server) GTEST_SKIP() << why;
  auto noXTest = X11InputInjector::open(server->display());
  ASSERT_FALSE(noXTest.ok());
  EXPECT_NE(noXTest.error().find("no XTest extension"), std::string::npos) << noXTest.error();
  EXPECT_NE(noXTest.error().find(server->display()), std::string::npos) << noXTest.error();
}

}  // namespace
}  // namespace lumenbrook
