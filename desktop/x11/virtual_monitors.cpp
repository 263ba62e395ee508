#include "desktop/x11/virtual_monitors.h"

#include <libxcvt/libxcvt.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "desktop/x11/xcb_handles.h"

namespace lumenbrook {
namespace {

using x11::Connection;
using x11::own;
using x11::Reply;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Every mode this class makes carries this prefix; open() removes any it finds, since only a
// process that ended without cleaning up can have left one behind.
constexpr std::string_view kModePrefix = "Lumenbrook-";

// xcb writes with writev(), which raises SIGPIPE (its default action ends the process) when the
// server is gone. xcb polls and reads before it writes, so it mostly sees the end of the stream
// first, but a server that dies between the two still kills us. Blocking SIGPIPE on this
// thread while requests are written, then discarding one that became pending, turns that into
// a broken connection (which every caller checks) without touching the process's signal
// disposition.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    pendingBefore_ = pending();
  }
  ~SigpipeGuard() {
    if (!pendingBefore_ && pending()) {
      timespec zero{};
      while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    if (!sigismember(&previous_, SIGPIPE)) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  bool pending() const {
    sigset_t set;
    sigemptyset(&set);
    sigpending(&set);
    return sigismember(&set, SIGPIPE) == 1;
  }
  sigset_t pipe_{}, previous_{};
  bool pendingBefore_ = false;
};

// Other clients wait while a monitor is made or removed, so that two processes never pick the
// same CRTC or size the screen from the same stale layout.
class ServerGrab {
 public:
  explicit ServerGrab(xcb_connection_t* c) : c_(c) { xcb_grab_server(c_); }
  ~ServerGrab() {
    xcb_ungrab_server(c_);
    xcb_flush(c_);
  }
  ServerGrab(const ServerGrab&) = delete;
  ServerGrab& operator=(const ServerGrab&) = delete;

 private:
  xcb_connection_t* c_;
};

std::string errorName(std::uint8_t code) {
  switch (code) {
    case XCB_VALUE: return "BadValue";
    case XCB_MATCH: return "BadMatch";
    case XCB_ACCESS: return "BadAccess";
    case XCB_ALLOC: return "BadAlloc";
    case XCB_NAME: return "BadName";
    case XCB_LENGTH: return "BadLength";
    default: return "error " + std::to_string(code);
  }
}

// Empty when the request succeeded, else the X error's name.
std::optional<std::string> check(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  auto error = own(xcb_request_check(c, cookie));
  if (error) return errorName(error->error_code);
  if (xcb_connection_has_error(c)) return std::string("a lost connection");
  return std::nullopt;
}

std::string sizeText(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

struct CrtcState {
  xcb_randr_crtc_t id = XCB_NONE;
  xcb_randr_mode_t mode = XCB_NONE;
  int x = 0, y = 0, width = 0, height = 0;
  std::vector<xcb_randr_output_t> outputs;

  bool active() const { return mode != XCB_NONE; }
  bool free() const { return mode == XCB_NONE && outputs.empty(); }
  bool drives(xcb_randr_output_t output) const {
    return std::find(outputs.begin(), outputs.end(), output) != outputs.end();
  }
};

struct OutputState {
  xcb_randr_output_t id = XCB_NONE;
  std::string name;
  std::uint8_t connection = XCB_RANDR_CONNECTION_UNKNOWN;
  xcb_randr_crtc_t crtc = XCB_NONE;
  std::vector<xcb_randr_crtc_t> crtcs;  // the possible ones
  std::vector<xcb_randr_mode_t> modes;
};

struct ModeState {
  xcb_randr_mode_info_t info{};
  std::string name;
};

// One reading of the screen's RandR configuration.
struct Layout {
  xcb_timestamp_t configTimestamp = 0;
  int screenWidth = 0, screenHeight = 0;
  std::vector<CrtcState> crtcs;
  std::vector<OutputState> outputs;
  std::vector<ModeState> modes;

  const CrtcState* crtc(xcb_randr_crtc_t id) const {
    for (const auto& c : crtcs) {
      if (c.id == id) return &c;
    }
    return nullptr;
  }
  const ModeState* modeNamed(std::string_view name) const {
    for (const auto& m : modes) {
      if (m.name == name) return &m;
    }
    return nullptr;
  }
  // Right and bottom edges of the active CRTCs: the smallest screen that holds them.
  std::pair<int, int> extent() const {
    int right = 0, bottom = 0;
    for (const auto& c : crtcs) {
      if (!c.active()) continue;
      right = std::max(right, c.x + c.width);
      bottom = std::max(bottom, c.y + c.height);
    }
    return {right, bottom};
  }
  Rect bounds() const {
    std::optional<Rect> box;
    for (const auto& c : crtcs) {
      if (!c.active()) continue;
      if (!box) {
        box = Rect{double(c.x), double(c.y), double(c.width), double(c.height)};
        continue;
      }
      double left = std::min(box->x, double(c.x)), top = std::min(box->y, double(c.y));
      double right = std::max(box->maxX(), double(c.x + c.width));
      double bottom = std::max(box->maxY(), double(c.y + c.height));
      box = Rect{left, top, right - left, bottom - top};
    }
    return box.value_or(Rect{0, 0, double(screenWidth), double(screenHeight)});
  }
};

// The replies are requested all at once and collected afterwards: one round trip's latency
// for the whole layout instead of one per CRTC and output.
std::optional<Layout> queryLayout(xcb_connection_t* c, xcb_window_t root) {
  auto geometryCookie = xcb_get_geometry(c, root);
  // The "current" variant: the full one makes drivers probe their outputs, which can take
  // long on real hardware and is not needed to read what is configured.
  auto resourcesCookie = xcb_randr_get_screen_resources_current(c, root);
  auto geometry = own(xcb_get_geometry_reply(c, geometryCookie, nullptr));
  auto res = own(xcb_randr_get_screen_resources_current_reply(c, resourcesCookie, nullptr));
  if (!geometry || !res) return std::nullopt;

  Layout layout;
  layout.configTimestamp = res->config_timestamp;
  layout.screenWidth = geometry->width;
  layout.screenHeight = geometry->height;

  const xcb_randr_crtc_t* crtcIds = xcb_randr_get_screen_resources_current_crtcs(res.get());
  const int crtcCount = xcb_randr_get_screen_resources_current_crtcs_length(res.get());
  const xcb_randr_output_t* outputIds = xcb_randr_get_screen_resources_current_outputs(res.get());
  const int outputCount = xcb_randr_get_screen_resources_current_outputs_length(res.get());
  std::vector<xcb_randr_get_crtc_info_cookie_t> crtcCookies;
  std::vector<xcb_randr_get_output_info_cookie_t> outputCookies;
  for (int i = 0; i < crtcCount; ++i) {
    crtcCookies.push_back(xcb_randr_get_crtc_info(c, crtcIds[i], res->config_timestamp));
  }
  for (int i = 0; i < outputCount; ++i) {
    outputCookies.push_back(xcb_randr_get_output_info(c, outputIds[i], res->config_timestamp));
  }
  for (int i = 0; i < crtcCount; ++i) {
    auto info = own(xcb_randr_get_crtc_info_reply(c, crtcCookies[i], nullptr));
    if (!info) return std::nullopt;
    CrtcState crtc;
    crtc.id = crtcIds[i];
    crtc.mode = info->mode;
    crtc.x = info->x;
    crtc.y = info->y;
    crtc.width = info->width;
    crtc.height = info->height;
    const xcb_randr_output_t* outs = xcb_randr_get_crtc_info_outputs(info.get());
    crtc.outputs.assign(outs, outs + xcb_randr_get_crtc_info_outputs_length(info.get()));
    layout.crtcs.push_back(std::move(crtc));
  }
  for (int i = 0; i < outputCount; ++i) {
    auto info = own(xcb_randr_get_output_info_reply(c, outputCookies[i], nullptr));
    if (!info) return std::nullopt;
    OutputState output;
    output.id = outputIds[i];
    output.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                       static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get())));
    output.connection = info->connection;
    output.crtc = info->crtc;
    const xcb_randr_crtc_t* possible = xcb_randr_get_output_info_crtcs(info.get());
    output.crtcs.assign(possible, possible + xcb_randr_get_output_info_crtcs_length(info.get()));
    const xcb_randr_mode_t* modes = xcb_randr_get_output_info_modes(info.get());
    output.modes.assign(modes, modes + xcb_randr_get_output_info_modes_length(info.get()));
    layout.outputs.push_back(std::move(output));
  }
  const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res.get());
  const int modeCount = xcb_randr_get_screen_resources_current_modes_length(res.get());
  const char* names =
      reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(res.get()));
  for (int i = 0, offset = 0; i < modeCount; ++i) {
    layout.modes.push_back({modes[i], std::string(names + offset, modes[i].name_len)});
    offset += modes[i].name_len;
  }
  return layout;
}

