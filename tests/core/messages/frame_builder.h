#pragma once
// Test-side builders for length-prefixed byte streams, so cases state their bytes plainly.

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "core/util/bytes.h"

namespace lumenbrook::testing {

// A 4-byte big-endian length announcing `n`, with no body.
inline Bytes header(std::uint32_t n) {
  Bytes out(4);
  storeU32BE(out.data(), n);
  return out;
}

// A record whose length matches its body.
inline Bytes record(std::string_view body) {
  Bytes out(4 + body.size());
  storeU32BE(out.data(), static_cast<std::uint32_t>(body.size()));
  std::copy(body.begin(), body.end(), out.begin() + 4);
  return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) append(out, p);
  return out;
}

// The first `n` bytes of `b`.
inline Bytes prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + n); }

inline Bytes filled(std::size_t n, std::uint8_t value) { return Bytes(n, value); }

}  // namespace lumenbrook::testing
