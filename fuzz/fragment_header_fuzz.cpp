// FragmentHeader::parse on arbitrary datagrams.
//
// Checks: the header reads exactly when the magic, the version and 1 <= index + 1 <= count <=
// maxFragments hold for the first 20 bytes; bytes after them change nothing; a header that
// reads encodes back to those 20 bytes (with the flag bits a reader ignores cleared).

#include <cstddef>
#include <cstdint>

#include "core/video/fragment_header.h"
#include "fuzz/fuzz_support.h"

using namespace lumenbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView datagram(data, size);
  const auto header = FragmentHeader::parse(datagram);

  bool readable = size >= FragmentHeader::size && data[0] == 0x4C && data[1] == 0x42 && data[2] == 1;
  if (readable) {
    const std::uint16_t index = loadU16BE(data + 8);
    const std::uint16_t count = loadU16BE(data + 10);
    readable = count >= 1 && count <= FragmentHeader::maxFragments && index < count;
  }
  LB_FUZZ_CHECK(header.has_value() == readable);
  if (!header) return 0;

  LB_FUZZ_CHECK(FragmentHeader::parse(datagram.first(FragmentHeader::size)) == header);
  Bytes expected(data, data + FragmentHeader::size);
  expected[3] &= 1;
  LB_FUZZ_CHECK(header->encoded() == expected);
  LB_FUZZ_CHECK(header->isKeyframe == ((data[3] & 1) != 0));
  return 0;
}
