#pragma once
// An encoded HEVC frame and the byte form in which it travels as the payload of a fragmented
// frame. Byte form, integers big-endian:
//
//   offset  size  field
//   0       2     magic "LV" (0x4C 0x56)
//   2       1     keyframe: 1 or 0 (a reader looks at bit 0 only)
//   3       1     n, the number of parameter sets (0...255)
//   4       ...   n times: 4-byte length L, then the L bytes of one parameter set
//   then    8     ptsMicros
//   then    rest  frame, up to the end of the data

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/util/bytes.h"

namespace lumenbrook {

struct VideoPacket {
  static constexpr std::size_t maxParameterSets = 255;

  // The frame decodes without earlier frames.
  bool keyframe = false;
  // VPS, SPS and PPS NAL units in that order, without length prefix or start code. Filled on
  // keyframes only, so that a decoder can start there; empty otherwise.
  std::vector<Bytes> parameterSets;
  // The capture time given to the encoder, in microseconds.
  std::uint64_t ptsMicros = 0;
  // The access unit: NAL units, each preceded by its length as a 4-byte big-endian integer.
  Bytes frame;

  friend bool operator==(const VideoPacket&, const VideoPacket&) = default;

  // The byte form. REQUIRES: at most 255 parameter sets, each shorter than 2^32 bytes; a
  // packet that breaks this is our own bug and throws std::length_error rather than being
  // written with a count or length that readers would misframe.
  Bytes encoded() const;

  // Reads the byte form; absent on any malformation. Never reads past `data`.
  [[nodiscard]] static std::optional<VideoPacket> parse(ByteView data);

  // Builds a packet from one access unit in Annex-B form (NAL units behind 3- or 4-byte start
  // codes), as software and hardware encoders emit it. On a keyframe the VPS, SPS and PPS
  // units (NAL types 32, 33, 34) move out of the frame into parameterSets, ordered by type
  // and, within a type, as they came; when the access unit holds none, they are taken from
  // `globalHeader` (Annex-B again: the parameter sets an encoder reports once, out of band).
  // On other frames every unit stays in the frame, so a decoder still sees parameter sets an
  // encoder repeats in band, and parameterSets stays empty.
  // Absent when the access unit holds no NAL unit, has bytes other than zeros before its
  // first start code, a needed globalHeader does not read, or the limits of encoded() would
  // be broken.
  [[nodiscard]] static std::optional<VideoPacket> fromAnnexB(ByteView accessUnit, bool keyframe,
                                                             std::uint64_t ptsMicros, ByteView globalHeader = {});
};

// The NAL units of an Annex-B byte stream, without start codes and without the zero bytes
// that pad between units. Empty units are skipped. Absent when there is no start code, bytes
// other than zeros precede the first one, or no unit has any bytes. The views point into
// `stream`.
[[nodiscard]] std::optional<std::vector<ByteView>> splitAnnexB(ByteView stream);

// The HEVC NAL unit type (bits 1...6 of the first header byte); absent for an empty unit.
[[nodiscard]] std::optional<int> hevcNalType(ByteView unit);

}  // namespace lumenbrook
