#pragma once
// The key-code vocabulary of `key` input events: how a sender expresses typed text,
// shortcuts and hardware-keyboard keys so that the host can replay them.
//
// `code` is a Mac virtual key code for a US (ANSI) layout, or KeyMap::textOnly;
// `modifiers` is a mask of the Mac's event modifier flags. Stateless; the lookup tables are
// built once on first use (thread-safe) and never change, so every function may be called
// from any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/messages/input_event.h"

namespace lumenbrook {

struct KeyMap {
  KeyMap() = delete;

  // A key event with this code carries its character in `text` instead of a key.
  static constexpr std::uint16_t textOnly = 0xFFFF;

  enum class Modifier : std::uint32_t {
    shift = 0x20000,
    control = 0x40000,
    option = 0x80000,
    command = 0x100000,
  };
  static constexpr std::array<Modifier, 4> allModifiers{Modifier::shift, Modifier::control,
                                                        Modifier::option, Modifier::command};

  // Named keys by virtual key code. `deleteKey` is the key labelled delete (backspace).
  enum class Special : std::uint16_t {
    returnKey = 36,
    tab = 48,
    space = 49,
    deleteKey = 51,
    escape = 53,
    forwardDelete = 117,
    home = 115,
    end = 119,
    pageUp = 116,
    pageDown = 121,
    left = 123,
    right = 124,
    down = 125,
    up = 126,
  };
  static constexpr std::array<Special, 14> allSpecials{
      Special::returnKey,     Special::tab,   Special::space, Special::deleteKey, Special::escape,
      Special::forwardDelete, Special::home,  Special::end,   Special::pageUp,    Special::pageDown,
      Special::left,          Special::right, Special::down,  Special::up};

  struct Stroke {
    std::uint16_t code = 0;
    std::uint32_t modifiers = 0;
    friend bool operator==(const Stroke&, const Stroke&) = default;
  };

  // None for any value that names no case.
  [[nodiscard]] static std::optional<Modifier> modifierFromRawValue(std::uint32_t raw);
  [[nodiscard]] static std::optional<Special> specialFromRawValue(std::uint16_t code);

  // `character` is one user-perceived character in UTF-8, matched as a whole: the key that
  // types it on a US layout, with shift where needed; none when no key types it.
  [[nodiscard]] static std::optional<Stroke> key(std::string_view character);

  // A press and a release per extended grapheme cluster of the UTF-8 `text`. The press
  // always carries the character as text; characters without a key travel as textOnly.
  [[nodiscard]] static std::vector<InputEvent> events(std::string_view text);

  // A press and a release of `code` with the modifiers' flags on both (duplicates are
  // harmless). No events are made for the modifier keys themselves.
  [[nodiscard]] static std::array<InputEvent, 2> shortcut(std::uint16_t code,
                                                          const std::vector<Modifier>& modifiers);

  // USB HID keyboard/keypad page usages; none for keys without a mapping (Caps Lock,
  // function keys, keypad, out-of-range numbers).
  [[nodiscard]] static std::optional<std::uint16_t> macCode(std::int64_t hidUsage);
  [[nodiscard]] static std::optional<Modifier> modifier(std::int64_t hidUsage);
};

constexpr std::uint32_t rawValue(KeyMap::Modifier m) { return static_cast<std::uint32_t>(m); }
constexpr std::uint16_t rawValue(KeyMap::Special s) { return static_cast<std::uint16_t>(s); }

}  // namespace lumenbrook
