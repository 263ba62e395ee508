#pragma once
// Replays host events on an X display with XTest: absolute pointer motion in root
// coordinates, buttons and drags, scrolling as wheel clicks (buttons 4/5 and 6/7, the
// remainder carried), zoom as Control + wheel clicks, and keys through X keysyms: the Mac key
// code of the event to a keysym, then to the keycode that carries it in the current keymap at
// the shift level it needs, with the event's modifiers pressed and released around it.
// Characters that no key of the current layout types are typed through spare keycodes given
// that keysym for the moment (least recently used reused first), restored when the injector
// is destroyed.

#include <memory>
#include <string>

#include "core/util/result.h"
#include "desktop/input_injector.h"

namespace lumenbrook {

class X11InputInjector final : public InputInjector {
 public:
  // Connects to `display`; the error says why input cannot be injected (no display, no XTest).
  static Result<std::unique_ptr<X11InputInjector>, std::string> open(const std::string& display);
  ~X11InputInjector() override;

  void post(const HostEvent& event) override;
  void releaseAll() override;

 private:
  struct State;
  explicit X11InputInjector(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace lumenbrook
