#pragma once
// One uncompressed picture as a frame source hands it to the encoder: 32-bit BGRA (bytes blue,
// green, red, alpha), rows `stride` bytes apart. The pixels are shared and immutable, so a
// frame can be passed between queues and kept by several owners without copying.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/util/bytes.h"

namespace lumenbrook {

struct VideoFrame {
  static constexpr std::size_t bytesPerPixel = 4;

  std::shared_ptr<const Bytes> pixels;
  int width = 0;
  int height = 0;
  std::size_t stride = 0;  // bytes from the start of one row to the next, >= width * 4
  std::uint64_t ptsMicros = 0;

  // True when the sizes are positive and `pixels` holds every row at `stride`.
  bool valid() const;

  // The width * 4 bytes of row y. REQUIRES: valid() and 0 <= y < height.
  ByteView row(int y) const {
    return ByteView(*pixels).subspan(static_cast<std::size_t>(y) * stride, static_cast<std::size_t>(width) * 4);
  }

  // Equal frames have the same geometry, time and pixel bytes; whether the buffers are shared
  // does not matter.
  friend bool operator==(const VideoFrame& a, const VideoFrame& b);
};

}  // namespace lumenbrook
