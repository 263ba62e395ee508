#include "core/security/device_identity.h"

#include "core/security/hex.h"

namespace lumenbrook {

std::string DeviceIdentity::fingerprint(ByteView bytes) {
  crypto::Digest digest = crypto::sha256(bytes);
  return hexEncode(ByteView(digest).first(16));
}

std::string DeviceIdentity::fingerprint() const {
  crypto::PublicKey key = publicKey();
  return fingerprint(key);
}

Bytes DeviceIdentity::sign(std::string_view label, ByteView data) const {
  Bytes message = toBytes(label);
  append(message, asBytes("-sig"));
  append(message, data);
  crypto::Signature signature = signingKey_.sign(message);
  return Bytes(signature.begin(), signature.end());
}

}  // namespace lumenbrook