// CVT reduced-blanking timings for exactly `width` x `height` near `fps`.
Result<xcb_randr_mode_info_t, std::string> cvtMode(int width, int height, int fps) {
  // libxcvt works in character cells of 8 pixels and rounds the width down to one. Asking for
  // the next whole cell and then narrowing the active width to `width` keeps libxcvt's sync
  // start, sync end and total untouched (each still at least the one before, since the cell
  // width is at least `width`): only the front porch grows, by up to 7 pixels, so the line
  // time, dot clock and refresh stay CVT's own.
  const int cellWidth = (width + 7) / 8 * 8;
  std::unique_ptr<libxcvt_mode_info, decltype(&std::free)> cvt(
      libxcvt_gen_mode_info(cellWidth, height, static_cast<float>(fps), true, false), &std::free);
  if (!cvt || cvt->vdisplay != static_cast<std::uint32_t>(height) || cvt->htotal == 0 ||
      cvt->vtotal == 0) {
    return Failure("No CVT timings exist for a " + sizeText(width, height) + " monitor at " +
                   std::to_string(fps) + " Hz.");
  }
  const std::uint64_t clockHz = cvt->dot_clock * 1000;  // libxcvt counts in kHz, RandR in Hz
  if (clockHz > std::numeric_limits<std::uint32_t>::max()) {
    return Failure("A " + sizeText(width, height) + " monitor at " + std::to_string(fps) +
                   " Hz needs a pixel clock beyond what RandR can describe.");
  }
  xcb_randr_mode_info_t mode{};
  mode.width = static_cast<std::uint16_t>(width);
  mode.height = static_cast<std::uint16_t>(height);
  mode.dot_clock = static_cast<std::uint32_t>(clockHz);
  mode.hsync_start = cvt->hsync_start;
  mode.hsync_end = cvt->hsync_end;
  mode.htotal = cvt->htotal;
  mode.vsync_start = cvt->vsync_start;
  mode.vsync_end = cvt->vsync_end;
  mode.vtotal = cvt->vtotal;
  mode.mode_flags = static_cast<std::uint32_t>(cvt->mode_flags);  // libxcvt's flags are RandR's
  return mode;
}

