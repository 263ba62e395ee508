#include "core/input/trackpad_interpreter.h"

#include <cmath>

namespace lumenbrook {

TrackpadInterpreter::TrackpadInterpreter(InputSink& sink) : TrackpadInterpreter(sink, Settings{}) {}

TrackpadInterpreter::TrackpadInterpreter(InputSink& sink, Settings settings)
    : settings_(settings), sink_(sink) {}

double TrackpadInterpreter::gain(double distance, double dt) const {
  double velocity = dt > 0 ? distance / dt : 0.0;
  double r = (velocity - velocityThreshold) / rampWidth;
  // A NaN ramp (NaN distance, or infinite distance over infinite time) gets the base gain.
  if (!(r > 0)) r = 0;
  if (r > rampLimit) r = rampLimit;
  return settings_.speed * (1 + settings_.acceleration * r);
}

void TrackpadInterpreter::move(double dx, double dy, double dt) {
  if (dx == 0 && dy == 0) return;
  if (!std::isfinite(dx) || !std::isfinite(dy)) return;
  double g = gain(std::sqrt(dx * dx + dy * dy), dt);
  sink_.send({InputEvent::PointerMove{dx * g, dy * g}});
}

void TrackpadInterpreter::tap(int fingers) {
  InputEvent::Button b = fingers > 1 ? InputEvent::Button::right : InputEvent::Button::left;
  sink_.send({InputEvent::ButtonEvent{b, true}});
  sink_.send({InputEvent::ButtonEvent{b, false}});
}

void TrackpadInterpreter::beginDrag() {
  if (dragging_) return;
  dragging_ = true;
  sink_.send({InputEvent::ButtonEvent{InputEvent::Button::left, true}});
}

void TrackpadInterpreter::endDrag() {
  if (!dragging_) return;
  dragging_ = false;
  sink_.send({InputEvent::ButtonEvent{InputEvent::Button::left, false}});
}

void TrackpadInterpreter::scroll(double dx, double dy) {
  if (!std::isfinite(dx) || !std::isfinite(dy)) return;
  double s = scrollSign();
  sink_.send({InputEvent::Scroll{dx * s, dy * s}});
}

void TrackpadInterpreter::pinch(double scale) {
  if (scale == 1 || !(std::isfinite(scale) && scale > 0)) return;
  sink_.send({InputEvent::Zoom{scale}});
}

void TrackpadInterpreter::step(Direction direction) {
  double p = settings_.pointerStep;
  switch (direction) {
    case Direction::left: sink_.send({InputEvent::PointerMove{-p, 0}}); break;
    case Direction::right: sink_.send({InputEvent::PointerMove{p, 0}}); break;
    case Direction::up: sink_.send({InputEvent::PointerMove{0, -p}}); break;
    case Direction::down: sink_.send({InputEvent::PointerMove{0, p}}); break;
  }
}

void TrackpadInterpreter::scrollStep(bool up) {
  double s = scrollSign();
  // 0 * s keeps the sign of s: -0.0 without natural scrolling.
  sink_.send({InputEvent::Scroll{0.0 * s, (up ? 120.0 : -120.0) * s}});
}

}  // namespace lumenbrook
