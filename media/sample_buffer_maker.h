#pragma once
// The phone side of a stream: packets read back from reassembled frames become samples that a
// decoder takes as they are. The maker remembers the stream's format (the parameter sets of
// the last keyframe that brought usable ones), so the frames between keyframes, which carry
// none, decode too.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/util/bytes.h"
#include "core/video/video_packet.h"

namespace lumenbrook {

// A decoder configuration: parameter sets that FFmpeg's HEVC parser accepted together.
struct VideoFormat {
  std::vector<Bytes> parameterSets;  // VPS, SPS and PPS as the keyframe carried them
  int width = 0;                     // picture size the sequence parameter set declares
  int height = 0;

  friend bool operator==(const VideoFormat&, const VideoFormat&) = default;
};

// One frame ready for the decoder.
struct VideoSample {
  std::shared_ptr<const VideoFormat> format;  // never null in a sample the maker returns
  Bytes data;                                 // the frame's NAL units behind 4-byte start codes
  std::int64_t ptsMicros = 0;                 // the packet's time, capped at the int64 maximum
  bool displayImmediately = true;             // show on decode, do not wait for a clock

  friend bool operator==(const VideoSample& a, const VideoSample& b) {
    const bool sameFormat = a.format == b.format || (a.format && b.format && *a.format == *b.format);
    return sameFormat && a.data == b.data && a.ptsMicros == b.ptsMicros && a.displayImmediately == b.displayImmediately;
  }
};

// Used from one thread at a time (the phone's video path).
class SampleBufferMaker {
 public:
  // A keyframe with parameter sets first replaces the format when they make one; parameter
  // sets that do not (damaged, incomplete) leave the earlier format in place. Then the sample:
  // absent while there is no format, and for a frame that is empty or whose length prefixes
  // do not tile it exactly.
  [[nodiscard]] std::optional<VideoSample> sample(const VideoPacket& packet);

  // The format samples are made with now; null before the first usable keyframe.
  const std::shared_ptr<const VideoFormat>& format() const { return format_; }

 private:
  std::shared_ptr<const VideoFormat> format_;
};

// The format that `parameterSets` describe, or absent when they hold no VPS, SPS and PPS
// (and nothing else) or FFmpeg's parser refuses them.
[[nodiscard]] std::optional<VideoFormat> makeVideoFormat(const std::vector<Bytes>& parameterSets);

// Length-prefixed NAL units (4-byte big-endian lengths) to Annex-B with 4-byte start codes.
// Absent when the frame is empty, a length is zero or runs past the end.
[[nodiscard]] std::optional<Bytes> annexBFromLengthPrefixed(ByteView frame);

}  // namespace lumenbrook
