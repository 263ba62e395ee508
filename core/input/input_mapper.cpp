#include "core/input/input_mapper.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "core/input/key_map.h"

namespace lumenbrook {
namespace {

// Infinite values count as garbage, not as "very far": they become 0 like NaN.
double limited(double v) {
  if (!std::isfinite(v)) return 0;
  return std::clamp(v, -InputMapper::deltaLimit, InputMapper::deltaLimit);
}

// REQUIRES: |v| <= deltaLimit, so the result fits.
std::int32_t wheelUnits(double v) {
  return static_cast<std::int32_t>(std::round(v));  // half away from zero
}

// Ill-formed UTF-8 becomes U+FFFD rather than being dropped or passed through.
std::u16string utf16(const std::string& text) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  return std::u16string(u.getBuffer(), static_cast<std::size_t>(u.length()));
}

}  // namespace

std::vector<HostEvent> InputMapper::events(const InputEvent& event) {
  return {std::visit(
      [this](const auto& e) -> HostEvent {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, InputEvent::PointerMove>) {
          return pointerMove(e.dx, e.dy);
        } else if constexpr (std::is_same_v<E, InputEvent::ButtonEvent>) {
          return button(e.button, e.down);
        } else if constexpr (std::is_same_v<E, InputEvent::Scroll>) {
          return scroll(e.dx, e.dy);
        } else if constexpr (std::is_same_v<E, InputEvent::Zoom>) {
          return zoom(e.scale);
        } else {
          static_assert(std::is_same_v<E, InputEvent::Key>);
          return key(e);
        }
      },
      event.value)};
}

HostEvent InputMapper::pointerMove(double dx, double dy) {
  // max before min: a rectangle less than one point wide or high holds no position, and
  // the pointer ends at maxX - 1 (minX - 1 when empty). Display bounds are never that small.
  double x =
      std::min(std::max(cursor_.x + limited(dx), bounds_.minX()), bounds_.maxX() - edgeMargin);
  double y =
      std::min(std::max(cursor_.y + limited(dy), bounds_.minY()), bounds_.maxY() - edgeMargin);
  cursor_ = {x, y};

  bool left = down_.contains(InputEvent::Button::left);
  bool right = down_.contains(InputEvent::Button::right);
  HostEvent::Type type = left    ? HostEvent::Type::leftMouseDragged
                         : right ? HostEvent::Type::rightMouseDragged
                                 : HostEvent::Type::mouseMoved;
  return {.type = type,
          .location = cursor_,
          .button = right ? HostEvent::MouseButton::right : HostEvent::MouseButton::left};
}

HostEvent InputMapper::button(InputEvent::Button b, bool down) {
  bool isLeft = b == InputEvent::Button::left;
  HostEvent::Type type;
  if (down) {
    down_.insert(b);
    type = isLeft ? HostEvent::Type::leftMouseDown : HostEvent::Type::rightMouseDown;
  } else {
    // A release of a button that is not held is still posted: the host may hold it
    // because of an earlier session.
    down_.erase(b);
    type = isLeft ? HostEvent::Type::leftMouseUp : HostEvent::Type::rightMouseUp;
  }
  return {.type = type,
          .location = cursor_,
          .button = isLeft ? HostEvent::MouseButton::left : HostEvent::MouseButton::right,
          .flags = held_};
}

HostEvent InputMapper::scroll(double dx, double dy) const {
  return {.type = HostEvent::Type::scrollWheel,
          .scrollUnit = HostEvent::ScrollUnit::pixel,
          .wheelCount = 2,
          .wheel1 = wheelUnits(limited(dy)),
          .wheel2 = wheelUnits(limited(dx))};
}

HostEvent InputMapper::zoom(double scale) const {
  double amount = (scale - 1) * zoomGain;
  amount = std::isfinite(amount) ? std::clamp(amount, -deltaLimit, deltaLimit) : 0.0;
  // A scale of exactly 1 still gives an event of amount 0.
  return {.type = HostEvent::Type::scrollWheel,
          .scrollUnit = HostEvent::ScrollUnit::pixel,
          .wheelCount = 1,
          .wheel1 = wheelUnits(amount),
          .flags = commandFlag};
}

HostEvent InputMapper::key(const InputEvent::Key& k) {
  // Every key event, press or release, text or not, replaces the held modifiers.
  held_ = k.modifiers;
  HostEvent::Type type = k.down ? HostEvent::Type::keyDown : HostEvent::Type::keyUp;
  if (k.code != KeyMap::textOnly) {
    return {.type = type, .keyCode = k.code, .flags = std::uint64_t{k.modifiers}};
  }
  // Typed text goes on key 0 without flags, so held modifiers cannot turn it into a shortcut.
  HostEvent e{.type = type, .keyCode = 0};
  if (k.text) e.unicodeText = utf16(*k.text);
  return e;
}

}  // namespace lumenbrook
