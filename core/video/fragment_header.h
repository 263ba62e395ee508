#pragma once
// The 20-byte header in front of every video fragment. Integers big-endian:
//
//   offset  size  content
//   0       2     magic 0x4C 0x42 ("LB")
//   2       1     version, 1
//   3       1     flags: bit 0 set for a keyframe (a reader ignores the other bits)
//   4       4     frameID
//   8       2     index
//   10      2     count
//   12      8     captureTimeMicros
//
// A fragment is the header followed by its payload, up to the end of the datagram.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/util/bytes.h"

namespace lumenbrook {

struct FragmentHeader {
  static constexpr std::size_t size = 20;
  // The largest count a receiver accepts; it bounds what one frame may make a receiver hold.
  static constexpr std::uint16_t maxFragments = 8192;
  static constexpr std::uint16_t magic = 0x4C42;
  static constexpr std::uint8_t version = 1;

  bool isKeyframe = false;
  // Consecutive frames have consecutive ids, wrapping from 4,294,967,295 to 0.
  std::uint32_t frameID = 0;
  std::uint16_t index = 0;  // position of this fragment in its frame, from 0
  std::uint16_t count = 0;  // fragments in the frame
  std::uint64_t captureTimeMicros = 0;

  friend bool operator==(const FragmentHeader&, const FragmentHeader&) = default;

  Bytes encoded() const;
  // Writes the 20 header bytes. REQUIRES: `out` has room for them.
  void encodeTo(std::uint8_t* out) const;

  // Reads the header at the start of a datagram; bytes after the first 20 are ignored. Absent
  // unless the magic and version match, 1 <= count <= maxFragments and index < count.
  [[nodiscard]] static std::optional<FragmentHeader> parse(ByteView datagram);
};

}  // namespace lumenbrook
