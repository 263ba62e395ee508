#include "core/video/fragment_header.h"

namespace lumenbrook {

Bytes FragmentHeader::encoded() const {
  Bytes out(size);
  encodeTo(out.data());
  return out;
}

void FragmentHeader::encodeTo(std::uint8_t* out) const {
  storeU16BE(out, magic);
  out[2] = version;
  out[3] = isKeyframe ? 1 : 0;
  storeU32BE(out + 4, frameID);
  storeU16BE(out + 8, index);
  storeU16BE(out + 10, count);
  storeU64BE(out + 12, captureTimeMicros);
}

std::optional<FragmentHeader> FragmentHeader::parse(ByteView datagram) {
  if (datagram.size() < size) return std::nullopt;
  const std::uint8_t* p = datagram.data();
  if (loadU16BE(p) != magic || p[2] != version) return std::nullopt;
  FragmentHeader h;
  h.isKeyframe = (p[3] & 1) != 0;
  h.frameID = loadU32BE(p + 4);
  h.index = loadU16BE(p + 8);
  h.count = loadU16BE(p + 10);
  h.captureTimeMicros = loadU64BE(p + 12);
  if (h.count < 1 || h.count > maxFragments || h.index >= h.count) return std::nullopt;
  return h;
}

}  // namespace lumenbrook
