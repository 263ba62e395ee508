#pragma once
// Mac key vocabulary in X terms: which X keysym a Mac virtual key code (US ANSI layout) names,
// and which X modifier keys a set of Mac modifier flags asks for. Immutable tables; any thread.

#include <cstdint>
#include <optional>
#include <vector>

namespace lumenbrook {

struct MacKeysyms {
  MacKeysyms() = delete;

  // The keysym of the key's unshifted symbol (code 18 is "1", never "!"): the shift flag of
  // the event selects the shifted one. None for codes with no key on a US ANSI keyboard (the
  // ISO section key, JIS keys, fn) and for unused codes.
  [[nodiscard]] static std::optional<std::uint32_t> keysym(std::uint16_t macCode);

  // The modifier keysyms for CGEventFlags `flags`, each once, in pressing order (shift,
  // control, alt). Command becomes Control: the shortcuts a Mac user makes with Command
  // (copy, paste, undo, zoom) are Control shortcuts on Linux desktops. Other flag bits (caps
  // lock, fn, keypad) are ignored.
  [[nodiscard]] static std::vector<std::uint32_t> modifierKeysyms(std::uint64_t flags);
};

}  // namespace lumenbrook
