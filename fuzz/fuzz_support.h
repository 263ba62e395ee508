#pragma once
// Shared by the fuzz targets: invariant checks that stop the fuzzer, and a reader that cuts one
// fuzz input into the values and pieces a target feeds its decoder.
//
// Rejected input is never a failure here; only a broken promise of the decoder is.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/util/bytes.h"

namespace lumenbrook::fuzz {

// Reports the broken invariant and traps, so libFuzzer keeps the input and the replay test
// fails. Never compiled out, whatever the build type.
[[noreturn, gnu::noinline]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz invariant broken at %s:%d: %s\n", file, line, what);
  std::fflush(stderr);
  __builtin_trap();
}

#define LB_FUZZ_CHECK(condition) \
  ((condition) ? void(0) : ::lumenbrook::fuzz::fail(#condition, __FILE__, __LINE__))

// Reads from the front of a fuzz input. Past the end every number reads as zero and every
// piece as empty, so a target never has to ask how much is left before reading.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}

  bool empty() const { return rest_.empty(); }

  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    std::uint8_t b = rest_.front();
    rest_ = rest_.subspan(1);
    return b;
  }
  std::uint16_t u16() { return static_cast<std::uint16_t>(byte() << 8 | byte()); }
  std::uint32_t u32() { return std::uint32_t{u16()} << 16 | u16(); }
  std::uint64_t u64() { return std::uint64_t{u32()} << 32 | u32(); }

  // The next `n` bytes, or what is left when fewer remain.
  ByteView take(std::size_t n) {
    ByteView piece = rest_.first(std::min(n, rest_.size()));
    rest_ = rest_.subspan(piece.size());
    return piece;
  }
  // Everything not read yet.
  ByteView rest() { return take(rest_.size()); }

 private:
  ByteView rest_;
};

}  // namespace lumenbrook::fuzz
