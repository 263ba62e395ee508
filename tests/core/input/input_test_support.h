#pragma once
// Builders and readable printing for input events in this folder's tests.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <variant>

#include "core/input/host_event.h"
#include "core/messages/input_event.h"

namespace lumenbrook {

inline InputEvent pointerMove(double dx, double dy) { return {InputEvent::PointerMove{dx, dy}}; }
inline InputEvent button(InputEvent::Button b, bool down) {
  return {InputEvent::ButtonEvent{b, down}};
}
inline InputEvent scroll(double dx, double dy) { return {InputEvent::Scroll{dx, dy}}; }
inline InputEvent zoom(double scale) { return {InputEvent::Zoom{scale}}; }
inline InputEvent key(std::uint16_t code, bool down, std::uint32_t modifiers,
                      std::optional<std::string> text = std::nullopt) {
  return {InputEvent::Key{code, down, modifiers, std::move(text)}};
}

inline void PrintTo(const InputEvent& e, std::ostream* os) {
  std::visit(
      [os](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, InputEvent::PointerMove>) {
          *os << "pointerMove(" << v.dx << ", " << v.dy << ")";
        } else if constexpr (std::is_same_v<V, InputEvent::ButtonEvent>) {
          *os << "button(" << (v.button == InputEvent::Button::left ? "left" : "right") << ", "
              << v.down << ")";
        } else if constexpr (std::is_same_v<V, InputEvent::Scroll>) {
          *os << "scroll(" << v.dx << ", " << v.dy << ")";
        } else if constexpr (std::is_same_v<V, InputEvent::Zoom>) {
          *os << "zoom(" << v.scale << ")";
        } else {
          *os << "key(" << v.code << ", " << v.down << ", 0x" << std::hex << v.modifiers
              << std::dec;
          if (v.text) *os << ", \"" << *v.text << "\"";
          *os << ")";
        }
      },
      e.value);
}

inline void PrintTo(const HostEvent& e, std::ostream* os) {
  *os << "{type " << static_cast<std::uint32_t>(e.type) << " at (" << e.location.x << ", "
      << e.location.y << ") button " << static_cast<std::uint32_t>(e.button) << " wheels "
      << e.wheelCount << ":" << e.wheel1 << "," << e.wheel2 << " key " << e.keyCode << " flags ";
  if (e.flags) {
    *os << "0x" << std::hex << *e.flags << std::dec;
  } else {
    *os << "none";
  }
  if (e.unicodeText) {
    *os << " text[";
    for (char16_t u : *e.unicodeText)
      *os << " U+" << std::hex << static_cast<unsigned>(u) << std::dec;
    *os << " ]";
  }
  *os << "}";
}

}  // namespace lumenbrook
