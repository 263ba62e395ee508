#pragma once
// Fixed identities and byte helpers shared by the security tests.

#include <cstdlib>
#include <string_view>

#include "core/crypto/crypto.h"
#include "core/security/device_identity.h"
#include "core/security/hex.h"
#include "core/util/uuid.h"

namespace lumenbrook::fixtures {

// REQUIRES: valid hexadecimal; test data only, so anything else aborts the test binary.
inline Bytes hex(std::string_view text) {
  auto b = hexDecode(text);
  if (!b) std::abort();
  return *b;
}

inline Uuid uuid(std::string_view text) {
  auto u = Uuid::parse(text);
  if (!u) std::abort();
  return *u;
}

inline DeviceIdentity identityFromSeed(std::string_view seedHex, std::string_view id,
                                       std::string name) {
  auto key = crypto::Ed25519PrivateKey::fromRaw(hex(seedHex));
  if (!key) std::abort();
  return DeviceIdentity(uuid(id), std::move(name), std::move(*key));
}

inline crypto::X25519PrivateKey x25519FromRaw(std::string_view rawHex) {
  auto key = crypto::X25519PrivateKey::fromRaw(hex(rawHex));
  if (!key) std::abort();
  return std::move(*key);
}

}  // namespace lumenbrook::fixtures
