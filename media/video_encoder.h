#pragma once
// HEVC encoding on FFmpeg for live streams: no B-frames, no lookahead, no reordering, a
// keyframe at least every fps * 4 frames and on request, average bit rate with a VBV of about
// a frame and a half, so one frame in gives one packet out at once.
//
// The codec is libx265 (preset ultrafast, tune zerolatency) unless the environment variable
// LUMENBROOK_ENCODER names a hardware encoder (hevc_vaapi, hevc_nvenc, hevc_qsv); one that
// cannot be opened falls back to libx265, and the log callback says why.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/util/result.h"
#include "core/video/encoder_factory.h"

namespace lumenbrook {

// The environment variable that chooses the codec.
inline constexpr std::string_view encoderEnvironmentVariable = "LUMENBROOK_ENCODER";

struct HevcEncoderOptions {
  // The codec to try first: "hevc_vaapi", "hevc_nvenc", "hevc_qsv" or "libx265". Empty means
  // the environment variable's value, and libx265 when that is unset or empty.
  std::string encoder;
  // One-line English diagnostics: which codec was opened, and why a chosen one was not.
  // Called on the creating thread only.
  std::function<void(const std::string&)> onLog;
  // Runs on the encoder thread each time it has taken a frame and before it encodes it. Lets
  // a test hold the thread at a known point; leave empty otherwise. It may call the
  // encoder's stop(), which then returns at once and the frame in hand yields no packet.
  std::function<void()> beforeEncode;
};

// Opens an encoder session. invalidConfig when a size is not positive and even or above 8192,
// or fps or bitrate is not positive; unavailable when not even libx265 opens.
[[nodiscard]] Result<std::unique_ptr<VideoEncoder>, EncoderError> makeHevcEncoder(const EncoderConfig& config,
                                                                                  HevcEncoderOptions options = {});

// The factory the streamer is given: every session made with the same options.
class HevcEncoderFactory final : public EncoderFactory {
 public:
  explicit HevcEncoderFactory(HevcEncoderOptions options = {}) : options_(std::move(options)) {}

  [[nodiscard]] Result<std::unique_ptr<VideoEncoder>, EncoderError> makeEncoder(const EncoderConfig& config) override {
    return makeHevcEncoder(config, options_);
  }

 private:
  HevcEncoderOptions options_;
};

}  // namespace lumenbrook
