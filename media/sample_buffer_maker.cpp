#include "media/sample_buffer_maker.h"

#include <array>
#include <limits>

#include "media/ffmpeg_handles.h"

namespace lumenbrook {
namespace {

constexpr std::array<std::uint8_t, 4> startCode = {0, 0, 0, 1};
constexpr int nalVps = 32;
constexpr int nalSps = 33;
constexpr int nalPps = 34;

}  // namespace

std::optional<Bytes> annexBFromLengthPrefixed(ByteView frame) {
  if (frame.empty()) return std::nullopt;
  Bytes out;
  out.reserve(frame.size());  // each 4-byte length becomes a 4-byte start code
  std::size_t pos = 0;
  while (pos < frame.size()) {
    if (frame.size() - pos < 4) return std::nullopt;
    const std::uint32_t length = loadU32BE(frame.data() + pos);
    pos += 4;
    if (length == 0 || frame.size() - pos < length) return std::nullopt;
    append(out, startCode);
    append(out, frame.subspan(pos, length));
    pos += length;
  }
  return out;
}

std::optional<VideoFormat> makeVideoFormat(const std::vector<Bytes>& parameterSets) {
  bool vps = false, sps = false, pps = false;
  Bytes extradata;
  for (const auto& set : parameterSets) {
    const auto type = hevcNalType(set);
    if (!type) return std::nullopt;
    vps |= *type == nalVps;
    sps |= *type == nalSps;
    pps |= *type == nalPps;
    if (*type < nalVps || *type > nalPps) return std::nullopt;
    append(extradata, startCode);
    append(extradata, set);
  }
  if (!vps || !sps || !pps) return std::nullopt;
  if (extradata.size() > static_cast<std::size_t>(std::numeric_limits<int>::max() - AV_INPUT_BUFFER_PADDING_SIZE)) {
    return std::nullopt;
  }

  // Opening a decoder on them is how FFmpeg parses parameter sets: it refuses ones it cannot
  // read and reports the picture size from the sequence parameter set.
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
  if (!codec) return std::nullopt;
  ffmpeg::CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) return std::nullopt;
  ctx->extradata = static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!ctx->extradata) return std::nullopt;
  std::copy(extradata.begin(), extradata.end(), ctx->extradata);
  ctx->extradata_size = static_cast<int>(extradata.size());
  ctx->thread_count = 1;
  ctx->err_recognition = AV_EF_EXPLODE;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return std::nullopt;
  if (ctx->width <= 0 || ctx->height <= 0) return std::nullopt;
  return VideoFormat{parameterSets, ctx->width, ctx->height};
}

std::optional<VideoSample> SampleBufferMaker::sample(const VideoPacket& packet) {
  if (packet.keyframe && !packet.parameterSets.empty() &&
      (!format_ || format_->parameterSets != packet.parameterSets)) {
    if (auto format = makeVideoFormat(packet.parameterSets)) {
      format_ = std::make_shared<const VideoFormat>(std::move(*format));
    }
  }
  if (!format_) return std::nullopt;
  auto data = annexBFromLengthPrefixed(packet.frame);
  if (!data) return std::nullopt;
  constexpr auto maxPts = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  return VideoSample{format_, std::move(*data), static_cast<std::int64_t>(std::min(packet.ptsMicros, maxPts)), true};
}

}  // namespace lumenbrook
