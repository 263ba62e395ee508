#include "desktop/x11/keyboard_mapping.h"

#include <algorithm>
#include <utility>

namespace lumenbrook {

KeyboardMapping::KeyboardMapping(std::uint8_t minKeycode, std::uint8_t keysymsPerKeycode,
                                 std::vector<std::uint32_t> keysyms)
    : min_(minKeycode), perKeycode_(keysymsPerKeycode), keysyms_(std::move(keysyms)) {
  count_ = perKeycode_ == 0 ? 0 : keysyms_.size() / perKeycode_;
  // Keycodes stop at 255 whatever the server claims.
  count_ = std::min<std::size_t>(count_, 256 - std::size_t{min_});
  keysyms_.resize(count_ * perKeycode_);
}

bool KeyboardMapping::contains(std::uint8_t keycode) const {
  return keycode >= min_ && std::size_t{keycode} - min_ < count_;
}

std::size_t KeyboardMapping::offset(std::uint8_t keycode) const {
  return (std::size_t{keycode} - min_) * perKeycode_;
}

std::uint32_t KeyboardMapping::keysym(std::uint8_t keycode, int column) const {
  if (!contains(keycode) || column < 0 || column >= perKeycode_) return 0;
  return keysyms_[offset(keycode) + static_cast<std::size_t>(column)];
}

bool KeyboardMapping::empty(std::uint8_t keycode) const {
  if (!contains(keycode)) return false;
  auto first = keysyms_.begin() + static_cast<std::ptrdiff_t>(offset(keycode));
  return std::all_of(first, first + perKeycode_, [](std::uint32_t k) { return k == 0; });
}

std::vector<std::uint8_t> KeyboardMapping::emptyKeycodes() const {
  std::vector<std::uint8_t> out;
  for (std::size_t i = count_; i-- > 0;) {
    auto keycode = static_cast<std::uint8_t>(min_ + i);
    if (empty(keycode)) out.push_back(keycode);
  }
  return out;
}

std::optional<KeyboardMapping::Key> KeyboardMapping::find(std::uint32_t keysym) const {
  if (keysym == 0) return std::nullopt;
  for (int column = 0; column < std::min<int>(2, perKeycode_); ++column) {
    for (std::size_t i = 0; i < count_; ++i) {
      auto keycode = static_cast<std::uint8_t>(min_ + i);
      if (keysyms_[offset(keycode) + static_cast<std::size_t>(column)] == keysym) {
        return Key{keycode, column == 1};
      }
    }
  }
  return std::nullopt;
}

std::vector<std::uint32_t> KeyboardMapping::row(std::uint32_t keysym) const {
  std::vector<std::uint32_t> r(perKeycode_, 0);
  for (std::size_t i = 0; i < std::min<std::size_t>(2, r.size()); ++i) r[i] = keysym;
  return r;
}

void KeyboardMapping::assign(std::uint8_t keycode, std::uint32_t keysym) {
  if (!contains(keycode)) return;
  std::vector<std::uint32_t> r = row(keysym);
  std::copy(r.begin(), r.end(), keysyms_.begin() + static_cast<std::ptrdiff_t>(offset(keycode)));
}

SpareKeycodes::Slot* SpareKeycodes::slotOf(std::uint8_t keycode) {
  for (Slot& s : slots_) {
    if (s.keycode == keycode) return &s;
  }
  return nullptr;
}

void SpareKeycodes::sync(const KeyboardMapping& mapping) {
  std::vector<Slot> kept;
  for (std::uint8_t keycode : mapping.emptyKeycodes()) {
    Slot* old = slotOf(keycode);
    kept.push_back({keycode, 0, old ? old->lastUse : 0});
  }
  for (const Slot& s : slots_) {
    if (s.keysym != 0 && mapping.keysym(s.keycode, 0) == s.keysym) kept.push_back(s);
  }
  std::sort(kept.begin(), kept.end(), [](const Slot& a, const Slot& b) { return a.keycode > b.keycode; });
  slots_ = std::move(kept);
}

void SpareKeycodes::touch(std::uint8_t keycode) {
  Slot* s = slotOf(keycode);
  if (s && s->keysym != 0) s->lastUse = ++clock_;
}

void SpareKeycodes::unlend(std::uint8_t keycode) {
  if (Slot* s = slotOf(keycode)) s->keysym = 0;
}

std::vector<std::uint8_t> SpareKeycodes::lent() const {
  std::vector<std::uint8_t> out;
  for (const Slot& s : slots_) {
    if (s.keysym != 0) out.push_back(s.keycode);
  }
  return out;
}

}  // namespace lumenbrook
