// The recorder's file is an HEVC elementary stream FFmpeg's own tools read and decode whole.

#include "phone/hevc_recorder.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/crypto/crypto.h"
#include "tests/media/media_test_support.h"

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;

constexpr EncoderConfig kConfig{320, 240, 30, 500'000};

class HevcRecorderTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(dir_); }

  Bytes readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  const fs::path dir_ = fs::temp_directory_path() / ("lb-recorder-" + std::to_string(::getpid()) + "-" +
                                                     std::to_string(crypto::randomBytes(4)[0]));
  const bool made_ = fs::create_directories(dir_);
};

// What ffprobe says of `file`, one "key=value" line per entry; empty when it cannot run.
std::string probe(const fs::path& file) {
  const std::string command = "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                              "stream=codec_name,width,height,nb_read_frames -of default=nw=1 '" +
                              file.string() + "' 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  ::pclose(pipe);
  return out;
}

TEST_F(HevcRecorderTest, WritesAStreamThatFFmpegReadsAndDecodes) {
  const std::vector<VideoPacket> packets = testing::encodePattern(kConfig, 6);
  ASSERT_TRUE(packets.front().keyframe);
  ASSERT_FALSE(packets[1].keyframe);
  const fs::path file = dir_ / "stream.hevc";
  auto recorder = HevcRecorder::open(file);
  ASSERT_TRUE(recorder.ok()) << recorder.error();

  // Nothing before the first keyframe, nor what is not a packet.
  EXPECT_FALSE(recorder.value()->write(packets[1]));
  EXPECT_FALSE(recorder.value()->write(Reassembler::Frame{0, true, 0, Bytes{1, 2, 3}}));
  for (const VideoPacket& p : packets) {
    EXPECT_TRUE(recorder.value()->write(Reassembler::Frame{0, p.keyframe, p.ptsMicros, p.encoded()}));
  }
  EXPECT_EQ(recorder.value()->framesWritten(), packets.size());
  ASSERT_TRUE(recorder.value()->close().ok());
  EXPECT_FALSE(recorder.value()->write(packets[0]));
  EXPECT_TRUE(recorder.value()->close().ok());

  // Parameter sets first, behind 4-byte start codes, then the frames' units.
  const Bytes bytes = readAll(file);
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), (Bytes{0, 0, 0, 1}));
  auto units = splitAnnexB(bytes);
  ASSERT_TRUE(units);
  std::vector<int> types;
  for (ByteView u : *units) types.push_back(hevcNalType(u).value_or(-1));
  ASSERT_GT(types.size(), 3u + packets.size() - 1);
  EXPECT_EQ(std::vector<int>(types.begin(), types.begin() + 3), (std::vector<int>{32, 33, 34}));
  EXPECT_EQ(std::count(types.begin(), types.end(), 32), 1);

  const std::string report = probe(file);
  if (report.empty()) GTEST_SKIP() << "ffprobe is not on PATH";
  EXPECT_EQ(report, "codec_name=hevc\nwidth=320\nheight=240\nnb_read_frames=6\n");
}

TEST_F(HevcRecorderTest, AFileThatCannotBeCreatedIsRefusedWithTheReason) {
  auto recorder = HevcRecorder::open(dir_ / "missing" / "stream.hevc");
  ASSERT_FALSE(recorder.ok());
  EXPECT_EQ(recorder.error(), "No such file or directory");
}

}  // namespace
}  // namespace lumenbrook
