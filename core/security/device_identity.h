#pragma once
// A device's long-lived identity: a random id, a display name and an Ed25519 signing key. Its
// public key is what the other side stores after pairing; the fingerprint is how a phone
// recognises the right Mac.

#include <string>
#include <string_view>

#include "core/crypto/crypto.h"
#include "core/util/bytes.h"
#include "core/util/uuid.h"

namespace lumenbrook {

class DeviceIdentity {
 public:
  DeviceIdentity(Uuid id, std::string name, crypto::Ed25519PrivateKey signingKey)
      : id_(id), name_(std::move(name)), signingKey_(std::move(signingKey)) {}

  const Uuid& id() const { return id_; }
  const std::string& name() const { return name_; }
  const crypto::Ed25519PrivateKey& signingKey() const { return signingKey_; }

  // The 32-byte raw Ed25519 public key.
  crypto::PublicKey publicKey() const { return signingKey_.publicKey(); }
  // fingerprint(of: publicKey()).
  std::string fingerprint() const;
  // The first 16 bytes of SHA-256(bytes) as 32 lower-case hexadecimal digits.
  static std::string fingerprint(ByteView bytes);

  // Ed25519 over UTF-8(label) || "-sig" || data: 64 bytes, or empty if signing fails (every
  // verifier rejects an empty signature). The label keeps a signature made for one role from
  // passing as the other's.
  Bytes sign(std::string_view label, ByteView data) const;

  // Same id, name and key (the key compared in constant time).
  friend bool operator==(const DeviceIdentity& a, const DeviceIdentity& b) {
    return a.id_ == b.id_ && a.name_ == b.name_ && a.signingKey_.raw() == b.signingKey_.raw();
  }

 private:
  Uuid id_;
  std::string name_;
  crypto::Ed25519PrivateKey signingKey_;
};

}  // namespace lumenbrook
