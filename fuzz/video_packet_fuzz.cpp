// VideoPacket::parse on arbitrary bytes: a reassembled frame from the network.
//
// Checks: a packet that reads encodes back to exactly the input (with the keyframe bits a
// reader ignores cleared) and has as many parameter sets as the input announced; no shorter
// input than the one that reads ends inside the parameter sets or the timestamp and still
// reads.

#include <cstddef>
#include <cstdint>

#include "core/video/video_packet.h"
#include "fuzz/fuzz_support.h"

using namespace lumenbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const auto packet = VideoPacket::parse(input);
  if (!packet) return 0;

  LB_FUZZ_CHECK(size >= 12 && data[0] == 0x4C && data[1] == 0x56);
  LB_FUZZ_CHECK(packet->parameterSets.size() == data[3]);
  LB_FUZZ_CHECK(packet->keyframe == ((data[2] & 1) != 0));
  Bytes expected(input.begin(), input.end());
  expected[2] &= 1;
  LB_FUZZ_CHECK(packet->encoded() == expected);

  // The fixed part ends where the frame starts; cutting into it must not read.
  const std::size_t frameStart = size - packet->frame.size();
  LB_FUZZ_CHECK(!VideoPacket::parse(input.first(frameStart - 1)).has_value());
  // Cutting into the frame only shortens the frame.
  if (!packet->frame.empty()) {
    auto shorter = VideoPacket::parse(input.first(size - 1));
    LB_FUZZ_CHECK(shorter && shorter->frame.size() == packet->frame.size() - 1 &&
                  shorter->parameterSets == packet->parameterSets);
  }
  return 0;
}
