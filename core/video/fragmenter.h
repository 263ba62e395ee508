#pragma once
// Cuts the byte form of an encoded frame into numbered fragments, one per video datagram:
// fragment i carries bytes [i * maxPayload, min((i + 1) * maxPayload, L)) behind its header.
// An empty frame still makes one fragment, so that the receiver sees its id.
//
// A plain value; one per stream, used from one place at a time.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/util/bytes.h"
#include "core/video/fragment_header.h"

namespace lumenbrook {

class Fragmenter {
 public:
  // The streamer's payload: a fragment of 1,220 bytes stays a 1,244-byte datagram when sealed.
  static constexpr std::size_t defaultMaxPayload = 1200;

  // REQUIRES: maxPayload > 0 (throws std::invalid_argument otherwise).
  explicit Fragmenter(std::size_t maxPayload = defaultMaxPayload, std::uint32_t nextFrameID = 0);

  // The fragments of one frame in index order, under the next frame id (which then advances,
  // wrapping to 0 after 4,294,967,295). REQUIRES: the frame needs fewer than 65,536
  // fragments; a larger one throws std::length_error and uses no id. Frames needing more than
  // FragmentHeader::maxFragments are still cut, but every receiver rejects them.
  std::vector<Bytes> fragment(ByteView data, bool keyframe, std::uint64_t captureTimeMicros);

  std::size_t maxPayload() const { return maxPayload_; }
  std::uint32_t nextFrameID() const { return nextFrameID_; }

  friend bool operator==(const Fragmenter&, const Fragmenter&) = default;

 private:
  std::size_t maxPayload_;
  std::uint32_t nextFrameID_;
};

}  // namespace lumenbrook
