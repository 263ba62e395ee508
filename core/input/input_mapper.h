#pragma once
// Turns the input events of a logged-in phone into the host events that reproduce them.
//
// Thread: none of its own and no locking; the owner calls it from one queue at a time.

#include <cstdint>
#include <set>
#include <vector>

#include "core/input/host_event.h"
#include "core/messages/input_event.h"

namespace lumenbrook {

class InputMapper {
 public:
  // Every pointer and scroll delta from the phone, and every zoom amount, is kept within
  // +-deltaLimit so that the conversions to whole wheel units cannot overflow.
  static constexpr double deltaLimit = 10000.0;
  // Scroll amount per unit of pinch-scale change.
  static constexpr double zoomGain = 200.0;
  // The pointer stops this far inside the right and bottom edges of `bounds`.
  static constexpr double edgeMargin = 1.0;
  static constexpr std::uint64_t commandFlag = 0x100000;

  // Stores both as given; the start position is not clamped into `bounds`.
  InputMapper(Rect bounds, Point cursor) : bounds_(bounds), cursor_(cursor) {}

  const Rect& bounds() const { return bounds_; }
  void setBounds(Rect bounds) { bounds_ = bounds; }
  // The pointer position the mapper last produced; pointer motion on the host itself is
  // never read back.
  Point cursor() const { return cursor_; }
  // Buttons pressed through the mapper and not yet released. Nothing releases them when a
  // phone goes away.
  const std::set<InputEvent::Button>& down() const { return down_; }
  // Modifier flags of the most recent key event; button events carry them.
  std::uint64_t held() const { return held_; }

  // The host events for one phone event, in posting order, and the state they leave behind.
  // Every event from the phone yields exactly one host event; non-finite numbers are
  // zeroed and huge ones limited before they reach the result.
  [[nodiscard]] std::vector<HostEvent> events(const InputEvent& event);

  friend bool operator==(const InputMapper&, const InputMapper&) = default;

 private:
  HostEvent pointerMove(double dx, double dy);
  HostEvent button(InputEvent::Button b, bool down);
  HostEvent scroll(double dx, double dy) const;
  HostEvent zoom(double scale) const;
  HostEvent key(const InputEvent::Key& k);

  Rect bounds_;
  Point cursor_;
  std::set<InputEvent::Button> down_;
  std::uint64_t held_ = 0;
};

}  // namespace lumenbrook
