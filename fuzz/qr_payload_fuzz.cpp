// QRPayload::parse on arbitrary scanned text, judged against a fixed list of this machine's
// IPv6 addresses so that the result never depends on where the fuzzer runs.
//
// Checks: a payload that reads has a port, a 32-digit hexadecimal fingerprint and an empty or
// 32-digit secret; its code() reads back to an equal payload; white space around the text
// changes nothing.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/security/qr_payload.h"
#include "fuzz/fuzz_support.h"

using namespace lumenbrook;

namespace {

const std::vector<Bytes>& ownV6() {
  // A unique-local and a global address, so that same-prefix hosts are reachable.
  static const std::vector<Bytes> addresses{
      {0xfd, 0x12, 0x34, 0x56, 0x78, 0x9a, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x05},
      {0x20, 0x01, 0x0d, 0xb8, 0x00, 0x01, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0x10},
  };
  return addresses;
}

bool isHex32(std::string_view s) {
  if (s.size() != 32) return false;
  for (char c : s) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view code(reinterpret_cast<const char*>(data), size);
  const auto payload = QRPayload::parse(code, ownV6());

  // Spaces, a tab, line breaks and an ideographic space around the code.
  const std::string padded = " \t\r\n\xE3\x80\x80" + std::string(code) + "\n \xE3\x80\x80";
  LB_FUZZ_CHECK(QRPayload::parse(padded, ownV6()) == payload);

  if (!payload) return 0;
  LB_FUZZ_CHECK(payload->port != 0);
  LB_FUZZ_CHECK(isHex32(payload->hostFingerprint));
  LB_FUZZ_CHECK(payload->secret.empty() || isHex32(payload->secret));
  LB_FUZZ_CHECK(!payload->hostName.empty());
  LB_FUZZ_CHECK(QRPayload::parse(payload->code(), ownV6()) == payload);
  return 0;
}
