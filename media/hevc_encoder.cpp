#include <pthread.h>

#include <algorithm>
#include <array>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "media/ffmpeg_handles.h"
#include "media/video_encoder.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/hwcontext.h>
}

namespace lumenbrook {
namespace {

constexpr int maxDimension = 8192;
// Frame rates above this are no display's; the bound keeps fps * 4 and the VBV arithmetic small.
constexpr int maxFps = 1000;
constexpr std::string_view softwareEncoder = "libx265";
constexpr std::array<std::string_view, 4> knownEncoders = {"hevc_vaapi", "hevc_nvenc", "hevc_qsv", "libx265"};

bool validConfig(const EncoderConfig& c) {
  auto validSize = [](int n) { return n > 0 && n <= maxDimension && n % 2 == 0; };
  return validSize(c.width) && validSize(c.height) && c.fps > 0 && c.fps <= maxFps && c.bitrate > 0;
}

// A frame and a half of the average rate: small enough that a frame leaves the encoder at
// about the link's pace, large enough that a keyframe is not starved outright.
int vbvBufferBits(const EncoderConfig& c) {
  const long long bits = static_cast<long long>(c.bitrate) * 3 / (2LL * c.fps);
  return static_cast<int>(std::clamp<long long>(bits, 1, INT_MAX));
}

bool supports(const AVCodec* codec, AVPixelFormat format) {
  for (const AVPixelFormat* p = codec->pix_fmts; p && *p != AV_PIX_FMT_NONE; ++p) {
    if (*p == format) return true;
  }
  return false;
}

struct DictionaryDeleter {
  void operator()(AVDictionary* d) const { av_dict_free(&d); }
};

// Per-codec settings for no reordering, no lookahead and IDR keyframes on request.
std::unique_ptr<AVDictionary, DictionaryDeleter> codecOptions(std::string_view name) {
  AVDictionary* d = nullptr;
  if (name == "libx265") {
    av_dict_set(&d, "preset", "ultrafast", 0);
    av_dict_set(&d, "tune", "zerolatency", 0);
    av_dict_set(&d, "forced-idr", "1", 0);
    // Parameter sets on every keyframe so a phone can join at any of them; closed GOPs so each
    // keyframe is an IDR; no scene-cut keyframes, whose size would burst past the VBV; no
    // version banner in the first frame.
    av_dict_set(&d, "x265-params", "repeat-headers=1:open-gop=0:scenecut=0:info=0:log-level=error", 0);
  } else if (name == "hevc_nvenc") {
    av_dict_set(&d, "preset", "p1", 0);
    av_dict_set(&d, "tune", "ull", 0);
    av_dict_set(&d, "zerolatency", "1", 0);
    av_dict_set(&d, "delay", "0", 0);
    av_dict_set(&d, "forced-idr", "1", 0);
  } else if (name == "hevc_qsv") {
    av_dict_set(&d, "preset", "veryfast", 0);
    av_dict_set(&d, "forced_idr", "1", 0);
    av_dict_set(&d, "async_depth", "1", 0);
  } else if (name == "hevc_vaapi") {
    av_dict_set(&d, "async_depth", "1", 0);
  }
  return std::unique_ptr<AVDictionary, DictionaryDeleter>(d);
}

// An opened codec and what feeding it takes.
struct Session {
  std::string name;
  ffmpeg::CodecContextPtr context;
  AVPixelFormat inputFormat = AV_PIX_FMT_NONE;  // what BGRA is converted to
  ffmpeg::BufferPtr hwFrames;                   // set when frames must be uploaded to a device
  Bytes globalHeader;                           // parameter sets reported out of band, Annex-B
};

Result<Session, std::string> openSession(std::string_view name, const EncoderConfig& config) {
  const AVCodec* codec = avcodec_find_encoder_by_name(std::string(name).c_str());
  if (!codec) return Failure{std::string("not in this FFmpeg build")};

  Session s;
  s.name = std::string(name);
  s.context.reset(avcodec_alloc_context3(codec));
  if (!s.context) return Failure{std::string("out of memory")};
  AVCodecContext* ctx = s.context.get();
  ctx->width = config.width;
  ctx->height = config.height;
  // Frames are numbered 0, 1, 2... in this time base; capture times travel beside the codec,
  // so a source's irregular or repeated times never upset its rate control.
  ctx->time_base = AVRational{1, config.fps};
  ctx->framerate = AVRational{config.fps, 1};
  ctx->bit_rate = config.bitrate;
  ctx->rc_max_rate = config.bitrate;
  ctx->rc_buffer_size = vbvBufferBits(config);
  ctx->gop_size = config.fps * 4;
  ctx->max_b_frames = 0;
  ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  ctx->color_primaries = AVCOL_PRI_BT709;
  ctx->color_trc = AVCOL_TRC_BT709;
  ctx->colorspace = AVCOL_SPC_BT709;
  ctx->color_range = AVCOL_RANGE_MPEG;

  if (supports(codec, AV_PIX_FMT_YUV420P)) {
    s.inputFormat = AV_PIX_FMT_YUV420P;
  } else if (supports(codec, AV_PIX_FMT_NV12)) {
    s.inputFormat = AV_PIX_FMT_NV12;
  } else if (supports(codec, AV_PIX_FMT_VAAPI)) {
    AVBufferRef* device = nullptr;
    const int err = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
    if (err < 0) return Failure{"no VAAPI device: " + ffmpeg::errorText(err)};
    ffmpeg::BufferPtr deviceRef(device);
    s.hwFrames.reset(av_hwframe_ctx_alloc(deviceRef.get()));
    if (!s.hwFrames) return Failure{std::string("out of memory")};
    auto* frames = reinterpret_cast<AVHWFramesContext*>(s.hwFrames->data);
    frames->format = AV_PIX_FMT_VAAPI;
    frames->sw_format = AV_PIX_FMT_NV12;
    frames->width = config.width;
    frames->height = config.height;
    frames->initial_pool_size = 4;
    if (const int e = av_hwframe_ctx_init(s.hwFrames.get()); e < 0) {
      return Failure{"VAAPI surfaces: " + ffmpeg::errorText(e)};
    }
    ctx->pix_fmt = AV_PIX_FMT_VAAPI;
    ctx->hw_frames_ctx = av_buffer_ref(s.hwFrames.get());
    if (!ctx->hw_frames_ctx) return Failure{std::string("out of memory")};
    s.inputFormat = AV_PIX_FMT_NV12;
  } else {
    return Failure{std::string("takes no pixel format we can give it")};
  }
  if (!s.hwFrames) ctx->pix_fmt = s.inputFormat;

  auto options = codecOptions(name);
  AVDictionary* raw = options.release();
  const int err = avcodec_open2(ctx, codec, &raw);
  options.reset(raw);
  if (err < 0) return Failure{ffmpeg::errorText(err)};
  if (ctx->extradata && ctx->extradata_size > 0) {
    s.globalHeader.assign(ctx->extradata, ctx->extradata + ctx->extradata_size);
  }
  return s;
}

class HEVCEncoder;
// The encoder whose thread this is, so that stop() called there does not wait for itself.
thread_local const HEVCEncoder* currentEncoder = nullptr;

struct Pending {
  VideoFrame frame;
  bool keyframe = false;
};

class HEVCEncoder final : public VideoEncoder {
 public:
  HEVCEncoder(Session session, std::function<void()> beforeEncode)
      : session_(std::move(session)), beforeEncode_(std::move(beforeEncode)), thread_([this] { run(); }) {}

