#pragma once
// Decodes the samples a SampleBufferMaker makes with FFmpeg's own HEVC decoder, set for low
// delay: a sample in gives its picture out at once, as 32-bit BGRA.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/video/video_frame.h"
#include "media/sample_buffer_maker.h"

namespace lumenbrook {

struct Rgb {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;

  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The colour of pixel (x, y) of a BGRA picture; absent outside the picture or for an
// invalid one.
[[nodiscard]] std::optional<Rgb> rgbAt(const VideoFrame& picture, int x, int y);

// One decoder per stream, used from one thread at a time.
class HevcDecoder {
 public:
  HevcDecoder();
  ~HevcDecoder();
  HevcDecoder(HevcDecoder&&) noexcept;
  HevcDecoder& operator=(HevcDecoder&&) noexcept;

  // The pictures this sample completes, with the samples' presentation times; normally just
  // its own. The decoder restarts on the sample's format whenever that differs from the last
  // one (a new stream configuration arrives with a keyframe). A sample the decoder cannot
  // use gives nothing, and decoding goes on with the next one.
  std::vector<VideoFrame> decode(const VideoSample& sample);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace lumenbrook
