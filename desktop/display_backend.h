#pragma once
// One desktop session as the host needs it: pictures for each stream (a virtual monitor of the
// stream's size, or the main monitor mirrored), whether capture and input are possible, the
// desktop's geometry for the input mapper, and the injector that replays the phone's input.
// Each display server has a backend of its own (desktop/x11, desktop/wayland); makeDesktop()
// (desktop/desktop.h) picks one for the running session.
//
// Thread: every member may be called from any thread; the host service calls makeSource()
// on its loop, once per stream, and the status thread applications() every few seconds.

#include <memory>
#include <optional>
#include <string>

#include "core/input/host_event.h"
#include "core/video/frame_source.h"
#include "desktop/input_injector.h"

namespace lumenbrook {

// What a status report says of the desktop's applications.
struct RunningApplications {
  std::optional<std::string> frontmost;  // the name people know it by
  int count = 0;                         // distinct applications with normal windows
  friend bool operator==(const RunningApplications&, const RunningApplications&) = default;
};

class DisplayBackend {
 public:
  virtual ~DisplayBackend() = default;

  // A short name for log lines: "x11", "pattern".
  virtual std::string name() const = 0;

  // Whether the desktop's pictures can be captured now (what screen-recording permission
  // means elsewhere).
  virtual bool captureAllowed() = 0;
  // Whether input can be injected now (what accessibility trust means elsewhere).
  virtual bool inputAllowed() = 0;

  // The source of one stream's pictures, `width` x `height`: start() gives the desktop a
  // virtual monitor of that size at start()'s rate and captures it, or, where none can be
  // made, mirrors the main monitor scaled to that size. stop() removes the monitor. Never null.
  virtual std::unique_ptr<FrameSource> makeSource(int width, int height) = 0;

  // Every monitor, virtual ones included, as one rectangle in global coordinates (top-left
  // origin, y downwards, in the units the injector's pointer positions use). Follows changes
  // of the screen layout.
  virtual Rect desktopBounds() = 0;
  // Where the pointer is now; absent when it cannot be read.
  virtual std::optional<Point> pointer() = 0;

  // A new injector for this desktop; null when input is not possible.
  virtual std::unique_ptr<InputInjector> makeInjector() = 0;

  // The frontmost application's name as people know it and how many distinct applications
  // have normal windows; empty where the desktop does not tell. Never blocks on a server that
  // went away.
  virtual RunningApplications applications() { return {}; }
};

}  // namespace lumenbrook
