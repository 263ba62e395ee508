#pragma once
// The phone's screen as a trackpad: finger gestures become input events for the host.
// The interpreter owns pointer acceleration and the scrolling direction; the host applies
// the deltas it receives as they are.
//
// Thread: no lock; drive it from one thread (where gestures are recognised). Every gesture
// hands its events to the sink synchronously, in order, before returning.

#include "core/input/input_sink.h"
#include "core/messages/input_event.h"

namespace lumenbrook {

class TrackpadInterpreter {
 public:
  struct Settings {
    double speed = 1.6;            // finger points -> pointer points
    double acceleration = 1.2;     // extra amplification of fast motion, on top of speed
    bool naturalScrolling = true;  // false inverts both scroll axes
    double pointerStep = 40.0;     // points travelled by one arrow step
    friend bool operator==(const Settings&, const Settings&) = default;
  };

  enum class Direction { left, right, up, down };

  // Finger speeds in points per second: acceleration starts above velocityThreshold and
  // grows linearly over rampWidth, up to rampLimit (reached at 1500 points per second).
  static constexpr double velocityThreshold = 150.0;
  static constexpr double rampWidth = 900.0;
  static constexpr double rampLimit = 1.5;

  // REQUIRES: `sink` outlives the interpreter.
  explicit TrackpadInterpreter(InputSink& sink);
  TrackpadInterpreter(InputSink& sink, Settings settings);

  const Settings& settings() const { return settings_; }
  // Takes effect at the next gesture.
  void setSettings(const Settings& settings) { settings_ = settings; }
  // True while beginDrag() holds the left button.
  bool dragging() const { return dragging_; }

  // The multiplier for a finger travel of `distance` points over `dt` seconds. A dt that is
  // not positive counts as standing still.
  [[nodiscard]] double gain(double distance, double dt) const;

  // Gestures whose deltas are not finite send nothing: such an event could not be encoded
  // for the host.
  void move(double dx, double dy, double dt);
  // More than one finger is a right click.
  void tap(int fingers);
  // Paired so that the host never sees two left presses, or two left releases, in a row.
  void beginDrag();
  void endDrag();
  void scroll(double dx, double dy);
  // `scale` is relative to the previous report; 1 and anything not finite and positive
  // send nothing.
  void pinch(double scale);
  void step(Direction direction);
  void scrollStep(bool up);

 private:
  double scrollSign() const { return settings_.naturalScrolling ? 1.0 : -1.0; }

  Settings settings_;
  InputSink& sink_;
  bool dragging_ = false;
};

}  // namespace lumenbrook
