#include "app/desktop_input.h"

namespace lumenbrook {
namespace {

InputMapper startingMapper(DisplayBackend* backend) {
  if (!backend) return InputMapper({}, {});
  Rect bounds = backend->desktopBounds();
  Point centre{bounds.x + bounds.width / 2, bounds.y + bounds.height / 2};
  return InputMapper(bounds, backend->pointer().value_or(centre));
}

}  // namespace

std::unique_ptr<FrameSource> makeStreamSource(DisplayBackend* backend, int width, int height,
                                              const PatternFactory& pattern) {
  if (backend && backend->captureAllowed()) return backend->makeSource(width, height);
  return pattern();
}

DesktopInput::DesktopInput(DisplayBackend* backend) : backend_(backend), mapper_(startingMapper(backend)) {}

void DesktopInput::handle(const InputEvent& event) {
  if (!backend_ || !backend_->inputAllowed()) return;
  if (!injector_) {
    injector_ = backend_->makeInjector();
    if (!injector_) return;
  }
  // Monitors come and go with streams; the pointer may travel over all of them.
  mapper_.setBounds(backend_->desktopBounds());
  for (const HostEvent& e : mapper_.events(event)) injector_->post(e);
}

void DesktopInput::phoneLeft() {
  if (injector_) injector_->releaseAll();
  mapper_ = InputMapper(mapper_.bounds(), mapper_.cursor());
}

}  // namespace lumenbrook