bool sameTimings(const xcb_randr_mode_info_t& a, const xcb_randr_mode_info_t& b) {
  return a.width == b.width && a.height == b.height && a.dot_clock == b.dot_clock &&
         a.hsync_start == b.hsync_start && a.hsync_end == b.hsync_end && a.htotal == b.htotal &&
         a.vsync_start == b.vsync_start && a.vsync_end == b.vsync_end && a.vtotal == b.vtotal &&
         a.mode_flags == b.mode_flags;
}

// Undo steps of a half-made monitor, run last-first unless the monitor was completed.
class Rollback {
 public:
  ~Rollback() {
    if (committed_) return;
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) (*it)();
  }
  void add(std::function<void()> step) { steps_.push_back(std::move(step)); }
  void commit() { committed_ = true; }

 private:
  std::vector<std::function<void()>> steps_;
  bool committed_ = false;
};

struct Entry {
  xcb_randr_output_t output = XCB_NONE;
  std::string outputName;
  xcb_randr_crtc_t crtc = XCB_NONE;
  xcb_randr_mode_t mode = XCB_NONE;
  std::string modeName;
  ScreenRegion region;
  std::function<void()> onLost;
  // The output's connection as last known, and the request after which that was read:
  // events generated before it describe an older state.
  bool connected = false;
  unsigned int connectedSince = 0;
  bool removed = false;       // its CRTC and mode are gone from the screen
  bool lost = false;          // removed because a real monitor was plugged in
  bool lostReported = false;  // onLost ran or is about to
};

// The connection and everything its requests touch. Shared by the VirtualMonitors, the
// monitors it made (which may outlive it) and the event thread.
class Server {
 public:
  Server(Connection connection, xcb_window_t root, xcb_atom_t adoptedAtom, std::string display,
         VirtualMonitors::Log log, std::unique_ptr<FileDescriptor> eventFd, double mmPerPixelX,
         double mmPerPixelY)
      : connection_(std::move(connection)),
        root_(root),
        adoptedAtom_(adoptedAtom),
        display_(std::move(display)),
        log_(std::move(log)),
        eventFd_(std::move(eventFd)),
        mmPerPixelX_(mmPerPixelX),
        mmPerPixelY_(mmPerPixelY) {}

  // Held around every batch of requests: serialises them, keeps SIGPIPE from ending the
  // process, and on release wakes the event thread, since a reply read on this thread may
  // have queued events that the event thread's poll() will not see.
  class RequestLock {
   public:
    explicit RequestLock(Server& server) : server_(server), lock_(server.mutex_) {}
    ~RequestLock() {
      lock_.unlock();
      server_.wakeEventThread();
    }
    RequestLock(const RequestLock&) = delete;
    RequestLock& operator=(const RequestLock&) = delete;

   private:
    Server& server_;
    SigpipeGuard sigpipe_;
    std::unique_lock<std::mutex> lock_;
  };

