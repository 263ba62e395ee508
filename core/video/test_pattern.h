#pragma once
// A synthetic moving picture for streams that have no screen to show: seven vertical colour
// bars (grey, yellow, cyan, green, magenta, red, blue) scrolling left 8 pixels per frame, a
// white vertical line 15 pixels wide moving right 16 pixels per frame, both wrapping, and a
// fixed orange block of (width / 8) x (height / 8) in the top-left corner that shows which
// way is up and left. The output is 32-bit BGRA with alpha 255.
//
// Pure functions; callable from any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/video/video_frame.h"

namespace lumenbrook::TestPattern {

// The largest width or height pixelBuffer() makes (a 1 GiB image).
inline constexpr int maxDimension = 16384;

// Draws the frame-th picture into a caller's image whose rows are `stride` bytes apart. Only
// the first width * 4 bytes of each row are written. Returns false, writing nothing, when
// width or height is not positive, stride < width * 4, or `pixels` cannot hold every row.
[[nodiscard]] bool draw(std::span<std::uint8_t> pixels, int width, int height, std::size_t stride,
                        std::uint64_t frame);

// A new image of the frame-th picture with stride width * 4 and ptsMicros 0 (the source
// stamps it), or absent when width or height is outside 1...maxDimension.
[[nodiscard]] std::optional<VideoFrame> pixelBuffer(int width, int height, std::uint64_t frame);

}  // namespace lumenbrook::TestPattern
