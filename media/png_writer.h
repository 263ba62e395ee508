#pragma once
// Still pictures as PNG files, for snapshots of a decoded stream.

#include <filesystem>

#include "core/util/result.h"
#include "core/video/video_frame.h"

namespace lumenbrook {

enum class PngError {
  invalidPicture,  // the frame is not valid() or too large for the PNG encoder
  encodeFailed,    // FFmpeg's PNG encoder is missing or refused the picture
  writeFailed,     // the file could not be created or written completely
};

// Writes a BGRA picture as an 8-bit RGB PNG (alpha is dropped: decoded pictures are opaque).
// Replaces an existing file; on writeFailed the file may be left partly written.
[[nodiscard]] Result<Unit, PngError> writePng(const VideoFrame& picture, const std::filesystem::path& path);

}  // namespace lumenbrook
