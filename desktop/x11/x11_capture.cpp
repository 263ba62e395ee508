#include "desktop/x11/x11_capture.h"

#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/video/frame_pool.h"
#include "core/video/frame_rhythm.h"
#include "desktop/x11/xcb_handles.h"

namespace lumenbrook {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int maxFps = 240;
// Larger streams than any encoder here takes; it keeps width * height * 4 far from overflow.
constexpr int maxStreamDimension = 16384;
// X coordinates and sizes are 16-bit on the wire.
constexpr int maxCoordinate = 32767;
constexpr std::uint8_t badMatch = 8;
constexpr std::uint32_t opaqueBlack = 0xff000000;

using x11::Connection;
using x11::own;
using x11::Reply;


std::string errnoText(const char* call) { return std::string(call) + ": " + std::strerror(errno); }

// One System V segment that the server writes images into, attached on both sides and marked
// for removal at once, so the kernel frees it when the last side detaches, even if this
// process dies. Destroyed before its connection.
class SharedImage {
 public:
  static Result<std::unique_ptr<SharedImage>, std::string> create(xcb_connection_t* c, std::size_t size) {
    const int id = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return Failure{errnoText("shmget")};
    auto image = std::unique_ptr<SharedImage>(new SharedImage(c, id, size));
    void* addr = ::shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) return Failure{errnoText("shmat")};
    image->addr_ = static_cast<std::uint8_t*>(addr);
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    if (auto* e = xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<std::uint32_t>(id), 0))) {
      const int code = e->error_code;
      std::free(e);
      return Failure{"the X server cannot attach shared memory (error " + std::to_string(code) +
                     "); a remote display has no MIT-SHM"};
    }
    if (xcb_connection_has_error(c)) return Failure{std::string("the X connection broke")};
    image->seg_ = seg;
    image->markRemoved();
    return image;
  }

  ~SharedImage() {
    if (seg_ != 0 && !xcb_connection_has_error(c_)) {
      // Checked, so that the server has let go before we do and the segment is gone on return.
      std::free(xcb_request_check(c_, xcb_shm_detach_checked(c_, seg_)));
    }
    if (addr_) ::shmdt(addr_);
    markRemoved();
  }
  SharedImage(const SharedImage&) = delete;
  SharedImage& operator=(const SharedImage&) = delete;

  xcb_shm_seg_t seg() const { return seg_; }
  std::uint8_t* data() const { return addr_; }
  std::size_t size() const { return size_; }

 private:
  SharedImage(xcb_connection_t* c, int id, std::size_t size) : c_(c), id_(id), size_(size) {}

  void markRemoved() {
    if (id_ >= 0) ::shmctl(id_, IPC_RMID, nullptr);
    id_ = -1;
  }

  xcb_connection_t* c_;
  int id_;
  std::size_t size_;
  std::uint8_t* addr_ = nullptr;
  xcb_shm_seg_t seg_ = 0;
};

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
};

// Where a `srcWidth` x `srcHeight` picture lands in a `dstWidth` x `dstHeight` frame when
// scaled with its aspect kept and centred.
Rect fit(int srcWidth, int srcHeight, int dstWidth, int dstHeight) {
  const auto sw = static_cast<std::int64_t>(srcWidth), sh = static_cast<std::int64_t>(srcHeight);
  const auto dw = static_cast<std::int64_t>(dstWidth), dh = static_cast<std::int64_t>(dstHeight);
  Rect r;
  if (sw * dh >= sh * dw) {  // wider than the frame: bars above and below
    r.width = dstWidth;
    r.height = static_cast<int>(std::clamp<std::int64_t>((sh * dw + sw / 2) / sw, 1, dh));
  } else {
    r.height = dstHeight;
    r.width = static_cast<int>(std::clamp<std::int64_t>((sw * dh + sh / 2) / sh, 1, dw));
  }
  r.x = (dstWidth - r.width) / 2;
  r.y = (dstHeight - r.height) / 2;
  return r;
}

// Premultiplied ARGB over B,G,R,X.
inline std::uint8_t over(std::uint32_t src, std::uint8_t dst, std::uint32_t inverseAlpha) {
  return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, src + (dst * inverseAlpha + 127) / 255));
}

}  // namespace

struct X11Grabber::State {
  Connection connection;  // first: the segment below detaches through it
  xcb_window_t root = 0;
  std::uint8_t cursorNotify = 0;  // XFIXES CursorNotify event code
  std::unique_ptr<SharedImage> image;
  std::shared_ptr<FramePool> pool = FramePool::create();
  ScreenRegion inside;  // the last region found within the root window
  bool insideKnown = false;

