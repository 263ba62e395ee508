// WireCodec::unframe on arbitrary bytes.
//
// Input: one byte choosing the frame limit (-1 ... 6), then the receive buffer.
// Checks: a failure leaves the buffer exactly as it was; a success removes exactly the
// returned frames and leaves no complete frame behind unless the limit stopped it; taking one
// frame per call gives the same messages and the same outcome; every message frames again,
// and that frame unframes to an equal message.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/messages/wire_codec.h"
#include "fuzz/fuzz_support.h"

using namespace lumenbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::int64_t limit = static_cast<std::int64_t>(in.byte() % 8) - 1;
  const ByteView input = in.rest();
  const Bytes original(input.begin(), input.end());
  const std::size_t wanted = limit > 0 ? static_cast<std::size_t>(limit) : 0;

  Bytes buffer = original;
  auto result = WireCodec::unframe(buffer, limit);

  Bytes stepBuffer = original;
  std::vector<Wire> stepped;
  bool stepFailed = false;
  while (stepped.size() < wanted) {
    const Bytes before = stepBuffer;
    auto one = WireCodec::unframe(stepBuffer, 1);
    if (!one) {
      LB_FUZZ_CHECK(stepBuffer == before);
      stepFailed = true;
      break;
    }
    LB_FUZZ_CHECK(one->size() <= 1);
    if (one->empty()) {
      LB_FUZZ_CHECK(stepBuffer == before);
      break;
    }
    stepped.push_back(std::move(one->front()));
  }

  if (!result) {
    LB_FUZZ_CHECK(buffer == original);
    LB_FUZZ_CHECK(stepFailed);
    return 0;
  }
  LB_FUZZ_CHECK(!stepFailed);
  LB_FUZZ_CHECK(result->size() <= wanted);
  LB_FUZZ_CHECK(*result == stepped);
  LB_FUZZ_CHECK(buffer == stepBuffer);

  // The removed bytes are the returned frames, the rest is the untouched tail.
  std::size_t pos = 0;
  for (std::size_t i = 0; i < result->size(); ++i) {
    LB_FUZZ_CHECK(original.size() - pos >= 4);
    pos += 4 + std::size_t{loadU32BE(original.data() + pos)};
    LB_FUZZ_CHECK(pos <= original.size());
  }
  LB_FUZZ_CHECK(buffer == Bytes(original.begin() + static_cast<std::ptrdiff_t>(pos), original.end()));
  if (result->size() < wanted && buffer.size() >= 4) {
    const std::uint32_t n = loadU32BE(buffer.data());
    LB_FUZZ_CHECK(n <= WireCodec::maxFrame && buffer.size() - 4 < n);
  }

  for (const Wire& message : *result) {
    auto framed = WireCodec::frame(message);
    LB_FUZZ_CHECK(framed.ok());
    Bytes again = *framed;
    auto back = WireCodec::unframe(again, 1);
    LB_FUZZ_CHECK(back.ok() && back->size() == 1 && back->front() == message && again.empty());
  }
  return 0;
}
