#pragma once
// The reference phone's input actions, for scripts and tests that drive a computer as a user
// would: each action becomes the input events a phone's trackpad and keyboard make of it
// (through TrackpadInterpreter and KeyMap), in order.
//
//   --move DX,DY     pointer motion in points (the reference phone's trackpad has speed 1
//                    and no acceleration, so the host's pointer moves exactly that far)
//   --click          left click (a one-finger tap)      --right-click  two-finger tap
//   --drag DX,DY     left button held while moving
//   --scroll DX,DY   two-finger scroll in points (natural scrolling, as a phone sends it)
//   --zoom SCALE     one pinch report (1.1 = 10 % larger)
//   --key NAME       one key stroke: a character or return, tab, space, delete, escape,
//                    forwarddelete, home, end, pageup, pagedown, left, right, up, down,
//                    after modifiers joined with '+': cmd, ctrl, alt (option), shift
//                    (e.g. cmd+c, shift+tab)
//   --type TEXT      typed text, a press and a release per character

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/messages/input_event.h"
#include "core/util/result.h"

namespace lumenbrook {

struct InputAction {
  enum class Kind { move, click, rightClick, drag, scroll, zoom, key, type };
  Kind kind = Kind::move;
  double x = 0, y = 0;  // move, drag, scroll: the deltas; zoom: x is the scale
  std::string text{};   // key: the name as given; type: the text
  friend bool operator==(const InputAction&, const InputAction&) = default;
};

// Whether `option` is an input action, and whether it takes a value.
[[nodiscard]] bool isInputAction(std::string_view option);
[[nodiscard]] bool inputActionTakesValue(std::string_view option);

// One action from its option and value (empty for the flags); the error is a sentence.
[[nodiscard]] Result<InputAction, std::string> parseInputAction(std::string_view option,
                                                                std::string_view value);

// The events a phone sends for the action, in order.
[[nodiscard]] std::vector<InputEvent> inputEvents(const InputAction& action);

}  // namespace lumenbrook
