#include "media/hevc_decoder.h"

#include <algorithm>
#include <array>
#include <climits>

#include "media/ffmpeg_handles.h"

namespace lumenbrook {

std::optional<Rgb> rgbAt(const VideoFrame& picture, int x, int y) {
  if (!picture.valid() || x < 0 || y < 0 || x >= picture.width || y >= picture.height) return std::nullopt;
  const auto row = picture.row(y);
  const std::size_t at = static_cast<std::size_t>(x) * VideoFrame::bytesPerPixel;
  return Rgb{row[at + 2], row[at + 1], row[at]};
}

struct HevcDecoder::State {
  std::shared_ptr<const VideoFormat> format;  // what `codec` was opened with
  ffmpeg::CodecContextPtr codec;
  ffmpeg::PacketPtr packet{av_packet_alloc()};
  ffmpeg::FramePtr frame{av_frame_alloc()};
  ffmpeg::SwsPtr sws;

  bool open(const std::shared_ptr<const VideoFormat>& next) {
    codec.reset();
    format = next;
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (!decoder || !next) return false;
    ffmpeg::CodecContextPtr ctx(avcodec_alloc_context3(decoder));
    if (!ctx) return false;
    Bytes extradata;
    for (const auto& set : next->parameterSets) {
      append(extradata, std::array<std::uint8_t, 4>{0, 0, 0, 1});
      append(extradata, set);
    }
    ctx->extradata = static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!ctx->extradata) return false;
    std::copy(extradata.begin(), extradata.end(), ctx->extradata);
    ctx->extradata_size = static_cast<int>(extradata.size());
    // Frame threads would hold pictures back by a frame each; slices keep one in, one out.
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    ctx->thread_type = FF_THREAD_SLICE;
    ctx->thread_count = 0;
    if (avcodec_open2(ctx.get(), decoder, nullptr) < 0) return false;
    codec = std::move(ctx);
    return true;
  }

  std::optional<VideoFrame> toBgra(const AVFrame& f) {
    if (f.width <= 0 || f.height <= 0) return std::nullopt;
    const auto format = static_cast<AVPixelFormat>(f.format);
    // Untagged streams are taken as BT.601, as FFmpeg's own converters do.
    const int matrix = f.colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
    const bool fullRange = f.color_range == AVCOL_RANGE_JPEG;
    if (!ffmpeg::fitConverter(sws, f.width, f.height, format, f.width, f.height, AV_PIX_FMT_BGRA, matrix, fullRange)) {
      return std::nullopt;
    }
    const std::size_t stride = static_cast<std::size_t>(f.width) * VideoFrame::bytesPerPixel;
    auto pixels = std::make_shared<Bytes>(stride * static_cast<std::size_t>(f.height));
    std::uint8_t* dst[4] = {pixels->data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {static_cast<int>(stride), 0, 0, 0};
    if (sws_scale(sws.get(), f.data, f.linesize, 0, f.height, dst, dstStride) != f.height) return std::nullopt;
    const std::int64_t pts = f.best_effort_timestamp != AV_NOPTS_VALUE ? f.best_effort_timestamp : f.pts;
    return VideoFrame{std::move(pixels), f.width, f.height, stride, static_cast<std::uint64_t>(std::max<std::int64_t>(pts, 0))};
  }
};

HevcDecoder::HevcDecoder() : state_(std::make_unique<State>()) {}
HevcDecoder::~HevcDecoder() = default;
HevcDecoder::HevcDecoder(HevcDecoder&&) noexcept = default;
HevcDecoder& HevcDecoder::operator=(HevcDecoder&&) noexcept = default;

std::vector<VideoFrame> HevcDecoder::decode(const VideoSample& sample) {
  std::vector<VideoFrame> pictures;
  if (!state_) return pictures;  // moved from
  State& s = *state_;
  if (!sample.format || sample.data.empty() || sample.data.size() > static_cast<std::size_t>(INT_MAX)) return pictures;
  if (!s.packet || !s.frame) return pictures;
  const bool sameFormat = s.format && (s.format == sample.format || *s.format == *sample.format);
  if (!sameFormat || !s.codec) {
    if (!s.open(sample.format)) return pictures;
  }

  if (av_new_packet(s.packet.get(), static_cast<int>(sample.data.size())) < 0) return pictures;
  std::copy(sample.data.begin(), sample.data.end(), s.packet->data);
  s.packet->pts = sample.ptsMicros;
  const int sent = avcodec_send_packet(s.codec.get(), s.packet.get());
  av_packet_unref(s.packet.get());
  if (sent < 0) return pictures;
  while (avcodec_receive_frame(s.codec.get(), s.frame.get()) == 0) {
    if (auto picture = s.toBgra(*s.frame)) pictures.push_back(std::move(*picture));
    av_frame_unref(s.frame.get());
  }
  return pictures;
}

}  // namespace lumenbrook
