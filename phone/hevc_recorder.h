#pragma once
// Writes the frames a phone receives as an HEVC Annex-B elementary stream, the form FFmpeg and
// most players read as raw ".hevc": each keyframe's parameter sets, then the frame's NAL
// units, every unit behind a 4-byte start code. Frames before the first keyframe that brings
// parameter sets are left out, since nothing could decode them.
//
// Used from one thread at a time.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/util/result.h"
#include "core/video/reassembler.h"
#include "core/video/video_packet.h"

namespace lumenbrook {

class HevcRecorder {
 public:
  // Creates (or truncates) the file. Fails with the system's description.
  [[nodiscard]] static Result<std::unique_ptr<HevcRecorder>, std::string> open(const std::filesystem::path& path);
  // Closes the file if close() was not called; an error then goes unreported.
  ~HevcRecorder();
  HevcRecorder(const HevcRecorder&) = delete;
  HevcRecorder& operator=(const HevcRecorder&) = delete;

  // Appends one reassembled frame (the byte form of a VideoPacket). False when it was left
  // out: not a readable packet, before the first keyframe, or after a write error or close().
  bool write(const Reassembler::Frame& frame);
  bool write(const VideoPacket& packet);

  // Flushes and closes; the first write error, if any, or the closing error. Idempotent: a
  // second call gives the first call's answer.
  [[nodiscard]] Result<Unit, std::string> close();

  std::uint64_t framesWritten() const { return framesWritten_; }

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  explicit HevcRecorder(std::unique_ptr<std::FILE, FileCloser> file) : file_(std::move(file)) {}
  bool put(const std::uint8_t* data, std::size_t size);

  std::unique_ptr<std::FILE, FileCloser> file_;
  bool started_ = false;  // a keyframe with parameter sets has been written
  std::optional<std::string> error_;
  std::uint64_t framesWritten_ = 0;
};

}  // namespace lumenbrook
