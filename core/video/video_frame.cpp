#include "core/video/video_frame.h"

namespace lumenbrook {

bool VideoFrame::valid() const {
  if (!pixels || width <= 0 || height <= 0) return false;
  const auto rowBytes = static_cast<std::uint64_t>(width) * bytesPerPixel;
  if (stride < rowBytes || pixels->size() < rowBytes) return false;
  // Division instead of stride * (height - 1) so that a huge stride cannot wrap.
  return (pixels->size() - rowBytes) / stride >= static_cast<std::uint64_t>(height - 1);
}

bool operator==(const VideoFrame& a, const VideoFrame& b) {
  if (a.width != b.width || a.height != b.height || a.stride != b.stride || a.ptsMicros != b.ptsMicros) return false;
  if (a.pixels == b.pixels) return true;
  if (!a.pixels || !b.pixels) return false;
  return *a.pixels == *b.pixels;
}

}  // namespace lumenbrook
