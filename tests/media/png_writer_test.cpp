#include "media/png_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/video/test_pattern.h"
#include "media/ffmpeg_handles.h"
#include "media/hevc_decoder.h"

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;

class PngWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("lumenbrook-png-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  // Decodes a PNG file with FFmpeg's PNG decoder into BGRA, independently of the writer.
  static std::optional<VideoFrame> decodePng(const Bytes& file) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    ffmpeg::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    ffmpeg::PacketPtr packet(av_packet_alloc());
    ffmpeg::FramePtr frame(av_frame_alloc());
    if (!ctx || !packet || !frame || avcodec_open2(ctx.get(), codec, nullptr) < 0) return std::nullopt;
    if (av_new_packet(packet.get(), static_cast<int>(file.size())) < 0) return std::nullopt;
    std::copy(file.begin(), file.end(), packet->data);
    if (avcodec_send_packet(ctx.get(), packet.get()) < 0 || avcodec_receive_frame(ctx.get(), frame.get()) < 0) {
      return std::nullopt;
    }
    if (frame->format != AV_PIX_FMT_RGB24) return std::nullopt;
    const std::size_t stride = static_cast<std::size_t>(frame->width) * 4;
    auto pixels = std::make_shared<Bytes>(stride * static_cast<std::size_t>(frame->height));
    for (int y = 0; y < frame->height; ++y) {
      const std::uint8_t* in = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
      std::uint8_t* out = pixels->data() + static_cast<std::size_t>(y) * stride;
      for (int x = 0; x < frame->width; ++x) {
        out[4 * x] = in[3 * x + 2];
        out[4 * x + 1] = in[3 * x + 1];
        out[4 * x + 2] = in[3 * x];
        out[4 * x + 3] = 255;
      }
    }
    return VideoFrame{std::move(pixels), frame->width, frame->height, stride, 0};
  }

  fs::path dir_;
};

// The same picture with tight rows and with padded rows.
VideoFrame padded(const VideoFrame& tight, std::size_t extra) {
  const std::size_t stride = tight.stride + extra;
  auto pixels = std::make_shared<Bytes>(stride * static_cast<std::size_t>(tight.height), 0xAB);
  for (int y = 0; y < tight.height; ++y) {
    const auto row = tight.row(y);
    std::copy(row.begin(), row.end(), pixels->begin() + static_cast<std::ptrdiff_t>(y * stride));
  }
  return VideoFrame{std::move(pixels), tight.width, tight.height, stride, 0};
}

TEST_F(PngWriterTest, WritesAPngThatDecodesToThePicture) {
  const VideoFrame tight = *TestPattern::pixelBuffer(321, 181, 5);
  const VideoFrame frames[] = {tight, padded(tight, 12)};
  for (const auto& picture : frames) {
    SCOPED_TRACE("stride " + std::to_string(picture.stride));
    const fs::path path = dir_ / "snapshot.png";
    ASSERT_TRUE(writePng(picture, path).ok());
    const Bytes file = readFile(path);
    ASSERT_GE(file.size(), 8u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), (Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}));
    const auto decoded = decodePng(file);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, tight);  // lossless, every pixel
  }
}

TEST_F(PngWriterTest, ReplacesAnExistingFile) {
  const fs::path path = dir_ / "snapshot.png";
  std::ofstream(path) << std::string(100000, 'x');
  const VideoFrame picture = *TestPattern::pixelBuffer(16, 16, 0);
  ASSERT_TRUE(writePng(picture, path).ok());
  EXPECT_EQ(decodePng(readFile(path)), picture);
}

TEST_F(PngWriterTest, ReportsWhatWentWrong) {
  const VideoFrame good = *TestPattern::pixelBuffer(16, 16, 0);
  VideoFrame shortPixels = good;
  shortPixels.height = 17;
  const struct {
    const char* name;
    VideoFrame picture;
    fs::path path;
    PngError expected;
  } cases[] = {
      {"empty frame", VideoFrame{}, dir_ / "a.png", PngError::invalidPicture},
      {"pixels short of the height", shortPixels, dir_ / "b.png", PngError::invalidPicture},
      {"missing directory", good, dir_ / "missing" / "c.png", PngError::writeFailed},
      {"path is a directory", good, dir_, PngError::writeFailed},
  };
  for (const auto& c : cases) {
    const auto result = writePng(c.picture, c.path);
    ASSERT_FALSE(result.ok()) << c.name;
    EXPECT_EQ(result.error(), c.expected) << c.name;
  }
  EXPECT_FALSE(fs::exists(dir_ / "a.png"));
  EXPECT_FALSE(fs::exists(dir_ / "b.png"));
}

}  // namespace
}  // namespace lumenbrook