  struct Cursor {
    int width = 0, height = 0, xhot = 0, yhot = 0;
    std::vector<std::uint32_t> argb;  // premultiplied, rows of `width`
  } cursor;
  bool cursorStale = true;  // until fetched, and after every CursorNotify

  // One row of opaque black pixels: added to a picture with saturation it sets alpha to 255
  // and leaves the colours alone, in one vectorised pass.
  std::vector<std::uint8_t> opaqueRow;

  void drainEvents();
  Result<Unit, GrabFailure> checkInside(const ScreenRegion& region);
  void drawCursor(const ScreenRegion& region, int pointerX, int pointerY);
  void writeFrame(const ScreenRegion& region, std::uint8_t* dst, std::size_t stride, int width, int height);
};

void X11Grabber::State::drainEvents() {
  while (xcb_generic_event_t* e = xcb_poll_for_event(connection.get())) {
    if ((e->response_type & 0x7f) == cursorNotify) cursorStale = true;
    std::free(e);
  }
}

Result<Unit, X11Grabber::GrabFailure> X11Grabber::State::checkInside(const ScreenRegion& r) {
  if (r.width <= 0 || r.height <= 0 || r.x < 0 || r.y < 0 || r.x > maxCoordinate - r.width ||
      r.y > maxCoordinate - r.height) {
    return Failure{GrabFailure{GrabError::outsideScreen, "the capture region is empty or off the screen"}};
  }
  if (insideKnown && inside == r) return Unit{};
  // Asked again on every change: the root window grows and shrinks with RandR.
  xcb_connection_t* c = connection.get();
  auto g = own(xcb_get_geometry_reply(c, xcb_get_geometry(c, root), nullptr));
  if (!g) return Failure{GrabFailure{GrabError::connectionLost, "the X server went away"}};
  if (r.x + r.width > g->width || r.y + r.height > g->height) {
    return Failure{GrabFailure{GrabError::outsideScreen,
                               "the capture region " + std::to_string(r.width) + "x" + std::to_string(r.height) +
                                   "+" + std::to_string(r.x) + "+" + std::to_string(r.y) +
                                   " is not inside the " + std::to_string(g->width) + "x" +
                                   std::to_string(g->height) + " screen"}};
  }
  inside = r;
  insideKnown = true;
  return Unit{};
}

void X11Grabber::State::drawCursor(const ScreenRegion& r, int pointerX, int pointerY) {
  const int left = pointerX - cursor.xhot - r.x;
  const int top = pointerY - cursor.yhot - r.y;
  const int x0 = std::max(0, -left), x1 = std::min(cursor.width, r.width - left);
  const int y0 = std::max(0, -top), y1 = std::min(cursor.height, r.height - top);
  const std::size_t stride = static_cast<std::size_t>(r.width) * 4;
  for (int cy = y0; cy < y1; ++cy) {
    const std::uint32_t* src = cursor.argb.data() + static_cast<std::size_t>(cy) * cursor.width;
    std::uint8_t* row = image->data() + static_cast<std::size_t>(top + cy) * stride;
    for (int cx = x0; cx < x1; ++cx) {
      const std::uint32_t s = src[cx];
      if (s == 0) continue;
      const std::uint32_t inverse = 255 - (s >> 24);
      std::uint8_t* d = row + static_cast<std::size_t>(left + cx) * 4;
      d[0] = over(s & 0xff, d[0], inverse);
      d[1] = over((s >> 8) & 0xff, d[1], inverse);
      d[2] = over((s >> 16) & 0xff, d[2], inverse);
    }
  }
}