  ~HEVCEncoder() override { stop(); }

  void setOnPacket(PacketHandler handler) override {
    std::lock_guard lock(mutex_);
    onPacket_ = std::move(handler);
  }

  void encode(const VideoFrame& frame) override {
    if (!frame.valid() || frame.stride > static_cast<std::size_t>(INT_MAX)) return;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      // A frame still waiting is replaced, but its keyframe request carries over.
      const bool keyframe = keyPending_ || (slot_ && slot_->keyframe);
      keyPending_ = false;
      slot_ = Pending{frame, keyframe};
    }
    wake_.notify_one();
  }

  void requestKeyframe() override {
    std::lock_guard lock(mutex_);
    keyPending_ = true;
  }

  void stop() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      slot_.reset();
    }
    wake_.notify_one();
    // On the encoder thread itself (the test hook) the thread ends by itself once this
    // returns; waiting for it here would wait forever.
    if (currentEncoder == this) return;
    std::lock_guard lock(joinMutex_);
    if (thread_.joinable()) thread_.join();
  }

  std::string name() const override { return session_.name; }

 private:
  void run() {
    currentEncoder = this;
    pthread_setname_np(pthread_self(), "encoder");
    for (;;) {
      Pending next;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || slot_.has_value(); });
        if (stopping_) return;
        next = std::move(*slot_);
        slot_.reset();
      }
      if (beforeEncode_) beforeEncode_();
      encodeOne(next);
    }
  }

  // Encoder thread only, like everything it touches below.
  void encodeOne(const Pending& p) {
    AVCodecContext* ctx = session_.context.get();
    if (!input_) {
      input_.reset(av_frame_alloc());
      if (!input_) return;
      input_->format = session_.inputFormat;
      input_->width = ctx->width;
      input_->height = ctx->height;
      if (av_frame_get_buffer(input_.get(), 0) < 0) {
        input_.reset();
        return;
      }
    }
    if (av_frame_make_writable(input_.get()) < 0) return;
    // One thread converts: slices on several would each have to wait for a core that x265's
    // own threads are using, and on a busy machine that made frames slower, not faster.
    const VideoFrame& f = p.frame;
    if (!ffmpeg::fitConverter(sws_, f.width, f.height, AV_PIX_FMT_BGRA, ctx->width, ctx->height, session_.inputFormat,
                              SWS_CS_ITU709, false)) {
      return;
    }
    const std::uint8_t* src[4] = {f.pixels->data(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {static_cast<int>(f.stride), 0, 0, 0};
    sws_scale(sws_.get(), src, srcStride, 0, f.height, input_->data, input_->linesize);

    AVFrame* submitted = input_.get();
    ffmpeg::FramePtr uploaded;
    if (session_.hwFrames) {
      uploaded.reset(av_frame_alloc());
      if (!uploaded || av_hwframe_get_buffer(session_.hwFrames.get(), uploaded.get(), 0) < 0 ||
          av_hwframe_transfer_data(uploaded.get(), input_.get(), 0) < 0) {
        return;
      }
      submitted = uploaded.get();
    }
    submitted->pts = nextIndex_++;
    submitted->pict_type = p.keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    inFlight_.emplace_back(submitted->pts, f.ptsMicros);
    if (avcodec_send_frame(ctx, submitted) < 0) {
      inFlight_.pop_back();
      return;
    }
    receivePackets();
  }

  void receivePackets() {
    if (!packet_) packet_.reset(av_packet_alloc());
    if (!packet_) return;
    AVPacket* pkt = packet_.get();
    while (avcodec_receive_packet(session_.context.get(), pkt) == 0) {
      const auto micros = captureTime(pkt->pts);
      const bool keyframe = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
      std::optional<VideoPacket> packet;
      if (micros && pkt->size > 0) {
        packet = VideoPacket::fromAnnexB(ByteView(pkt->data, static_cast<std::size_t>(pkt->size)), keyframe, *micros,
                                         session_.globalHeader);
      }
      av_packet_unref(pkt);
      if (!packet) continue;
      PacketHandler handler;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        handler = onPacket_;
      }
      if (handler) handler(std::move(*packet));
    }
  }

  // The capture time of the frame numbered `index`; frames the codec skipped are forgotten.
  std::optional<std::uint64_t> captureTime(std::int64_t index) {
    if (index == AV_NOPTS_VALUE && !inFlight_.empty()) index = inFlight_.front().first;
    while (!inFlight_.empty() && inFlight_.front().first < index) inFlight_.pop_front();
    if (inFlight_.empty() || inFlight_.front().first != index) return std::nullopt;
    const std::uint64_t micros = inFlight_.front().second;
    inFlight_.pop_front();
    return micros;
  }

  // Fixed after construction; the codec state is used by the encoder thread alone.
  Session session_;
  const std::function<void()> beforeEncode_;
  ffmpeg::FramePtr input_;
  ffmpeg::PacketPtr packet_;
  ffmpeg::SwsPtr sws_;
  std::int64_t nextIndex_ = 0;
  std::deque<std::pair<std::int64_t, std::uint64_t>> inFlight_;  // frame number, capture time

  // Shared with callers, under mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<Pending> slot_;
  bool keyPending_ = true;  // the first frame is a keyframe
  bool stopping_ = false;
  PacketHandler onPacket_;

  std::mutex joinMutex_;  // two owners' threads stopping at once join one at a time
  std::thread thread_;    // last, so it starts after everything above exists
};

}  // namespace

