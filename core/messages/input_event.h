#pragma once
// What the phone's gestures become on the wire: pointer, buttons, scroll, zoom and keys.
// Units are points for pointer and scroll deltas; key codes and modifier bits are the Mac's.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/util/json.h"

namespace lumenbrook {

struct InputEvent {
  enum class Button { left, right };

  struct PointerMove {
    double dx = 0, dy = 0;
    friend bool operator==(const PointerMove&, const PointerMove&) = default;
  };
  struct ButtonEvent {
    Button button = Button::left;
    bool down = false;
    friend bool operator==(const ButtonEvent&, const ButtonEvent&) = default;
  };
  struct Scroll {
    double dx = 0, dy = 0;
    friend bool operator==(const Scroll&, const Scroll&) = default;
  };
  struct Zoom {
    double scale = 0;
    friend bool operator==(const Zoom&, const Zoom&) = default;
  };
  struct Key {
    std::uint16_t code = 0;
    bool down = false;
    std::uint32_t modifiers = 0;
    std::optional<std::string> text = std::nullopt;
    friend bool operator==(const Key&, const Key&) = default;
  };

  // Alternatives in wire declaration order: pointerMove, button, scroll, zoom, key.
  // The explicit initializer keeps InputEvent default-constructible: the variant's own
  // default constructor is unusable while the enclosing class is still incomplete.
  std::variant<PointerMove, ButtonEvent, Scroll, Zoom, Key> value = PointerMove{};

  friend bool operator==(const InputEvent&, const InputEvent&) = default;
};

const char* rawValue(InputEvent::Button b);  // "left" / "right"

void to_json(Json& j, const InputEvent& e);
void from_json(const Json& j, InputEvent& e);

}  // namespace lumenbrook
