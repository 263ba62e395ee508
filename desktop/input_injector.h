#pragma once
// Replays platform-neutral host events (what InputMapper makes of a phone's input) on one
// desktop, and gives back whatever it still holds down when the phone goes away.
//
// Thread: not thread-safe; its owner calls it from one thread at a time (the host service's).

#include "core/input/host_event.h"

namespace lumenbrook {

class InputInjector {
 public:
  // Releases everything held and undoes every change made to the desktop (keyboard mapping).
  virtual ~InputInjector() = default;

  // Posts one event; an event the desktop cannot reproduce is dropped.
  virtual void post(const HostEvent& event) = 0;

  // Releases every button and key pressed through post() and not yet released, so that
  // nothing stays held after the phone's connection ends. Harmless when nothing is held.
  virtual void releaseAll() = 0;
};

}  // namespace lumenbrook
