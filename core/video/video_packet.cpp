#include "core/video/video_packet.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace lumenbrook {
namespace {

constexpr std::uint8_t magic0 = 0x4C;  // "L"
constexpr std::uint8_t magic1 = 0x56;  // "V"
constexpr std::size_t minimumSize = 4 + 8;

constexpr int nalVps = 32;
constexpr int nalSps = 33;
constexpr int nalPps = 34;

bool isParameterSet(ByteView unit) {
  auto type = hevcNalType(unit);
  return type && *type >= nalVps && *type <= nalPps;
}

bool fitsU32(std::size_t n) { return static_cast<std::uint64_t>(n) <= std::numeric_limits<std::uint32_t>::max(); }

// Offset of the next 00 00 01 at or after `from`, or stream.size() when there is none.
std::size_t findStartCode(ByteView stream, std::size_t from) {
  for (std::size_t i = from; i + 3 <= stream.size(); ++i) {
    if (stream[i + 2] > 1) {
      i += 2;  // none of the next two positions can start a code ending in this byte
      continue;
    }
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) return i;
  }
  return stream.size();
}

}  // namespace

Bytes VideoPacket::encoded() const {
  if (parameterSets.size() > maxParameterSets) throw std::length_error("more than 255 parameter sets");
  std::size_t total = minimumSize + frame.size();
  for (const auto& set : parameterSets) {
    if (!fitsU32(set.size())) throw std::length_error("parameter set of 2^32 bytes or more");
    total += 4 + set.size();
  }
  Bytes out;
  out.reserve(total);
  out.push_back(magic0);
  out.push_back(magic1);
  out.push_back(keyframe ? 1 : 0);
  out.push_back(static_cast<std::uint8_t>(parameterSets.size()));
  for (const auto& set : parameterSets) {
    appendU32BE(out, static_cast<std::uint32_t>(set.size()));
    append(out, set);
  }
  appendU64BE(out, ptsMicros);
  append(out, frame);
  return out;
}

std::optional<VideoPacket> VideoPacket::parse(ByteView data) {
  if (data.size() < minimumSize) return std::nullopt;
  if (data[0] != magic0 || data[1] != magic1) return std::nullopt;
  VideoPacket packet;
  packet.keyframe = (data[2] & 1) != 0;
  const std::size_t n = data[3];
  std::size_t pos = 4;
  packet.parameterSets.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (data.size() - pos < 4) return std::nullopt;
    const std::uint64_t length = loadU32BE(data.data() + pos);
    pos += 4;
    if (data.size() - pos < length) return std::nullopt;
    auto set = data.subspan(pos, static_cast<std::size_t>(length));
    packet.parameterSets.emplace_back(set.begin(), set.end());
    pos += static_cast<std::size_t>(length);
  }
  if (data.size() - pos < 8) return std::nullopt;
  packet.ptsMicros = loadU64BE(data.data() + pos);
  pos += 8;
  packet.frame.assign(data.begin() + static_cast<std::ptrdiff_t>(pos), data.end());
  return packet;
}

std::optional<std::vector<ByteView>> splitAnnexB(ByteView stream) {
  std::size_t code = findStartCode(stream, 0);
  if (code == stream.size()) return std::nullopt;
  if (std::any_of(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(code), [](auto b) { return b != 0; })) {
    return std::nullopt;
  }
  std::vector<ByteView> units;
  while (code < stream.size()) {
    const std::size_t begin = code + 3;
    code = findStartCode(stream, begin);
    // A unit never ends in a zero byte; zeros here are the first byte of a 4-byte start code
    // or trailing padding.
    std::size_t end = code;
    while (end > begin && stream[end - 1] == 0) --end;
    if (end > begin) units.push_back(stream.subspan(begin, end - begin));
  }
  if (units.empty()) return std::nullopt;
  return units;
}

std::optional<int> hevcNalType(ByteView unit) {
  if (unit.empty()) return std::nullopt;
  return (unit[0] >> 1) & 0x3F;
}

std::optional<VideoPacket> VideoPacket::fromAnnexB(ByteView accessUnit, bool keyframe, std::uint64_t ptsMicros,
                                                   ByteView globalHeader) {
  auto units = splitAnnexB(accessUnit);
  if (!units) return std::nullopt;

  VideoPacket packet;
  packet.keyframe = keyframe;
  packet.ptsMicros = ptsMicros;

  std::vector<ByteView> sets;
  std::size_t frameSize = 0;
  for (auto unit : *units) {
    if (keyframe && isParameterSet(unit)) {
      sets.push_back(unit);
    } else {
      if (!fitsU32(unit.size())) return std::nullopt;
      frameSize += 4 + unit.size();
    }
  }
  if (keyframe && sets.empty() && !globalHeader.empty()) {
    auto header = splitAnnexB(globalHeader);
    if (!header) return std::nullopt;
    std::copy_if(header->begin(), header->end(), std::back_inserter(sets), isParameterSet);
  }
  if (sets.size() > maxParameterSets) return std::nullopt;
  std::stable_sort(sets.begin(), sets.end(), [](ByteView a, ByteView b) { return *hevcNalType(a) < *hevcNalType(b); });
  for (auto set : sets) {
    if (!fitsU32(set.size())) return std::nullopt;
    packet.parameterSets.emplace_back(set.begin(), set.end());
  }

  packet.frame.reserve(frameSize);
  for (auto unit : *units) {
    if (keyframe && isParameterSet(unit)) continue;
    appendU32BE(packet.frame, static_cast<std::uint32_t>(unit.size()));
    append(packet.frame, unit);
  }
  return packet;
}

}  // namespace lumenbrook
