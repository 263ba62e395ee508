#pragma once
// Byte buffers and big-endian integer access used by every binary format.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumenbrook {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView asBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline std::string_view asChars(ByteView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}
inline Bytes toBytes(std::string_view s) {
  auto v = asBytes(s);
  return Bytes(v.begin(), v.end());
}
inline void append(Bytes& out, ByteView b) { out.insert(out.end(), b.begin(), b.end()); }

// REQUIRES: `p` has at least sizeof(T) readable bytes.
inline std::uint16_t loadU16BE(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t loadU32BE(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}
inline std::uint64_t loadU64BE(const std::uint8_t* p) {
  return (std::uint64_t{loadU32BE(p)} << 32) | loadU32BE(p + 4);
}
inline void storeU16BE(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void storeU32BE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
inline void storeU64BE(std::uint8_t* p, std::uint64_t v) {
  storeU32BE(p, static_cast<std::uint32_t>(v >> 32));
  storeU32BE(p + 4, static_cast<std::uint32_t>(v));
}
inline void appendU16BE(Bytes& out, std::uint16_t v) {
  std::uint8_t b[2];
  storeU16BE(b, v);
  out.insert(out.end(), b, b + 2);
}
inline void appendU32BE(Bytes& out, std::uint32_t v) {
  std::uint8_t b[4];
  storeU32BE(b, v);
  out.insert(out.end(), b, b + 4);
}
inline void appendU64BE(Bytes& out, std::uint64_t v) {
  std::uint8_t b[8];
  storeU64BE(b, v);
  out.insert(out.end(), b, b + 8);
}

}  // namespace lumenbrook
