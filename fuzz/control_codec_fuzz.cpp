// ControlCodec::decode on arbitrary bytes: the plaintext of a sealed payload from the peer.
//
// Checks: the buffer left behind is always a tail of the input, and what was removed is a run
// of whole records that decode on their own. On success nothing complete is left behind and
// every envelope encodes again into a record that decodes to an equal envelope. On failure the
// bad record stays at the front and decoding it again fails without removing anything.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/messages/control_codec.h"
#include "fuzz/fuzz_support.h"

using namespace lumenbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes original(data, data + size);
  Bytes buffer = original;
  auto result = ControlCodec::decode(buffer);

  LB_FUZZ_CHECK(buffer.size() <= original.size());
  const std::size_t removed = original.size() - buffer.size();
  LB_FUZZ_CHECK(std::equal(buffer.begin(), buffer.end(), original.begin() + static_cast<std::ptrdiff_t>(removed)));

  // Whole records only.
  std::size_t pos = 0;
  std::size_t records = 0;
  while (pos < removed) {
    LB_FUZZ_CHECK(removed - pos >= 4);
    pos += 4 + std::size_t{loadU32BE(original.data() + pos)};
    ++records;
  }
  LB_FUZZ_CHECK(pos == removed);

  if (result) {
    LB_FUZZ_CHECK(result->size() == records);
    if (buffer.size() >= 4) {
      const std::uint32_t n = loadU32BE(buffer.data());
      LB_FUZZ_CHECK(n <= ControlCodec::maxMessage && buffer.size() - 4 < n);
    }
    for (const Envelope& envelope : *result) {
      auto encoded = ControlCodec::encode(envelope);
      LB_FUZZ_CHECK(encoded.ok());
      Bytes again = *encoded;
      auto back = ControlCodec::decode(again);
      LB_FUZZ_CHECK(back.ok() && back->size() == 1 && back->front() == envelope && again.empty());
    }
    return 0;
  }

  Bytes prefix(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(removed));
  auto good = ControlCodec::decode(prefix);
  LB_FUZZ_CHECK(good.ok() && good->size() == records && prefix.empty());

  // The record at the front is the bad one: too long, or complete and unreadable on its own.
  LB_FUZZ_CHECK(buffer.size() >= 4);
  const std::uint32_t n = loadU32BE(buffer.data());
  if (n <= ControlCodec::maxMessage) {
    LB_FUZZ_CHECK(buffer.size() - 4 >= n);
    Bytes first(buffer.begin(), buffer.begin() + 4 + static_cast<std::ptrdiff_t>(n));
    auto alone = ControlCodec::decode(first);
    LB_FUZZ_CHECK(!alone.ok() && first.size() == 4 + std::size_t{n});
  }
  const Bytes bad = buffer;
  auto again = ControlCodec::decode(buffer);
  LB_FUZZ_CHECK(!again.ok() && buffer == bad);
  return 0;
}
