#pragma once
// A copy of an X server's core keyboard mapping (what GetKeyboardMapping returns), and the
// pool of spare keycodes the injector lends to keysyms that no key of the layout carries.
// Plain values without I/O: the injector reads the mapping and makes the changes.

#include <cstdint>
#include <optional>
#include <vector>

namespace lumenbrook {

class KeyboardMapping {
 public:
  // `keysyms` holds `keysymsPerKeycode` columns for each keycode from `minKeycode` on, as
  // the server sends them. A short or empty list gives a mapping without keys.
  KeyboardMapping(std::uint8_t minKeycode, std::uint8_t keysymsPerKeycode,
                  std::vector<std::uint32_t> keysyms);

  std::uint8_t keysymsPerKeycode() const { return perKeycode_; }

  // The keysym in `column` of `keycode`; NoSymbol (0) outside the mapping.
  [[nodiscard]] std::uint32_t keysym(std::uint8_t keycode, int column) const;
  // True when `keycode` lies in the mapping and carries no keysym in any column.
  [[nodiscard]] bool empty(std::uint8_t keycode) const;
  // Keycodes without any keysym, highest first (the top of the range is where layouts leave
  // unused keys).
  [[nodiscard]] std::vector<std::uint8_t> emptyKeycodes() const;

  // Where `keysym` can be typed without a group switch: the lowest keycode that has it in
  // column 0 (no modifier) if any, else the lowest with it in column 1 (Shift).
  struct Key {
    std::uint8_t keycode = 0;
    bool shift = false;
    friend bool operator==(const Key&, const Key&) = default;
  };
  [[nodiscard]] std::optional<Key> find(std::uint32_t keysym) const;

  // The row the injector sends to give `keycode` one keysym (both shift levels, so Shift
  // cannot change what it types), or to take it back (`keysym` 0: all NoSymbol).
  [[nodiscard]] std::vector<std::uint32_t> row(std::uint32_t keysym) const;
  // Applies that row locally, so lookups agree with the server before its MappingNotify.
  void assign(std::uint8_t keycode, std::uint32_t keysym);

 private:
  std::size_t offset(std::uint8_t keycode) const;  // REQUIRES: contains(keycode)
  bool contains(std::uint8_t keycode) const;

  std::uint8_t min_;
  std::uint8_t perKeycode_;
  std::size_t count_;  // keycodes held
  std::vector<std::uint32_t> keysyms_;
};

// Keycodes with no keysyms, lent to one keysym at a time: a keysym already lent keeps its
// keycode, an unlent keycode is used before any other, then the least recently used one.
class SpareKeycodes {
 public:
  // Re-reads the pool from a fresh mapping: keeps a lent keycode while the mapping still has
  // its keysym, frees one the mapping shows empty again, forgets one another client gave
  // other keysyms (it is not ours to restore any more), and adopts keycodes newly empty.
  void sync(const KeyboardMapping& mapping);

  // A lookup typed `keycode`: if it is lent, it becomes the most recently used.
  void touch(std::uint8_t keycode);

  // The keycode to lend to `keysym`, skipping keycodes for which `busy` is true (held down);
  // `remap` says whether the mapping must change. None when every keycode is busy or the
  // pool is empty. REQUIRES: keysym != 0 (NoSymbol).
  struct Lease {
    std::uint8_t keycode = 0;
    bool remap = false;
    friend bool operator==(const Lease&, const Lease&) = default;
  };
  template <class Busy>
  [[nodiscard]] std::optional<Lease> lend(std::uint32_t keysym, Busy&& busy);

  // The mapping change for `keycode` failed: it is unlent again.
  void unlend(std::uint8_t keycode);

  // Keycodes currently lent, which must get NoSymbol back at the end.
  [[nodiscard]] std::vector<std::uint8_t> lent() const;
  std::size_t size() const { return slots_.size(); }

 private:
  struct Slot {
    std::uint8_t keycode = 0;
    std::uint32_t keysym = 0;  // 0 while not lent
    std::uint64_t lastUse = 0;
  };
  Slot* slotOf(std::uint8_t keycode);

  std::vector<Slot> slots_;  // highest keycode first
  std::uint64_t clock_ = 0;
};

template <class Busy>
std::optional<SpareKeycodes::Lease> SpareKeycodes::lend(std::uint32_t keysym, Busy&& busy) {
  Slot* best = nullptr;
  for (Slot& s : slots_) {
    if (s.keysym == keysym) {
      s.lastUse = ++clock_;
      return Lease{s.keycode, false};
    }
  }
  for (Slot& s : slots_) {
    if (busy(s.keycode)) continue;
    // Unlent slots have lastUse 0 or an old value; a never-used slot wins over any lent one.
    bool better = !best || (s.keysym == 0 && best->keysym != 0) ||
                  ((s.keysym == 0) == (best->keysym == 0) && s.lastUse < best->lastUse);
    if (better) best = &s;
  }
  if (!best) return std::nullopt;
  best->keysym = keysym;
  best->lastUse = ++clock_;
  return Lease{best->keycode, true};
}

}  // namespace lumenbrook
