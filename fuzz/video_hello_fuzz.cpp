// VideoHello::parse on arbitrary opened datagrams: the first datagram of a stream's path.
//
// Checks: it reads exactly when the plaintext is 18 bytes, and then encodes back to them.

#include <cstddef>
#include <cstdint>

#include "core/video/video_hello.h"
#include "fuzz/fuzz_support.h"

using namespace lumenbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto hello = VideoHello::parse(ByteView(data, size));
  LB_FUZZ_CHECK(hello.has_value() == (size == VideoHello::size));
  if (!hello) return 0;
  LB_FUZZ_CHECK(hello->challenge.size() == VideoHello::challengeSize);
  LB_FUZZ_CHECK(hello->port == loadU16BE(data + VideoHello::challengeSize));
  LB_FUZZ_CHECK(hello->encoded() == Bytes(data, data + size));
  return 0;
}
