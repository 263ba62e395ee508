#pragma once
// The X11 backend: a virtual monitor per stream on a free RandR output (mirroring the main
// monitor where there is none), MIT-SHM capture with the pointer drawn in, and XTest input.
// Capture needs MIT-SHM and XFIXES, input needs XTest; both are checked on a connection of
// its own, which is opened again when the server went away.
//
// applications() reads the window manager's list (X11WindowList) and names the frontmost
// application from its desktop entry (DesktopEntries).
//
// Lifetime: sources and injectors it made may outlive it; they keep what they need.

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/util/result.h"
#include "desktop/desktop.h"

struct xcb_connection_t;

namespace lumenbrook {

class DesktopEntries;
class VirtualMonitors;
class X11WindowList;

class X11Display final : public DisplayBackend {
 public:
  struct Options {
    DesktopLog log;
    // Capture times count from here. The steady clock's epoch makes them readable by another
    // process on this machine (a phone on loopback measures real latency).
    std::chrono::steady_clock::time_point origin{};
    // Where desktop entries are looked for; empty: the XDG data directories.
    std::vector<std::filesystem::path> applicationDirectories{};
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
  RunningApplications applications() override;

  // What the sources share with the display; public for the source in x11_display.cpp.
  struct Shared;

 private:
  X11Display(std::string display, Options options);
  bool connectLocked();

  std::shared_ptr<Shared> shared_;
  std::unique_ptr<X11WindowList> windows_;
  std::unique_ptr<DesktopEntries> entries_;
  std::mutex mutex_;
  xcb_connection_t* connection_ = nullptr;  // guarded by mutex_
  bool shm_ = false, xfixes_ = false, xtest_ = false;
};

}  // namespace lumenbrook