  xcb_connection_t* c() const { return connection_.get(); }
  bool alive() const { return xcb_connection_has_error(connection_.get()) == 0; }
  void log(const std::string& line) const {
    if (log_) log_(line);
  }
  void wakeEventThread() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(eventFd_->get(), &one, sizeof one);
  }

  Rect bounds() {
    std::lock_guard lock(boundsMutex_);
    return bounds_;
  }

  // REQUIRES: a RequestLock.
  void refreshBoundsLocked() {
    if (!alive()) return;
    if (auto layout = queryLayout(c(), root_)) setBounds(layout->bounds());
  }

  // Removes "Lumenbrook-" modes and what uses them. REQUIRES: a RequestLock.
  void removeLeftoversLocked() {
    ServerGrab grab(c());
    auto layout = queryLayout(c(), root_);
    if (!layout) return;
    std::vector<const ModeState*> ours;
    for (const auto& m : layout->modes) {
      if (m.name.starts_with(kModePrefix)) ours.push_back(&m);
    }
    if (ours.empty()) return;
    auto isOurs = [&](xcb_randr_mode_t id) {
      return std::any_of(ours.begin(), ours.end(),
                         [&](const ModeState* m) { return m->info.id == id; });
    };
    for (const auto& crtc : layout->crtcs) {
      if (crtc.active() && isOurs(crtc.mode)) disableCrtcLocked(crtc.id, layout->configTimestamp);
    }
    for (const auto& output : layout->outputs) {
      for (xcb_randr_mode_t mode : output.modes) {
        if (isOurs(mode))
          (void)check(c(), xcb_randr_delete_output_mode_checked(c(), output.id, mode));
      }
    }
    std::string names;
    for (const ModeState* m : ours) {
      (void)check(c(), xcb_randr_destroy_mode_checked(c(), m->info.id));
      names += (names.empty() ? "" : ", ") + m->name;
    }
    auto [width, height] = shrinkScreenLocked();
    log("Removed virtual monitor modes left behind by a process that ended (" + names +
        "); the screen is " + sizeText(width, height) + " again.");
  }

  Result<std::shared_ptr<Entry>, std::string> createLocked(int width, int height, int fps) {
    if (!alive()) return Failure("The connection to the X server at " + display_ + " is lost.");
    ServerGrab grab(c());
    auto layout = queryLayout(c(), root_);
    if (!layout) return Failure("The screen layout of " + display_ + " cannot be read.");

    // An output that nothing drives, disconnected or adopted (one we connected before), and a
    // CRTC that shows nothing may carry it. Adopted ones first, so that a driver which
    // connects what it drives is not run out of outputs one stream after the other.
    std::vector<const OutputState*> candidates;
    for (const auto& o : layout->outputs) {
      if (o.crtc == XCB_NONE && o.connection == XCB_RANDR_CONNECTION_CONNECTED &&
          adoptedLocked(o.id)) {
        candidates.push_back(&o);
      }
    }
    for (const auto& o : layout->outputs) {
      if (o.crtc == XCB_NONE && o.connection == XCB_RANDR_CONNECTION_DISCONNECTED)
        candidates.push_back(&o);
    }
    const OutputState* output = nullptr;
    xcb_randr_crtc_t crtc = XCB_NONE;
    for (const OutputState* o : candidates) {
      for (xcb_randr_crtc_t id : o->crtcs) {
        const CrtcState* possible = layout->crtc(id);
        if (possible && possible->free()) {
          crtc = id;
          break;
        }
      }
      if (crtc != XCB_NONE) {
        output = o;
        break;
      }
    }
    if (!output) {
      return Failure("No monitor can be added to " + display_ +
                     ": it has no disconnected output with a free CRTC left.");
    }

    const int x = layout->extent().first;
    const int newWidth = std::max(layout->screenWidth, x + width);
    const int newHeight = std::max(layout->screenHeight, height);
    auto range = own(xcb_randr_get_screen_size_range_reply(
        c(), xcb_randr_get_screen_size_range(c(), root_), nullptr));
    if (!range) return Failure("The screen size limits of " + display_ + " cannot be read.");
    if (newWidth > range->max_width || newHeight > range->max_height) {
      return Failure("A " + sizeText(width, height) +
                     " monitor does not fit: the screen would be " + sizeText(newWidth, newHeight) +
                     ", beyond its maximum of " + sizeText(range->max_width, range->max_height) +
                     ".");
    }

    auto timings = cvtMode(width, height, fps);
    if (!timings) return Failure(timings.error());

    Rollback rollback;
    auto entry = std::make_shared<Entry>();
    entry->output = output->id;
    entry->outputName = output->name;
    entry->crtc = crtc;
    entry->region = {x, 0, width, height};

    // Phones of the same size share a mode; a same-sized one at another rate gets a
    // numbered name, since RandR names are unique.
    const std::string base = std::string(kModePrefix) + sizeText(width, height);
    for (int n = 1; entry->mode == XCB_NONE; ++n) {
      if (n > 64) return Failure("Too many virtual monitor modes named " + base + " exist.");
      std::string name = n == 1 ? base : base + "-" + std::to_string(n);
      if (const ModeState* existing = layout->modeNamed(name)) {
        if (sameTimings(existing->info, *timings)) {
          entry->mode = existing->info.id;
          entry->modeName = name;
        }
        continue;
      }
      xcb_randr_mode_info_t info = *timings;
      info.name_len = static_cast<std::uint16_t>(name.size());
      xcb_generic_error_t* rawError = nullptr;
      auto made = own(xcb_randr_create_mode_reply(
          c(),
          xcb_randr_create_mode(c(), root_, info, static_cast<std::uint32_t>(name.size()),
                                name.data()),
          &rawError));
      auto error = own(rawError);
      if (!made) {
        return Failure("The X server refused the mode " + name + " (" +
                       (error ? errorName(error->error_code) : std::string("no reply")) + ").");
      }
      entry->mode = made->mode;
      entry->modeName = name;
      rollback.add([this, mode = made->mode] {
        (void)check(c(), xcb_randr_destroy_mode_checked(c(), mode));
      });
    }

    if (std::find(output->modes.begin(), output->modes.end(), entry->mode) == output->modes.end()) {
      if (auto error =
              check(c(), xcb_randr_add_output_mode_checked(c(), output->id, entry->mode))) {
        return Failure("The X server refused the mode " + entry->modeName + " on " + output->name +
                       " (" + *error + ").");
      }
      rollback.add([this, o = output->id, m = entry->mode] {
        (void)check(c(), xcb_randr_delete_output_mode_checked(c(), o, m));
      });
    }

    if (newWidth != layout->screenWidth || newHeight != layout->screenHeight) {
      if (auto error = setScreenSizeLocked(newWidth, newHeight)) {
        return Failure("The screen of " + display_ + " cannot grow to " +
                       sizeText(newWidth, newHeight) + " (" + *error + ").");
      }
      rollback.add([this, w = layout->screenWidth, h = layout->screenHeight] {
        (void)setScreenSizeLocked(w, h);
      });
    }

    // Adding a mode may have moved the configuration's timestamp on.
    auto fresh = own(xcb_randr_get_screen_resources_current_reply(
        c(), xcb_randr_get_screen_resources_current(c(), root_), nullptr));
    if (!fresh) return Failure("The screen layout of " + display_ + " cannot be read.");
    xcb_generic_error_t* rawError = nullptr;
    auto set = own(xcb_randr_set_crtc_config_reply(
        c(),
        xcb_randr_set_crtc_config(c(), crtc, XCB_CURRENT_TIME, fresh->config_timestamp,
                                  static_cast<std::int16_t>(x), 0, entry->mode,
                                  XCB_RANDR_ROTATION_ROTATE_0, 1, &output->id),
        &rawError));
    auto error = own(rawError);
    if (!set || set->status != XCB_RANDR_SET_CONFIG_SUCCESS) {
      std::string why = error ? errorName(error->error_code)
                        : set ? "status " + std::to_string(set->status)
                              : std::string("no reply");
      return Failure("The X server did not show " + entry->modeName + " on " + output->name + " (" +
                     why + ").");
    }
    rollback.commit();
    // Read after the CRTC is set: from here on "connected" in an event is news. The dummy
    // driver counts every output it drives as connected (also once it is off again), and
    // says so at the next probe, whoever asks for it; probing now makes that part of the state
    // read here rather than a plug later. Such an output is marked as ours, so that later
    // monitors may take it again.
    std::free(xcb_randr_get_screen_resources_reply(c(), xcb_randr_get_screen_resources(c(), root_),
                                                   nullptr));
    auto stateCookie = xcb_randr_get_output_info(c(), output->id, fresh->config_timestamp);
    auto state = own(xcb_randr_get_output_info_reply(c(), stateCookie, nullptr));
    entry->connected = state && state->connection == XCB_RANDR_CONNECTION_CONNECTED;
    entry->connectedSince = stateCookie.sequence;
    if (entry->connected && output->connection == XCB_RANDR_CONNECTION_DISCONNECTED) {
      const std::uint32_t yes = 1;
      xcb_randr_change_output_property(c(), output->id, adoptedAtom_, XCB_ATOM_INTEGER, 32,
                                       XCB_PROP_MODE_REPLACE, 1, &yes);
    }
    live_.push_back(entry);
    refreshBoundsLocked();
    return entry;
  }

  // Takes `entry` off the screen. REQUIRES: a RequestLock.
  void removeLocked(Entry& entry) {
    if (entry.removed) return;
    entry.removed = true;
    std::erase_if(live_, [&](const std::shared_ptr<Entry>& e) { return e.get() == &entry; });
    if (!alive()) return;
    {
      ServerGrab grab(c());
      auto layout = queryLayout(c(), root_);
      if (!layout) return;
      // Someone may have reconfigured the CRTC since; then it is theirs now.
      const CrtcState* crtc = layout->crtc(entry.crtc);
      if (crtc && crtc->drives(entry.output) && crtc->mode == entry.mode) {
        disableCrtcLocked(entry.crtc, layout->configTimestamp);
      }
      (void)check(c(), xcb_randr_delete_output_mode_checked(c(), entry.output, entry.mode));
      const bool shared = std::any_of(live_.begin(), live_.end(),
                                      [&](const auto& e) { return e->mode == entry.mode; });
      // Fails harmlessly (BadAccess) while another process's output still lists the mode.
      if (!shared) (void)check(c(), xcb_randr_destroy_mode_checked(c(), entry.mode));
      shrinkScreenLocked();
    }
    refreshBoundsLocked();
  }

  // Removes the monitors on `output` and returns their onLost handlers, to be run without the
  // lock. REQUIRES: a RequestLock.
  std::vector<std::function<void()>> loseOutputLocked(xcb_randr_output_t output) {
    std::vector<std::shared_ptr<Entry>> hit;
    for (const auto& e : live_) {
      if (e->output == output) hit.push_back(e);
    }
    std::vector<std::function<void()>> handlers;
    for (const auto& e : hit) {
      removeLocked(*e);
      e->lost = true;
      log("A monitor was plugged into " + e->outputName +
          "; the virtual monitor there is removed.");
      if (e->onLost) {
        e->lostReported = true;
        handlers.push_back(std::exchange(e->onLost, nullptr));
      }
    }
    return handlers;
  }

  // Returns the handler to run now when the monitor was lost before it was set.
  std::function<void()> setOnLost(Entry& entry, std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    if (entry.lost && !entry.lostReported) {
      entry.lostReported = true;
      return handler;
    }
    if (!entry.lost) entry.onLost = std::move(handler);
    return nullptr;
  }

  // REQUIRES: a RequestLock.
  ScreenRegion mainMonitorLocked() {
    auto asRegion = [](const Rect& r) {
      return ScreenRegion{int(r.x), int(r.y), int(r.width), int(r.height)};
    };
    if (!alive()) return asRegion(bounds());
    auto primaryCookie = xcb_randr_get_output_primary(c(), root_);
    auto layout = queryLayout(c(), root_);
    auto primary = own(xcb_randr_get_output_primary_reply(c(), primaryCookie, nullptr));
    if (!layout) return asRegion(bounds());
    auto region = [](const CrtcState& crtc) {
      return ScreenRegion{crtc.x, crtc.y, crtc.width, crtc.height};
    };
    if (primary && primary->output != XCB_NONE) {
      for (const auto& o : layout->outputs) {
        const CrtcState* crtc = o.id == primary->output ? layout->crtc(o.crtc) : nullptr;
        if (crtc && crtc->active()) return region(*crtc);
      }
    }
    // Our own monitors are no candidates: mirroring one would show the phone itself.
    for (const auto& crtc : layout->crtcs) {
      const bool ours = std::any_of(live_.begin(), live_.end(),
                                    [&](const auto& e) { return e->crtc == crtc.id; });
      if (crtc.active() && !ours) return region(crtc);
    }
    return {0, 0, layout->screenWidth, layout->screenHeight};
  }

  void selectInput() {
    xcb_randr_select_input(c(), root_,
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE);
    xcb_flush(c());
  }

  void stop() {
    stopping_ = true;
    wakeEventThread();
  }

  // The event thread's loop: until stop() or the connection breaks.
  void runEvents() {
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c(), &xcb_randr_id);
    const std::uint8_t base = randr ? randr->first_event : 0;
    pollfd fds[2] = {{xcb_get_file_descriptor(c()), POLLIN, 0}, {eventFd_->get(), POLLIN, 0}};
    while (!stopping_) {
      bool any = false, layoutChanged = false;
      struct Change {
        xcb_randr_output_t output;
        bool connected;
        unsigned int sequence;
      };
      std::vector<Change> changes;
      while (auto event = own(xcb_poll_for_event(c()))) {
        any = true;
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == base + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
          const auto* e =
              reinterpret_cast<const xcb_randr_screen_change_notify_event_t*>(event.get());
          if (e->width > 0 && e->height > 0 && e->mwidth > 0 && e->mheight > 0) {
            std::lock_guard lock(mutex_);
            mmPerPixelX_ = double(e->mwidth) / e->width;
            mmPerPixelY_ = double(e->mheight) / e->height;
          }
          layoutChanged = true;
        } else if (type == base + XCB_RANDR_NOTIFY) {
          const auto* e = reinterpret_cast<const xcb_randr_notify_event_t*>(event.get());
          if (e->subCode == XCB_RANDR_NOTIFY_OUTPUT_CHANGE) {
            layoutChanged = true;
            changes.push_back({e->u.oc.output, e->u.oc.connection == XCB_RANDR_CONNECTION_CONNECTED,
                               event->full_sequence});
          } else if (e->subCode == XCB_RANDR_NOTIFY_CRTC_CHANGE) {
            layoutChanged = true;
          }
        }
      }
      if (!alive()) {
        log("The connection to the X server at " + display_ +
            " is lost; the layout is no longer followed.");
        return;
      }
      for (const Change& change : changes)
        outputChanged(change.output, change.connected, change.sequence);
      if (layoutChanged) {
        RequestLock lock(*this);
        refreshBoundsLocked();
      }
      if (any) continue;  // requests above may have queued more
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents & POLLIN) {
        std::uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(eventFd_->get(), &count, sizeof count);
      }
    }
  }

  void handleOutputConnected(xcb_randr_output_t output) {
    std::vector<std::function<void()>> handlers;
    {
      RequestLock lock(*this);
      handlers = loseOutputLocked(output);
    }
    for (auto& handler : handlers) handler();
  }

  // An OutputChange event: a monitor whose output goes from disconnected to connected has a
  // real one plugged in. Events older than the state read in create() are ignored, so that
  // those our own requests caused do not count as a plug.
  void outputChanged(xcb_randr_output_t output, bool connected, unsigned int sequence) {
    bool plugged = false;
    {
      std::lock_guard lock(mutex_);
      for (const auto& e : live_) {
        if (e->output != output || static_cast<int>(sequence - e->connectedSince) < 0) continue;
        plugged = plugged || (connected && !e->connected);
        e->connected = connected;
      }
    }
    if (plugged) handleOutputConnected(output);
  }

 private:
  void setBounds(const Rect& r) {
    std::lock_guard lock(boundsMutex_);
    bounds_ = r;
  }

  bool adoptedLocked(xcb_randr_output_t output) {
    auto reply = own(xcb_randr_get_output_property_reply(
        c(),
        xcb_randr_get_output_property(c(), output, adoptedAtom_, XCB_ATOM_INTEGER, 0, 1, false,
                                      false),
        nullptr));
    return reply && reply->format == 32 && reply->num_items == 1 &&
           *reinterpret_cast<const std::uint32_t*>(
               xcb_randr_get_output_property_data(reply.get())) == 1;
  }

  void disableCrtcLocked(xcb_randr_crtc_t crtc, xcb_timestamp_t configTimestamp) {
    (void)own(xcb_randr_set_crtc_config_reply(
        c(),
        xcb_randr_set_crtc_config(c(), crtc, XCB_CURRENT_TIME, configTimestamp, 0, 0, XCB_NONE,
                                  XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
        nullptr));
  }

  // Physical size follows the pixels at the screen's current density, so DPI stays put.
  std::optional<std::string> setScreenSizeLocked(int width, int height) {
    auto mm = [](int pixels, double mmPerPixel) {
      return static_cast<std::uint32_t>(std::max(1L, std::lround(pixels * mmPerPixel)));
    };
    return check(
        c(), xcb_randr_set_screen_size_checked(c(), root_, static_cast<std::uint16_t>(width),
                                               static_cast<std::uint16_t>(height),
                                               mm(width, mmPerPixelX_), mm(height, mmPerPixelY_)));
  }

  // Shrinks the screen to the active CRTCs, never below the server's minimum, and returns its
  // size. Monitors keep their places, so the screen only loses what lies right of or below
  // all of them. REQUIRES: a RequestLock.
  std::pair<int, int> shrinkScreenLocked() {
    auto layout = queryLayout(c(), root_);
    if (!layout) return {0, 0};
    auto [right, bottom] = layout->extent();
    if (right == 0 || bottom == 0) return {layout->screenWidth, layout->screenHeight};
    auto range = own(xcb_randr_get_screen_size_range_reply(
        c(), xcb_randr_get_screen_size_range(c(), root_), nullptr));
    const int width = std::max<int>(right, range ? range->min_width : 0);
    const int height = std::max<int>(bottom, range ? range->min_height : 0);
    if (width == layout->screenWidth && height == layout->screenHeight) return {width, height};
    if (setScreenSizeLocked(width, height)) return {layout->screenWidth, layout->screenHeight};
    return {width, height};
  }

  Connection connection_;
  const xcb_window_t root_;
  const xcb_atom_t adoptedAtom_;
  const std::string display_;
  const VirtualMonitors::Log log_;
  // Wakes the event thread: for stop(), and after requests made elsewhere.
  const std::unique_ptr<FileDescriptor> eventFd_;
  std::atomic<bool> stopping_{false};

  std::mutex mutex_;  // held by RequestLock; guards the members below and Entry fields
  std::vector<std::shared_ptr<Entry>> live_;
  double mmPerPixelX_, mmPerPixelY_;

  std::mutex boundsMutex_;  // apart, so that desktopBounds() never waits behind a create()
  Rect bounds_;
};

