#pragma once
// The seam between the streamer and a video codec. The streamer is handed an EncoderFactory
// and knows nothing of the codec library behind it; the media layer supplies the real one,
// tests a fake.

#include <functional>
#include <memory>
#include <string>

#include "core/util/result.h"
#include "core/video/video_frame.h"
#include "core/video/video_packet.h"

namespace lumenbrook {

struct EncoderConfig {
  int width = 0;    // pixels, positive and even (4:2:0 chroma)
  int height = 0;   // pixels, positive and even
  int fps = 0;      // expected frame rate, positive; keyframes come at least every fps * 4 frames
  int bitrate = 0;  // average bits per second, positive

  friend bool operator==(const EncoderConfig&, const EncoderConfig&) = default;
};

enum class EncoderError {
  invalidConfig,  // the configuration is outside what any encoder accepts; fix the caller
  unavailable,    // no encoder could be opened on this machine; stream nothing
};

// A live encoder session. encode() and requestKeyframe() never block on encoding: frames go
// to the encoder's own thread, and a frame still waiting there when a newer one arrives is
// dropped for it, so latency stays bounded when the machine cannot keep up.
//
// Threads: encode(), requestKeyframe(), setOnPacket() and stop() may be called from any one
// thread (the owner's queue). The packet handler runs on the encoder's thread; it must hand
// the packet to its own queue and must not call stop() or destroy the encoder.
class VideoEncoder {
 public:
  using PacketHandler = std::function<void(VideoPacket)>;

  // Stops the encoder first, as stop() does.
  virtual ~VideoEncoder() = default;

  // Receives every encoded frame, in encoding order. Set it before the first encode(); a
  // packet that finishes while no handler is set is dropped.
  virtual void setOnPacket(PacketHandler handler) = 0;

  // Submits one frame; its ptsMicros becomes the packet's. The first frame encoded is always a
  // keyframe. A frame that is not valid() is ignored; one of another size is scaled to the
  // configured size. Nothing happens after stop().
  virtual void encode(const VideoFrame& frame) = 0;

  // The next frame encoded is a keyframe carrying its parameter sets. Requests made before
  // that frame is encoded fold into that one keyframe, and a request is not lost when the
  // frame it would have applied to is dropped for a newer one.
  virtual void requestKeyframe() = 0;

  // Ends the session: frames not yet encoded are discarded, and once stop() returns the packet
  // handler is not called again. Idempotent.
  virtual void stop() = 0;

  // The codec behind the session, for logs (for example "libx265").
  virtual std::string name() const = 0;
};

class EncoderFactory {
 public:
  virtual ~EncoderFactory() = default;

  // A new encoder session for `config`, not yet encoding anything.
  [[nodiscard]] virtual Result<std::unique_ptr<VideoEncoder>, EncoderError> makeEncoder(
      const EncoderConfig& config) = 0;
};

}  // namespace lumenbrook