void X11Grabber::State::writeFrame(const ScreenRegion& r, std::uint8_t* dst, std::size_t stride, int width,
                                   int height) {
  const std::uint8_t* src = image->data();
  const int srcStride = r.width * 4;
  const int dstStride = static_cast<int>(stride);
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  if (opaqueRow.size() < rowBytes) {
    opaqueRow.assign(rowBytes, 0);
    for (std::size_t i = 3; i < rowBytes; i += 4) opaqueRow[i] = 0xff;
  }
  if (r.width == width && r.height == height) {
    libyuv::ARGBAdd(src, srcStride, opaqueRow.data(), 0, dst, dstStride, width, height);
    return;
  }
  const Rect c = fit(r.width, r.height, width, height);
  std::uint8_t* content = dst + static_cast<std::size_t>(c.y) * stride + static_cast<std::size_t>(c.x) * 4;
  libyuv::ARGBScale(src, srcStride, r.width, r.height, content, dstStride, c.width, c.height, libyuv::kFilterBox);
  libyuv::ARGBAdd(content, dstStride, opaqueRow.data(), 0, content, dstStride, c.width, c.height);
  // Buffers are reused and the geometry may have changed: the bars are drawn every time.
  const Rect bars[] = {{0, 0, width, c.y},
                       {0, c.y + c.height, width, height - c.y - c.height},
                       {0, c.y, c.x, c.height},
                       {c.x + c.width, c.y, width - c.x - c.width, c.height}};
  for (const Rect& b : bars) {
    if (b.width > 0 && b.height > 0) libyuv::ARGBRect(dst, dstStride, b.x, b.y, b.width, b.height, opaqueBlack);
  }
}

X11Grabber::X11Grabber(std::unique_ptr<State> state) : state_(std::move(state)) {}
X11Grabber::~X11Grabber() = default;

