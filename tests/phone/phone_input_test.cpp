// The reference phone's input actions become what a phone's trackpad and keyboard send.

#include "phone/phone_input.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/input/key_map.h"

namespace lumenbrook {
namespace {

using Kind = InputAction::Kind;
using Button = InputEvent::Button;

InputEvent move(double dx, double dy) { return {InputEvent::PointerMove{dx, dy}}; }
InputEvent button(Button b, bool down) { return {InputEvent::ButtonEvent{b, down}}; }
InputEvent key(std::uint16_t code, bool down, std::uint32_t modifiers,
               std::optional<std::string> text = std::nullopt) {
  return {InputEvent::Key{code, down, modifiers, std::move(text)}};
}

constexpr std::uint32_t kShift = 0x20000, kControl = 0x40000, kCommand = 0x100000;

TEST(PhoneInput, EachActionSendsWhatAPhoneWould) {
  const struct {
    std::string option, value;
    std::vector<InputEvent> expected;
  } cases[] = {
      // Speed 1 without acceleration, however large the motion.
      {"--move", "300,-40", {move(300, -40)}},
      {"--click", "", {button(Button::left, true), button(Button::left, false)}},
      {"--right-click", "", {button(Button::right, true), button(Button::right, false)}},
      {"--drag", "50,25",
       {button(Button::left, true), move(50, 25), button(Button::left, false)}},
      {"--scroll", "0,-120", {{InputEvent::Scroll{0, -120}}}},
      {"--zoom", "1.25", {{InputEvent::Zoom{1.25}}}},
      {"--key", "return", {key(36, true, 0), key(36, false, 0)}},
      {"--key", "cmd+c", {key(8, true, kCommand), key(8, false, kCommand)}},
      {"--key", "ctrl+shift+tab",
       {key(48, true, kControl | kShift), key(48, false, kControl | kShift)}},
      // A shifted character names its own shift.
      {"--key", "A", {key(0, true, kShift), key(0, false, kShift)}},
      {"--key", "+", {key(24, true, kShift), key(24, false, kShift)}},
  };
  for (const auto& c : cases) {
    auto action = parseInputAction(c.option, c.value);
    ASSERT_TRUE(action.ok()) << c.option << " " << c.value << ": " << action.error();
    EXPECT_EQ(inputEvents(action.value()), c.expected) << c.option << " " << c.value;
  }
}

TEST(PhoneInput, TypedTextIsTheKeyMapsPressAndReleasePerCharacter) {
  auto action = parseInputAction("--type", "aé");
  ASSERT_TRUE(action.ok());
  EXPECT_EQ(inputEvents(action.value()), KeyMap::events("aé"));
  EXPECT_EQ(inputEvents(action.value()).size(), 4u);
}

TEST(PhoneInput, RefusesKeysItCannotName) {
  for (const char* bad : {"", "hyper+a", "cmd+", "f13", "return+cmd"}) {
    auto action = parseInputAction("--key", bad);
    ASSERT_FALSE(action.ok()) << bad;
    EXPECT_TRUE(action.error().starts_with("--key needs a character or a key name")) << bad;
  }
}

}  // namespace
}  // namespace lumenbrook
