#include "desktop/x11/x11_display.h"

#include <xcb/xcb.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "desktop/linux/desktop_entries.h"
#include "desktop/x11/virtual_monitors.h"
#include "desktop/x11/x11_capture.h"
#include "desktop/x11/x11_input_injector.h"
#include "desktop/x11/x11_window_list.h"
#include "desktop/x11/xcb_handles.h"

namespace lumenbrook {

struct X11Display::Shared {
  std::string display;
  Options options;
  std::shared_ptr<VirtualMonitors> monitors;  // null without RandR
  std::string noMonitorsReason;

  std::mutex logMutex;
  std::string lastMirrorReason;  // guarded by logMutex

  void log(const std::string& line) {
    if (options.log) options.log(line);
  }
  // Why a stream mirrors instead of getting its own monitor, said once per reason so that a
  // machine without free outputs does not repeat it for every stream.
  void logMirror(const std::string& reason) {
    {
      std::lock_guard lock(logMutex);
      if (reason == lastMirrorReason) return;
      lastMirrorReason = reason;
    }
    log("display: mirroring the main monitor: " + reason);
  }
};

namespace {

using x11::Reply;

xcb_screen_t* firstScreen(xcb_connection_t* c) {
  return xcb_setup_roots_iterator(xcb_get_setup(c)).data;
}

bool hasExtension(xcb_connection_t* c, const char* name) {
  Reply<xcb_query_extension_reply_t> r(
      xcb_query_extension_reply(c, xcb_query_extension(c, static_cast<std::uint16_t>(std::strlen(name)), name),
                                nullptr),
      &std::free);
  return r && r->present;
}

ScreenRegion wholeScreen(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  ScreenRegion region;
  if (!xcb_connection_has_error(c)) {
    xcb_screen_t* s = firstScreen(c);
    region = {0, 0, s->width_in_pixels, s->height_in_pixels};
  }
  xcb_disconnect(c);
  return region;
}

// A virtual monitor of the stream's size and rate with its capture, or the main monitor
// mirrored where no monitor can be made. Called on the service loop.
class X11MonitorSource final : public FrameSource {
 public:
  explicit X11MonitorSource(std::shared_ptr<X11Display::Shared> shared) : shared_(std::move(shared)) {}
  ~X11MonitorSource() override { stop(); }

  void start(int width, int height, int fps, Deliver deliver) override {
    stop();
    ScreenRegion region;
    std::string output;
    if (shared_->monitors) {
      auto monitor = shared_->monitors->create(width, height, fps);
      if (monitor) {
        monitor_ = std::move(monitor).value();
        region = monitor_->region();
        output = monitor_->output();
      } else {
        shared_->logMirror(monitor.error());
      }
    } else {
      shared_->logMirror(shared_->noMonitorsReason);
    }
    if (!monitor_) region = shared_->monitors ? shared_->monitors->mainMonitor() : wholeScreen(shared_->display);

    capture_ = std::make_shared<X11Capture>(shared_->display, region, shared_->options.origin,
                                            shared_->options.log);
    if (monitor_) {
      shared_->log("display: monitor " + std::to_string(width) + "x" + std::to_string(height) + "@" +
                   std::to_string(fps) + " on " + output + " at +" + std::to_string(region.x) + "+" +
                   std::to_string(region.y));
      // A real monitor plugged into our output takes it over: go on with the main monitor.
      monitor_->onLost([weakCapture = std::weak_ptr<X11Capture>(capture_), shared = shared_, output] {
        auto capture = weakCapture.lock();
        if (!capture) return;
        capture->setRegion(shared->monitors->mainMonitor());
        shared->log("display: a monitor was plugged into " + output + "; mirroring the main monitor");
      });
    }
    capture_->start(width, height, fps, std::move(deliver));
  }

  void stop() override {
    if (capture_) capture_->stop();
    capture_.reset();
    // After the capture, so that no frame of a half-removed monitor is grabbed.
    monitor_.reset();
  }

