#pragma once
// Pictures of one rectangle of an X screen: MIT-SHM grabs of the root window into one reused
// shared-memory segment, the pointer composited in from the XFIXES cursor image, scaled (aspect
// kept, black bars) when the rectangle's size differs from the stream's, handed out as BGRA
// frames from a small pool.
//
// Threads: its own thread, named "capture", grabs and calls deliver, at most `fps` times a
// second. start(), stop() and setRegion() may be called from any thread.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/util/result.h"
#include "core/video/frame_source.h"

namespace lumenbrook {

// A rectangle of the root window, in pixels.
struct ScreenRegion {
  int x = 0, y = 0, width = 0, height = 0;
  friend bool operator==(const ScreenRegion&, const ScreenRegion&) = default;
};

// One picture at a time on the caller's thread, exactly as the capture thread takes them: for
// callers that keep their own rhythm (a benchmark, a single screenshot). X11Capture is this
// plus a thread and a timer.
//
// Threads: one thread at a time. Lifetime: frames it made may outlive it.
class X11Grabber {
 public:
  enum class GrabError {
    outsideScreen,   // the region is empty or not inside the root window: fix the region
    failed,          // the server refused this grab, or no memory: try the next frame
    connectionLost,  // the server went away: open a new grabber
  };
  struct GrabFailure {
    GrabError error;
    std::string message;
  };

  // Connects to `display` and checks MIT-SHM, XFIXES and a 32-bit pixel layout; the error says
  // what is missing. Blocks for the connection's round trips.
  [[nodiscard]] static Result<std::unique_ptr<X11Grabber>, std::string> open(const std::string& display);
  // Releases the shared-memory segment (on both sides) and closes the connection.
  ~X11Grabber();
  X11Grabber(const X11Grabber&) = delete;
  X11Grabber& operator=(const X11Grabber&) = delete;

  // Grabs `region` of the root window, draws the pointer in and writes a `width` x `height`
  // frame (copied when the sizes match, else scaled with the aspect kept and centred between
  // black bars), stamped with the grab time in microseconds from `origin`.
  [[nodiscard]] Result<VideoFrame, GrabFailure> grab(ScreenRegion region, int width, int height,
                                                 std::chrono::steady_clock::time_point origin);

 private:
  struct State;
  explicit X11Grabber(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

class X11Capture final : public FrameSource {
 public:
  using Log = std::function<void(const std::string&)>;

  // Captures `region` of `display`'s first screen. Capture times count in microseconds from
  // `origin` (pass the steady clock's epoch to make them readable by another process on this
  // machine). Connects on the capture thread once started; a display that cannot be reached
  // gives no frames and one log line per start(). `log` runs on the capture thread.
  X11Capture(std::string display, ScreenRegion region, std::chrono::steady_clock::time_point origin,
             Log log = {});
  // Stops and joins the capture thread. REQUIRES: not called from inside deliver.
  ~X11Capture() override;
  X11Capture(const X11Capture&) = delete;
  X11Capture& operator=(const X11Capture&) = delete;

  // Frames of `width` x `height`, at most `fps` (1...240) per second, the first at once; ticks
  // missed while the thread was held up are not made up for. A frame that cannot be grabbed
  // (a region outside the screen, a refused grab) is skipped, logged once until a grab works
  // again. A server that goes away ends the frames with one log line until the next start().
  void start(int width, int height, int fps, Deliver deliver) override;
  // Once it returns no deliver call runs and none starts, and the connection and its
  // shared-memory segment are released; unless called from inside deliver, where it only
  // ensures no later frame is delivered (they are released once deliver returns).
  void stop() override;

  // Captures another rectangle from the next frame on (a monitor that went away, a layout
  // change). The stream's size stays.
  void setRegion(ScreenRegion region);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace lumenbrook
