#pragma once
// Hex text to bytes for test vectors (trusted input: malformed text fails the test).

#include <gtest/gtest.h>

#include <string_view>

#include "core/util/bytes.h"

namespace lumenbrook::testing {

inline Bytes hex(std::string_view text) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes out;
  if (text.size() % 2 != 0) {
    ADD_FAILURE() << "odd-length hex: " << text;
    return out;
  }
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = nibble(text[i]);
    const int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) {
      ADD_FAILURE() << "not hex: " << text;
      return {};
    }
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return out;
}

template <class Range>
Bytes bytesOf(const Range& r) {
  return Bytes(std::begin(r), std::end(r));
}

}  // namespace lumenbrook::testing
