#include "media/png_writer.h"

#include <climits>
#include <fstream>

#include "media/ffmpeg_handles.h"

namespace lumenbrook {

Result<Unit, PngError> writePng(const VideoFrame& picture, const std::filesystem::path& path) {
  if (!picture.valid() || picture.stride > static_cast<std::size_t>(INT_MAX)) return Failure{PngError::invalidPicture};

  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!codec) return Failure{PngError::encodeFailed};
  ffmpeg::CodecContextPtr ctx(avcodec_alloc_context3(codec));
  ffmpeg::FramePtr rgb(av_frame_alloc());
  ffmpeg::PacketPtr packet(av_packet_alloc());
  if (!ctx || !rgb || !packet) return Failure{PngError::encodeFailed};
  ctx->width = picture.width;
  ctx->height = picture.height;
  ctx->pix_fmt = AV_PIX_FMT_RGB24;
  ctx->time_base = AVRational{1, 1};
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return Failure{PngError::encodeFailed};

  rgb->format = AV_PIX_FMT_RGB24;
  rgb->width = picture.width;
  rgb->height = picture.height;
  if (av_frame_get_buffer(rgb.get(), 0) < 0) return Failure{PngError::encodeFailed};
  ffmpeg::SwsPtr sws;
  if (!ffmpeg::fitConverter(sws, picture.width, picture.height, AV_PIX_FMT_BGRA, picture.width, picture.height,
                            AV_PIX_FMT_RGB24, SWS_CS_DEFAULT, true)) {
    return Failure{PngError::encodeFailed};
  }
  const std::uint8_t* src[4] = {picture.pixels->data(), nullptr, nullptr, nullptr};
  const int srcStride[4] = {static_cast<int>(picture.stride), 0, 0, 0};
  sws_scale(sws.get(), src, srcStride, 0, picture.height, rgb->data, rgb->linesize);
  rgb->pts = 0;

  if (avcodec_send_frame(ctx.get(), rgb.get()) < 0 || avcodec_send_frame(ctx.get(), nullptr) < 0) {
    return Failure{PngError::encodeFailed};
  }
  // One picture in, one complete file out.
  if (avcodec_receive_packet(ctx.get(), packet.get()) < 0 || packet->size <= 0) return Failure{PngError::encodeFailed};

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return Failure{PngError::writeFailed};
  out.write(reinterpret_cast<const char*>(packet->data), packet->size);
  out.close();
  if (!out) return Failure{PngError::writeFailed};
  return Unit{};
}

}  // namespace lumenbrook