class X11Monitor final : public VirtualMonitors::Monitor {
 public:
  X11Monitor(std::shared_ptr<Server> server, std::shared_ptr<Entry> entry)
      : server_(std::move(server)), entry_(std::move(entry)) {}
  ~X11Monitor() override {
    Server::RequestLock lock(*server_);
    server_->removeLocked(*entry_);
  }

  ScreenRegion region() const override { return entry_->region; }
  std::string output() const override { return entry_->outputName; }
  void onLost(std::function<void()> handler) override {
    if (auto now = server_->setOnLost(*entry_, std::move(handler))) now();
  }

 private:
  std::shared_ptr<Server> server_;
  std::shared_ptr<Entry> entry_;
};

class X11VirtualMonitors final : public VirtualMonitors {
 public:
  explicit X11VirtualMonitors(std::shared_ptr<Server> server) : server_(std::move(server)) {
    // The thread keeps the server alive by itself: if an onLost handler destroys this
    // object, the thread is detached and still finds everything it touches.
    thread_ = std::thread([server = server_] {
      pthread_setname_np(pthread_self(), "x11-randr");
      server->runEvents();
    });
  }
  ~X11VirtualMonitors() override {
    server_->stop();
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  Result<std::unique_ptr<Monitor>, std::string> create(int width, int height, int fps) override {
    if (width < 1 || height < 1 || width > 32767 || height > 32767) {
      return Failure("A monitor of " + sizeText(width, height) +
                     " cannot be made: each side must be 1 to 32767 pixels.");
    }
    if (fps < 1 || fps > 240) {
      return Failure("A monitor at " + std::to_string(fps) +
                     " Hz cannot be made: the rate must be 1 to 240.");
    }
    Server::RequestLock lock(*server_);
    auto entry = server_->createLocked(width, height, fps);
    if (!entry) return Failure(entry.error());
    return std::unique_ptr<Monitor>(
        std::make_unique<X11Monitor>(server_, std::move(entry.value())));
  }

  ScreenRegion mainMonitor() override {
    Server::RequestLock lock(*server_);
    return server_->mainMonitorLocked();
  }

  Rect desktopBounds() override { return server_->bounds(); }

  void handleOutputConnected(std::uint32_t output) override {
    server_->handleOutputConnected(output);
  }

 private:
  std::shared_ptr<Server> server_;
  std::thread thread_;
};

}  // namespace

