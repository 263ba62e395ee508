// UserContent::decoded on arbitrary stored bytes (a damaged or hostile stored record).
//
// Checks: what it gives is already clean (sanitizing it changes nothing), encodes, and reads
// back from its encoding unchanged.

#include <cstddef>
#include <cstdint>

#include "core/content/user_content.h"
#include "fuzz/fuzz_support.h"

using namespace lumenbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const UserContent content = UserContent::decoded(ByteView(data, size));
  LB_FUZZ_CHECK(content.sanitized() == content);
  auto encoded = content.encoded();
  LB_FUZZ_CHECK(encoded.ok());
  LB_FUZZ_CHECK(UserContent::decoded(ByteView(*encoded)) == content);
  return 0;
}