Result<std::unique_ptr<VideoEncoder>, EncoderError> makeHevcEncoder(const EncoderConfig& config,
                                                                   HevcEncoderOptions options) {
  if (!validConfig(config)) return Failure{EncoderError::invalidConfig};
  auto log = [&](const std::string& line) {
    if (options.onLog) options.onLog(line);
  };

  std::string wanted = options.encoder;
  if (wanted.empty()) {
    if (const char* value = std::getenv(std::string(encoderEnvironmentVariable).c_str())) wanted = value;
  }
  if (wanted.empty()) wanted = softwareEncoder;
  if (std::find(knownEncoders.begin(), knownEncoders.end(), wanted) == knownEncoders.end()) {
    log("encoder \"" + wanted + "\" is not one of hevc_vaapi, hevc_nvenc, hevc_qsv, libx265; using libx265");
    wanted = softwareEncoder;
  }

  auto session = openSession(wanted, config);
  if (!session.ok() && wanted != softwareEncoder) {
    log("encoder " + wanted + " unavailable (" + session.error() + "); using libx265");
    session = openSession(softwareEncoder, config);
  }
  if (!session.ok()) {
    log("encoder libx265 unavailable (" + session.error() + ")");
    return Failure{EncoderError::unavailable};
  }
  log("encoder " + session->name + ": " + std::to_string(config.width) + "x" + std::to_string(config.height) + " at " +
      std::to_string(config.fps) + " fps, " + std::to_string(config.bitrate) + " bit/s");
  return std::unique_ptr<VideoEncoder>(
      std::make_unique<HEVCEncoder>(std::move(*session), std::move(options.beforeEncode)));
}

}  // namespace lumenbrook