Result<std::unique_ptr<VirtualMonitors>, std::string> VirtualMonitors::open(
    const std::string& display, Log log) {
  int screenNumber = 0;
  Connection connection(xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber));
  const std::string name = display.empty() ? "the default display" : display;
  if (xcb_connection_has_error(connection.get())) {
    return Failure("The X display " + name + " cannot be reached.");
  }
  xcb_connection_t* c = connection.get();
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
  if (!randr || !randr->present) {
    return Failure("The X server at " + name +
                   " has no RandR extension, so it cannot get monitors.");
  }
  auto version = own(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 6), nullptr));
  if (!version) return Failure("The X server at " + name + " does not say its RandR version.");
  if (version->major_version < 1 || (version->major_version == 1 && version->minor_version < 3)) {
    return Failure("The X server at " + name + " has RandR " +
                   std::to_string(version->major_version) + "." +
                   std::to_string(version->minor_version) + "; monitors need RandR 1.3 or later.");
  }
  auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0)
    return Failure("The X display " + name + " has no screen " + std::to_string(screenNumber) +
                   ".");
  const xcb_screen_t* screen = screens.data;
  // 96 DPI where the server does not say.
  auto mmPerPixel = [](int pixels, int mm) {
    return pixels > 0 && mm > 0 ? double(mm) / pixels : 25.4 / 96;
  };
  const double mmX = mmPerPixel(screen->width_in_pixels, screen->width_in_millimeters);
  const double mmY = mmPerPixel(screen->height_in_pixels, screen->height_in_millimeters);

  constexpr std::string_view kAdopted = "LUMENBROOK_ADOPTED_OUTPUT";
  auto atom = own(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, false, kAdopted.size(), kAdopted.data()), nullptr));
  if (!atom) return Failure("The X server at " + name + " does not answer.");

  auto eventFd = std::make_unique<FileDescriptor>(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (eventFd->get() < 0)
    return Failure("No event descriptor: " + std::string(std::strerror(errno)) + ".");

  auto server = std::make_shared<Server>(std::move(connection), screen->root, atom->atom, name,
                                         std::move(log), std::move(eventFd), mmX, mmY);
  // Before reading the layout, so that no change between the two goes unseen.
  server->selectInput();
  {
    Server::RequestLock lock(*server);
    server->removeLeftoversLocked();
    server->refreshBoundsLocked();
  }
  return std::unique_ptr<VirtualMonitors>(std::make_unique<X11VirtualMonitors>(server));
}

}  // namespace lumenbrook
