#include "core/video/fragmenter.h"

#include <algorithm>
#include <stdexcept>

namespace lumenbrook {

Fragmenter::Fragmenter(std::size_t maxPayload, std::uint32_t nextFrameID)
    : maxPayload_(maxPayload), nextFrameID_(nextFrameID) {
  if (maxPayload_ == 0) throw std::invalid_argument("maxPayload must be positive");
}

std::vector<Bytes> Fragmenter::fragment(ByteView data, bool keyframe, std::uint64_t captureTimeMicros) {
  const std::size_t count = std::max<std::size_t>(1, data.size() / maxPayload_ + (data.size() % maxPayload_ != 0));
  if (count > 0xFFFF) throw std::length_error("frame needs 65,536 fragments or more");

  FragmentHeader header{keyframe, nextFrameID_, 0, static_cast<std::uint16_t>(count), captureTimeMicros};
  ++nextFrameID_;

  std::vector<Bytes> fragments(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t begin = std::min(i * maxPayload_, data.size());
    const std::size_t length = std::min(maxPayload_, data.size() - begin);
    header.index = static_cast<std::uint16_t>(i);
    Bytes& out = fragments[i];
    out.resize(FragmentHeader::size + length);
    header.encodeTo(out.data());
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(begin), length, out.begin() + FragmentHeader::size);
  }
  return fragments;
}

}  // namespace lumenbrook
