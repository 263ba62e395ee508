#pragma once
// Private to media/: owning handles for FFmpeg objects, so that every exit path frees them.
// Nothing outside media/*.cpp includes this header.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace lumenbrook::ffmpeg {

struct CodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct BufferDeleter {
  void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
struct SwsDeleter {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using BufferPtr = std::unique_ptr<AVBufferRef, BufferDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;

// FFmpeg's text for an error code, for log lines.
inline std::string errorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// A converter from `srcFormat` to `dstFormat`, reusing `sws` when it already fits. Sets the
// YUV matrix and ranges on every new context, since a cached context that had to be rebuilt
// forgets them. `yuvMatrix` is an SWS_CS_* constant; RGB sides are full range, YUV sides as
// `yuvFullRange` says. Returns false when swscale cannot convert between the two.
inline bool fitConverter(SwsPtr& sws, int srcW, int srcH, AVPixelFormat srcFormat, int dstW, int dstH,
                         AVPixelFormat dstFormat, int yuvMatrix, bool yuvFullRange) {
  SwsContext* old = sws.release();
  SwsContext* next = sws_getCachedContext(old, srcW, srcH, srcFormat, dstW, dstH, dstFormat, SWS_BILINEAR,
                                          nullptr, nullptr, nullptr);
  sws.reset(next);
  if (!next) return false;
  if (next != old) {
    const int* coefficients = sws_getCoefficients(yuvMatrix);
    const bool srcYuv = !(srcFormat == AV_PIX_FMT_BGRA || srcFormat == AV_PIX_FMT_RGB24 || srcFormat == AV_PIX_FMT_RGBA);
    const bool dstYuv = !(dstFormat == AV_PIX_FMT_BGRA || dstFormat == AV_PIX_FMT_RGB24 || dstFormat == AV_PIX_FMT_RGBA);
    sws_setColorspaceDetails(next, coefficients, srcYuv ? yuvFullRange : 1, coefficients, dstYuv ? yuvFullRange : 1,
                             0, 1 << 16, 1 << 16);
  }
  return true;
}

}  // namespace lumenbrook::ffmpeg