Result<std::unique_ptr<X11Grabber>, std::string> X11Grabber::open(const std::string& display) {
  int screenNumber = 0;
  Connection connection(xcb_connect(display.c_str(), &screenNumber));
  xcb_connection_t* c = connection.get();
  if (xcb_connection_has_error(c)) return Failure{"cannot connect to the X display " + display};
  xcb_prefetch_extension_data(c, &xcb_shm_id);
  xcb_prefetch_extension_data(c, &xcb_xfixes_id);

  const xcb_setup_t* setup = xcb_get_setup(c);
  auto screens = xcb_setup_roots_iterator(setup);
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem <= 0) return Failure{"the X display " + display + " has no such screen"};
  const xcb_screen_t* screen = screens.data;
  bool bgrx = false;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0; xcb_format_next(&f)) {
    if (f.data->depth == screen->root_depth) bgrx = f.data->bits_per_pixel == 32 && f.data->scanline_pad == 32;
  }
  if (!bgrx || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
    return Failure{"the X display " + display + " does not keep 32-bit B,G,R,X pixels (depth " +
                   std::to_string(screen->root_depth) + ")"};
  }

  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (!shm || !shm->present) return Failure{"the X display " + display + " has no MIT-SHM"};
  if (!xfixes || !xfixes->present) return Failure{"the X display " + display + " has no XFIXES"};
  // XFIXES answers nothing before a client has told it the version it speaks.
  auto shmVersion = own(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  auto fixesVersion = own(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
  if (!shmVersion || !fixesVersion) return Failure{"the X display " + display + " broke the connection"};
  xcb_xfixes_select_cursor_input(c, screen->root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);

  auto state = std::make_unique<State>();
  state->root = screen->root;
  state->cursorNotify = static_cast<std::uint8_t>(xfixes->first_event + XCB_XFIXES_CURSOR_NOTIFY);
  state->connection = std::move(connection);
  return std::unique_ptr<X11Grabber>(new X11Grabber(std::move(state)));
}

Result<VideoFrame, X11Grabber::GrabFailure> X11Grabber::grab(ScreenRegion region, int width, int height,
                                                             SteadyClock::time_point origin) {
  State& s = *state_;
  xcb_connection_t* c = s.connection.get();
  auto lost = [] { return Failure{GrabFailure{GrabError::connectionLost, "the X server went away"}}; };
  if (xcb_connection_has_error(c)) return lost();
  if (width <= 0 || height <= 0 || width > maxStreamDimension || height > maxStreamDimension) {
    return Failure{GrabFailure{GrabError::failed, "no frames of " + std::to_string(width) + "x" +
                                                      std::to_string(height)}};
  }
  if (auto inside = s.checkInside(region); !inside) return Failure{inside.error()};

  const std::size_t imageBytes = static_cast<std::size_t>(region.width) * static_cast<std::size_t>(region.height) * 4;
  if (!s.image || s.image->size() < imageBytes) {
    s.image.reset();
    auto made = SharedImage::create(c, imageBytes);
    if (!made) return Failure{GrabFailure{GrabError::failed, made.error()}};
    s.image = std::move(*made);
  }

  // One round trip for the picture, the pointer and (when it changed) the cursor's image.
  s.drainEvents();
  const bool fetchCursor = s.cursorStale;
  const auto grabbedAt = SteadyClock::now();
  auto imageCookie = xcb_shm_get_image(c, s.root, static_cast<std::int16_t>(region.x),
                                       static_cast<std::int16_t>(region.y), static_cast<std::uint16_t>(region.width),
                                       static_cast<std::uint16_t>(region.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                       s.image->seg(), 0);
  auto pointerCookie = xcb_query_pointer(c, s.root);
  xcb_xfixes_get_cursor_image_cookie_t cursorCookie{};
  if (fetchCursor) cursorCookie = xcb_xfixes_get_cursor_image(c);

  xcb_generic_error_t* rawError = nullptr;
  auto image = own(xcb_shm_get_image_reply(c, imageCookie, &rawError));
  auto error = own(rawError);
  auto pointer = own(xcb_query_pointer_reply(c, pointerCookie, nullptr));
  if (fetchCursor) {
    if (auto cursor = own(xcb_xfixes_get_cursor_image_reply(c, cursorCookie, nullptr))) {
      const auto* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
      const int count = xcb_xfixes_get_cursor_image_cursor_image_length(cursor.get());
      s.cursor.width = cursor->width;
      s.cursor.height = cursor->height;
      s.cursor.xhot = cursor->xhot;
      s.cursor.yhot = cursor->yhot;
      s.cursor.argb.assign(pixels, pixels + count);
      if (count < s.cursor.width * s.cursor.height) s.cursor.width = s.cursor.height = 0;
      s.cursorStale = false;
    }
  }
  if (xcb_connection_has_error(c)) return lost();
  if (error) {
    if (error->error_code == badMatch) {
      s.insideKnown = false;
      return Failure{GrabFailure{GrabError::outsideScreen, "the capture region is no longer inside the screen"}};
    }
    return Failure{GrabFailure{GrabError::failed, "the X server refused a grab (error " +
                                                      std::to_string(error->error_code) + ")"}};
  }
  if (!image) return lost();
  if (image->size < imageBytes) {
    return Failure{GrabFailure{GrabError::failed, "the X server sent " + std::to_string(image->size) +
                                                      " bytes for a " + std::to_string(imageBytes) + "-byte image"}};
  }

  if (pointer && pointer->same_screen) s.drawCursor(region, pointer->root_x, pointer->root_y);

  const std::size_t stride = static_cast<std::size_t>(width) * VideoFrame::bytesPerPixel;
  std::unique_ptr<Bytes> buffer = s.pool->take(stride * static_cast<std::size_t>(height));
  if (!buffer) return Failure{GrabFailure{GrabError::failed, "no memory for a frame"}};
  s.writeFrame(region, buffer->data(), stride, width, height);
  std::shared_ptr<const Bytes> pixels = s.pool->share(std::move(buffer));
  if (!pixels) return Failure{GrabFailure{GrabError::failed, "no memory for a frame"}};

  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(grabbedAt - origin).count();
  return VideoFrame{std::move(pixels), width, height, stride, elapsed > 0 ? static_cast<std::uint64_t>(elapsed) : 0};
}

struct X11Capture::State {
  State(std::string display, ScreenRegion region, SteadyClock::time_point origin, Log log)
      : display(std::move(display)), origin(origin), log(std::move(log)), region(region) {}

  void run();
  void note(const std::string& line) const {
    if (log) log(line);
  }

  const std::string display;
  const SteadyClock::time_point origin;
  const Log log;

  std::mutex mutex;
  std::condition_variable changed;
  bool running = false;
  bool shuttingDown = false;
  bool ticking = false;           // a tick is grabbing or delivering with the lock released
  bool holdsServer = false;       // the capture thread has a connection and its segment
  std::uint64_t generation = 0;   // advances on every start() and stop()
  int width = 0;
  int height = 0;
  ScreenRegion region;
  std::shared_ptr<const Deliver> deliver;
  FrameRhythm rhythm;
  std::thread thread;
};

X11Capture::X11Capture(std::string display, ScreenRegion region, SteadyClock::time_point origin, Log log)
    : state_(std::make_shared<State>(std::move(display), region, origin, std::move(log))) {
  state_->thread = std::thread([s = state_.get()] { s->run(); });
}

X11Capture::~X11Capture() {
  stop();
  {
    std::lock_guard lock(state_->mutex);
    state_->shuttingDown = true;
  }
  state_->changed.notify_all();
  state_->thread.join();
}

void X11Capture::start(int width, int height, int fps, Deliver deliver) {
  auto next = std::make_shared<const Deliver>(std::move(deliver));
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    s.running = true;
    ++s.generation;
    s.width = width;
    s.height = height;
    // The earlier closure leaves through `next` and is destroyed outside the lock.
    std::swap(s.deliver, next);
    s.rhythm.restart(SteadyClock::now(), std::clamp(fps, 1, maxFps));
  }
  s.changed.notify_all();
}

void X11Capture::stop() {
  State& s = *state_;
  std::shared_ptr<const Deliver> old;
  std::unique_lock lock(s.mutex);
  s.running = false;
  const std::uint64_t generation = ++s.generation;
  old = std::move(s.deliver);
  s.changed.notify_all();
  if (std::this_thread::get_id() != s.thread.get_id()) {
    // A start() from elsewhere in the meantime keeps the connection: then only the tick counts.
    s.changed.wait(lock, [&] { return !s.ticking && (!s.holdsServer || s.generation != generation); });
  }
}

void X11Capture::setRegion(ScreenRegion region) {
  std::lock_guard lock(state_->mutex);
  state_->region = region;
}

void X11Capture::State::run() {
  pthread_setname_np(pthread_self(), "capture");
  // A write to a server that has just gone away must fail with EPIPE, not end the process.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  // Owned by this thread alone; the lock guards only the fields above.
  std::unique_ptr<X11Grabber> grabber;
  // The start() whose connection failed or broke: no more tries until the next one.
  std::optional<std::uint64_t> failedGeneration;
  // Skipped frames are logged once per cause until a grab works again or a new start().
  std::uint64_t loggedGeneration = 0;
  bool loggedOutside = false, loggedFailed = false;

  std::unique_lock lock(mutex);
  for (;;) {
    if (grabber && (!running || shuttingDown)) {
      ticking = true;
      lock.unlock();
      grabber.reset();
      lock.lock();
      ticking = false;
      holdsServer = false;
      changed.notify_all();
      continue;
    }
    if (shuttingDown) return;
    if (!running || failedGeneration == generation) {
      changed.wait(lock);
      continue;
    }
    const auto due = rhythm.due();
    const auto now = SteadyClock::now();
    if (now < due) {
      changed.wait_until(lock, due);
      continue;
    }

    // Schedule the next tick before this one runs, so the rhythm does not depend on how long
    // grabbing takes.
    rhythm.advance(now);
    const std::uint64_t tickGeneration = generation;
    const int tickWidth = width;
    const int tickHeight = height;
    const ScreenRegion tickRegion = region;
    auto tickDeliver = deliver;
    ticking = true;
    lock.unlock();

    if (loggedGeneration != tickGeneration) {
      loggedGeneration = tickGeneration;
      loggedOutside = loggedFailed = false;
    }
    if (!grabber) {
      auto opened = X11Grabber::open(display);
      if (opened) {
        grabber = std::move(*opened);
      } else {
        note("capture: " + opened.error() + "; no frames");
        failedGeneration = tickGeneration;
      }
    }
    std::optional<VideoFrame> frame;
    if (grabber) {
      auto grabbed = grabber->grab(tickRegion, tickWidth, tickHeight, origin);
      if (grabbed) {
        frame = std::move(*grabbed);
        loggedOutside = loggedFailed = false;
      } else {
        const X11Grabber::GrabFailure& f = grabbed.error();
        switch (f.error) {
          case X11Grabber::GrabError::outsideScreen:
            if (!std::exchange(loggedOutside, true)) note("capture: " + f.message + "; skipping frames");
            break;
          case X11Grabber::GrabError::failed:
            if (!std::exchange(loggedFailed, true)) note("capture: " + f.message + "; skipping frames");
            break;
          case X11Grabber::GrabError::connectionLost:
            note("capture: " + f.message + "; no more frames until the stream starts again");
            grabber.reset();
            failedGeneration = tickGeneration;
            break;
        }
      }
    }

    lock.lock();
    holdsServer = grabber != nullptr;
    // A stop() or a new start() while grabbing takes this tick's picture with it.
    const bool current = frame && tickGeneration == generation && running;
    lock.unlock();
    if (current && *tickDeliver) (*tickDeliver)(std::move(*frame));
    // Our copies go outside the lock: the closure's captures belong to the consumer, and a
    // frame's release may run the pool.
    tickDeliver.reset();
    frame.reset();
    lock.lock();
    ticking = false;
    changed.notify_all();
  }
}

}  // namespace lumenbrook
