#include "core/session/confirmation_tag.h"

#include "core/crypto/crypto.h"

namespace lumenbrook::confirmation {
namespace {

Bytes message(const PairingResult& result, std::string_view side, bool ok) {
  Bytes data = toBytes(side);
  append(data, asBytes(ok ? " confirmed" : " rejected"));
  append(data, result.transcript);
  return data;
}

}  // namespace

Bytes tag(const PairingResult& result, std::string_view side, bool ok) {
  crypto::Digest d = crypto::hmacSha256(result.psk, message(result, side, ok));
  return Bytes(d.begin(), d.end());
}

bool isValid(ByteView tag, const PairingResult& result, std::string_view side, bool ok) {
  return crypto::isValidHmacSha256(tag, result.psk, message(result, side, ok));
}

}  // namespace lumenbrook::confirmation