 private:
  std::shared_ptr<X11Display::Shared> shared_;
  std::unique_ptr<VirtualMonitors::Monitor> monitor_;
  std::shared_ptr<X11Capture> capture_;
};

}  // namespace

X11Display::X11Display(std::string display, Options options)
    : shared_(std::make_shared<Shared>()),
      windows_(std::make_unique<X11WindowList>(display)),
      entries_(options.applicationDirectories.empty()
                   ? std::make_unique<DesktopEntries>()
                   : std::make_unique<DesktopEntries>(options.applicationDirectories)) {
  shared_->display = std::move(display);
  shared_->options = std::move(options);
}

X11Display::~X11Display() {
  if (connection_) xcb_disconnect(connection_);
}

Result<std::unique_ptr<X11Display>, std::string> X11Display::open(const std::string& display,
                                                                  Options options) {
  auto result = std::unique_ptr<X11Display>(new X11Display(display, std::move(options)));
  {
    std::lock_guard lock(result->mutex_);
    if (!result->connectLocked()) return Failure(std::string("the display does not connect"));
    std::string missing;
    for (auto [present, name] : {std::pair{result->shm_, "MIT-SHM"}, std::pair{result->xfixes_, "XFIXES"},
                                 std::pair{result->xtest_, "XTEST"}}) {
      if (!present) missing += (missing.empty() ? "" : ", ") + std::string(name);
    }
    if (!missing.empty()) return Failure("the X server lacks " + missing);
  }
  auto monitors = VirtualMonitors::open(display, result->shared_->options.log);
  if (monitors) {
    result->shared_->monitors = std::move(monitors).value();
  } else {
    result->shared_->noMonitorsReason = monitors.error();
  }
  return result;
}

bool X11Display::connectLocked() {
  if (connection_) {
    // Reading what is pending (nothing is selected, so at most errors) notices a server that
    // went away without a round trip.
    while (xcb_generic_event_t* e = xcb_poll_for_event(connection_)) std::free(e);
    if (!xcb_connection_has_error(connection_)) return true;
  }
  if (connection_) xcb_disconnect(connection_);
  connection_ = xcb_connect(shared_->display.c_str(), nullptr);
  if (xcb_connection_has_error(connection_)) {
    xcb_disconnect(connection_);
    connection_ = nullptr;
    shm_ = xfixes_ = xtest_ = false;
    return false;
  }
  shm_ = hasExtension(connection_, "MIT-SHM");
  xfixes_ = hasExtension(connection_, "XFIXES");
  xtest_ = hasExtension(connection_, "XTEST");
  return true;
}

std::string X11Display::describe() const {
  if (shared_->monitors) return "virtual monitors on free RandR outputs";
  return "no virtual monitors: " + shared_->noMonitorsReason;
}

bool X11Display::captureAllowed() {
  std::lock_guard lock(mutex_);
  return connectLocked() && shm_ && xfixes_;
}

bool X11Display::inputAllowed() {
  std::lock_guard lock(mutex_);
  return connectLocked() && xtest_;
}

std::unique_ptr<FrameSource> X11Display::makeSource(int, int) {
  return std::make_unique<X11MonitorSource>(shared_);
}

Rect X11Display::desktopBounds() {
  if (shared_->monitors) return shared_->monitors->desktopBounds();
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return {};
  xcb_screen_t* s = firstScreen(connection_);
  return {0, 0, static_cast<double>(s->width_in_pixels), static_cast<double>(s->height_in_pixels)};
}

std::optional<Point> X11Display::pointer() {
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return std::nullopt;
  xcb_window_t root = firstScreen(connection_)->root;
  Reply<xcb_query_pointer_reply_t> r(
      xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root), nullptr), &std::free);
  if (!r) return std::nullopt;
  return Point{static_cast<double>(r->root_x), static_cast<double>(r->root_y)};
}

std::unique_ptr<InputInjector> X11Display::makeInjector() {
  auto injector = X11InputInjector::open(shared_->display);
  if (!injector) {
    shared_->log("input: " + injector.error());
    return nullptr;
  }
  return std::move(injector).value();
}

RunningApplications X11Display::applications() {
  X11WindowList::Classes classes = windows_->read();
  RunningApplications apps;
  apps.count = static_cast<int>(classes.classes.size());
  if (classes.active) apps.frontmost = entries_->nameFor(*classes.active);
  return apps;
}

}  // namespace lumenbrook
