#include "core/video/test_pattern.h"

#include <array>
#include <cstring>
#include <new>

namespace lumenbrook::TestPattern {
namespace {

struct Bgra {
  std::uint8_t b, g, r, a;
};

// Bars 0...6, left to right.
constexpr std::array<Bgra, 7> bars = {{
    {192, 192, 192, 255},  // grey
    {0, 192, 192, 255},    // yellow
    {192, 192, 0, 255},    // cyan
    {0, 192, 0, 255},      // green
    {192, 0, 192, 255},    // magenta
    {0, 0, 192, 255},      // red
    {192, 0, 0, 255},      // blue
}};
constexpr Bgra white = {255, 255, 255, 255};
constexpr Bgra orange = {38, 154, 238, 255};

void put(std::uint8_t* p, Bgra c) {
  p[0] = c.b;
  p[1] = c.g;
  p[2] = c.r;
  p[3] = c.a;
}

}  // namespace

bool draw(std::span<std::uint8_t> pixels, int width, int height, std::size_t stride, std::uint64_t frame) {
  if (width <= 0 || height <= 0) return false;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  if (stride < rowBytes || pixels.size() < rowBytes) return false;
  if ((pixels.size() - rowBytes) / stride < static_cast<std::size_t>(height - 1)) return false;

  // Reducing frame first keeps the products exact for any frame number.
  const std::uint64_t w = static_cast<std::uint64_t>(width);
  const std::uint64_t shift = (frame % w) * 8 % w;
  const std::uint64_t line = (frame % w) * 16 % w;

  // One pattern row and one block row per frame; every image row is a copy of them.
  Bytes pattern(rowBytes);
  for (std::uint64_t x = 0; x < w; ++x) {
    const std::uint64_t distance = x > line ? x - line : line - x;
    const Bgra c = distance < 8 ? white : bars[((x + shift) % w) * 7 / w];
    put(&pattern[x * 4], c);
  }
  const std::size_t blockPixels = width > 7 ? static_cast<std::size_t>(width / 8) : 0;
  Bytes block(blockPixels * 4);
  for (std::size_t i = 0; i < blockPixels; ++i) put(&block[i * 4], orange);

  const int blockRows = height / 8;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = pixels.data() + static_cast<std::size_t>(y) * stride;
    std::memcpy(row, pattern.data(), rowBytes);
    if (y < blockRows && !block.empty()) std::memcpy(row, block.data(), block.size());
  }
  return true;
}

std::optional<VideoFrame> pixelBuffer(int width, int height, std::uint64_t frame) {
  if (width <= 0 || height <= 0 || width > maxDimension || height > maxDimension) return std::nullopt;
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  std::shared_ptr<Bytes> pixels;
  try {
    pixels = std::make_shared<Bytes>(stride * static_cast<std::size_t>(height));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  if (!draw(*pixels, width, height, stride, frame)) return std::nullopt;
  return VideoFrame{std::move(pixels), width, height, stride, 0};
}

}  // namespace lumenbrook::TestPattern
