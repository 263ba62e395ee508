#pragma once
// What the host does with a desktop: the pictures of each stream, and the phone's input
// mapped and replayed on it.
//
// Thread: DesktopInput is driven from the host service's loop only (onInput and
// onDisconnected run there), so it needs no lock; the backend it uses is thread-safe.

#include <functional>
#include <memory>

#include "core/input/input_mapper.h"
#include "core/messages/input_event.h"
#include "core/video/frame_source.h"
#include "desktop/display_backend.h"

namespace lumenbrook {

// The source of one stream, decided afresh each time so that a desktop that becomes
// capturable (or stops being so) takes effect at the next stream: the backend's virtual monitor
// while it can capture, else the test pattern `pattern` makes.
using PatternFactory = std::function<std::unique_ptr<FrameSource>()>;
[[nodiscard]] std::unique_ptr<FrameSource> makeStreamSource(DisplayBackend* backend, int width,
                                                            int height, const PatternFactory& pattern);

class DesktopInput {
 public:
  // REQUIRES: `backend` (may be null: every event is dropped) outlives this object. The
  // mapper starts at the pointer's position within the desktop's bounds.
  explicit DesktopInput(DisplayBackend* backend);

  // Maps one phone event and posts what it becomes. Dropped, leaving the mapper as it was,
  // while the desktop takes no input.
  void handle(const InputEvent& event);

  // A phone's connection ended: whatever it held is released, and the mapper forgets its
  // buttons so that the next phone's motion is not a drag.
  void phoneLeft();

  const InputMapper& mapper() const { return mapper_; }

 private:
  DisplayBackend* backend_;
  InputMapper mapper_;
  std::unique_ptr<InputInjector> injector_;  // made on the first event that can be posted
};

}  // namespace lumenbrook
