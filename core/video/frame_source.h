#pragma once
// A producer of uncompressed pictures for one stream: the test pattern, a screen capture or a
// virtual display. The streamer starts it once the phone's path is bound and stops it with the
// stream; it does not know where the pictures come from.

#include <functional>

#include "core/video/video_frame.h"

namespace lumenbrook {

class FrameSource {
 public:
  // Called once per picture, with its capture time in ptsMicros (microseconds from a point
  // the source fixes, increasing). The frame's pixels are reference-counted and handed over
  // without copying; the consumer may keep them as long as it likes.
  using Deliver = std::function<void(VideoFrame frame)>;

  // Stops first, as stop() does.
  virtual ~FrameSource() = default;

  // Begins delivering `width` x `height` pictures at about `fps` per second. `deliver` runs on
  // the source's own thread, one frame at a time, never on the caller's; it must hand the
  // frame to its own queue and return (it must not wait for the thread that calls stop()).
  // Calling start() again without stop() replaces the earlier delivery.
  virtual void start(int width, int height, int fps, Deliver deliver) = 0;

  // Once it returns no deliver call is running and none starts. Idempotent; the source may
  // be started again afterwards.
  virtual void stop() = 0;
};

}  // namespace lumenbrook
