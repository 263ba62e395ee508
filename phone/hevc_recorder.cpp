#include "phone/hevc_recorder.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "media/sample_buffer_maker.h"

namespace lumenbrook {
namespace {

constexpr std::array<std::uint8_t, 4> kStartCode = {0, 0, 0, 1};

}  // namespace

Result<std::unique_ptr<HevcRecorder>, std::string> HevcRecorder::open(const std::filesystem::path& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) return Failure{std::string(std::strerror(errno))};
  return std::unique_ptr<HevcRecorder>(new HevcRecorder(std::move(file)));
}

HevcRecorder::~HevcRecorder() = default;

bool HevcRecorder::put(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || std::fwrite(data, 1, size, file_.get()) == size) return true;
  error_ = std::string(std::strerror(errno));
  return false;
}

bool HevcRecorder::write(const Reassembler::Frame& frame) {
  std::optional<VideoPacket> packet = VideoPacket::parse(frame.data);
  return packet && write(*packet);
}

bool HevcRecorder::write(const VideoPacket& packet) {
  if (!file_ || error_) return false;
  const bool startsHere = packet.keyframe && !packet.parameterSets.empty();
  if (!started_ && !startsHere) return false;
  // Converted first, so a frame that does not read leaves nothing half-written.
  std::optional<Bytes> units = annexBFromLengthPrefixed(packet.frame);
  if (!units) return false;
  if (startsHere) {
    for (const Bytes& set : packet.parameterSets) {
      if (!put(kStartCode.data(), kStartCode.size()) || !put(set.data(), set.size())) return false;
    }
  }
  if (!put(units->data(), units->size())) return false;
  started_ = true;
  ++framesWritten_;
  return true;
}

Result<Unit, std::string> HevcRecorder::close() {
  if (file_) {
    if (std::fflush(file_.get()) != 0 && !error_) error_ = std::string(std::strerror(errno));
    if (std::fclose(file_.release()) != 0 && !error_) error_ = std::string(std::strerror(errno));
  }
  if (error_) return Failure{*error_};
  return Unit{};
}

}  // namespace lumenbrook
