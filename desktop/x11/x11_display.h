#pragma once
// The X11 backend: a virtual monitor per stream on a free RandR output (mirroring the main
// monitor where there is none), MIT-SHM capture with the pointer drawn in, and XTest input.
// Capture needs MIT-SHM and XFIXES, input needs XTest; both are checked on a connection of
// its own, which is opened again when the server went away.
//
// Lifetime: sources and injectors it made may outlive it; they keep what they need.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "core/util/result.h"
#include "desktop/desktop.h"

struct xcb_connection_t;

namespace lumenbrook {

class VirtualMonitors;

class X11Display final : public DisplayBackend {
 public:
  struct Options {
    DesktopLog log;
    // Capture times count from here. The steady clock's epoch makes them readable by another
    // process on this machine (a phone on loopback measures real latency).
    std::chrono::steady_clock::time_point origin{};
  };

  // Connects to `display`; the error says what is missing (the display itself, MIT-SHM,
  // XFIXES or XTest). Without RandR every stream mirrors the main monitor.
  [[nodiscard]] static Result<std::unique_ptr<X11Display>, std::string> open(const std::string& display,
                                                                             Options options);
  ~X11Display() override;

  // The extensions found and whether virtual monitors can be made, for the log.
  std::string describe() const;

  std::string name() const override { return "x11"; }
  bool captureAllowed() override;
  bool inputAllowed() override;
  std::unique_ptr<FrameSource> makeSource(int width, int height) override;
  Rect desktopBounds() override;
  std::optional<Point> pointer() override;
  std::unique_ptr<InputInjector> makeInjector() override;

  // What the sources share with the display; public for the source in x11_display.cpp.
  struct Shared;

 private:
  X11Display(std::string display, Options options);
  bool connectLocked();

  std::shared_ptr<Shared> shared_;
  std::mutex mutex_;
  xcb_connection_t* connection_ = nullptr;  // guarded by mutex_
  bool shm_ = false, xfixes_ = false, xtest_ = false;
};

}  // namespace lumenbrook
