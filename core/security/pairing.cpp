#include "core/security/pairing.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

#include "core/security/hex.h"

namespace lumenbrook {
namespace {

constexpr std::string_view kLabel = "lumenbrook-pair-v2";
constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 32;
constexpr std::size_t kSecretHexLength = 32;

bool fitsField(std::size_t size) { return size <= std::numeric_limits<std::uint32_t>::max(); }

// REQUIRES: fitsField(data.size()); the entry points refuse longer texts, so a length is never
// truncated into an ambiguous encoding.
void appendField(Bytes& out, ByteView data) {
  appendU32BE(out, static_cast<std::uint32_t>(data.size()));
  append(out, data);
}
void appendField(Bytes& out, std::string_view text) { appendField(out, asBytes(text)); }
void appendField(Bytes& out, const Uuid& id) { appendField(out, ByteView(id.bytes())); }

// The secret as a key, only when it is the 16 bytes a pairing window makes: a shorter key, or
// none, would prove nothing.
std::optional<crypto::SymmetricKey> qrKey(std::string_view secretHex) {
  if (secretHex.size() != kSecretHexLength) return std::nullopt;
  auto bytes = hexDecode(secretHex);
  if (!bytes) return std::nullopt;
  return crypto::SymmetricKey(*bytes);
}

Bytes labelled(std::string_view label, ByteView data) {
  Bytes message = toBytes(label);
  append(message, data);
  return message;
}

Bytes mac(const crypto::SymmetricKey& key, std::string_view label, ByteView data) {
  crypto::Digest d = crypto::hmacSha256(key.bytes(), labelled(label, data));
  return Bytes(d.begin(), d.end());
}

bool validMac(ByteView tag, const crypto::SymmetricKey& key, std::string_view label,
              ByteView data) {
  return crypto::isValidHmacSha256(tag, key.bytes(), labelled(label, data));
}

bool validSignature(ByteView publicKey, std::string_view label, ByteView data, ByteView signature) {
  Bytes message = toBytes(label);
  append(message, asBytes("-sig"));
  append(message, data);
  return crypto::ed25519Verify(publicKey, message, signature);
}

Bytes commit(ByteView eph, ByteView nonce) {
  Bytes message(eph.begin(), eph.end());
  append(message, nonce);
  crypto::Digest d = crypto::sha256(message);
  return Bytes(d.begin(), d.end());
}

Bytes startMessage(const Uuid& id, std::string_view name, ByteView key, ByteView commitP) {
  Bytes m = toBytes(kLabel);
  appendField(m, id);
  appendField(m, name);
  appendField(m, key);
  appendField(m, commitP);
  return m;
}

struct TranscriptParts {
  const Uuid& phoneID;
  std::string_view phoneName;
  ByteView phoneKey;
  ByteView macKey;
  std::string_view hostName;
  ByteView commitP;
  ByteView commitM;
  ByteView ephP;
  ByteView nonceP;
  ByteView ephM;
  ByteView nonceM;
};

Bytes transcript(const TranscriptParts& p) {
  Bytes t = toBytes(kLabel);
  appendField(t, p.phoneID);
  appendField(t, p.phoneName);
  appendField(t, p.phoneKey);
  appendField(t, p.macKey);
  appendField(t, p.hostName);
  appendField(t, p.commitP);
  appendField(t, p.commitM);
  appendField(t, p.ephP);
  appendField(t, p.nonceP);
  appendField(t, p.ephM);
  appendField(t, p.nonceM);
  return t;
}

// A peer's ephemeral key is usable when it is 32 bytes and agrees on a shared secret with
// ours (X25519 refuses low-order points, whose secret an attacker would know).
std::optional<crypto::SymmetricKey> agree(const crypto::X25519PrivateKey& eph, ByteView peer,
                                          ByteView peerNonce) {
  if (peer.size() != kKeySize || peerNonce.size() != kNonceSize) return std::nullopt;
  auto shared = eph.sharedSecret(peer);
  if (!shared) return std::nullopt;
  return std::move(shared).value();
}

std::optional<PairingResult> derive(const crypto::SymmetricKey& shared, Bytes t) {
  crypto::Digest salt = crypto::sha256(t);
  auto codeKey = crypto::hkdfSha256(shared.bytes(), salt, asBytes("code"), 8);
  auto psk = crypto::hkdfSha256(shared.bytes(), salt, asBytes("psk"), 32);
  if (!codeKey || !psk || codeKey->size() != 8) return std::nullopt;
  std::uint64_t n = loadU64BE(codeKey->bytes().data());
  char code[8];
  std::snprintf(code, sizeof code, "%06" PRIu64, n % 1000000);
  return PairingResult{code, Bytes(psk->bytes().begin(), psk->bytes().end()), std::move(t)};
}

Bytes keyBytes(const crypto::PublicKey& k) { return Bytes(k.begin(), k.end()); }

}  // namespace

// --- phone ----------------------------------------------------------------------------------

PhonePairing::PhonePairing(DeviceIdentity identity, QRPayload qr)
    : PhonePairing(std::move(identity), std::move(qr), crypto::X25519PrivateKey::generate(),
                   crypto::randomArray<32>()) {}

PhonePairing::PhonePairing(DeviceIdentity identity, QRPayload qr, crypto::X25519PrivateKey eph,
                           const PairingNonce& nonce)
    : eph_(std::move(eph)), nonce_(nonce), identity_(std::move(identity)), qr_(std::move(qr)) {}

Bytes PhonePairing::ephemeralPublic() const { return keyBytes(eph_.publicKey()); }

Bytes PhonePairing::commitment() const { return commit(ephemeralPublic(), nonce_); }

PhonePairing::Reveal PhonePairing::reveal() const {
  return Reveal{ephemeralPublic(), Bytes(nonce_.begin(), nonce_.end())};
}

Bytes PhonePairing::startTag() const {
  auto key = qrKey(qr_.secret);
  if (!key || !fitsField(identity_.name().size())) return {};
  return mac(*key, "start",
             startMessage(identity_.id(), identity_.name(), keyBytes(identity_.publicKey()),
                          commitment()));
}

Result<Unit, PairingError> PhonePairing::receive(ByteView macIdentityKey, std::string_view hostName,
                                                 ByteView commitM) {
  if (mac_) return Failure{PairingError::wrongStep};
  if (macIdentityKey.size() != kKeySize) return Failure{PairingError::badKey};
  if (DeviceIdentity::fingerprint(macIdentityKey) != qr_.hostFingerprint) {
    return Failure{PairingError::badKey};
  }
  if (commitM.size() != kKeySize || !fitsField(hostName.size())) {
    return Failure{PairingError::badKey};
  }
  mac_ = Mac{Bytes(macIdentityKey.begin(), macIdentityKey.end()), std::string(hostName),
             Bytes(commitM.begin(), commitM.end())};
  return Unit{};
}

Result<PhonePairing::Finish, PairingError> PhonePairing::finish(ByteView macEph, ByteView macNonce,
                                                                ByteView sigM,
                                                                ByteView tagM) const {
  if (!mac_) return Failure{PairingError::wrongStep};
  if (commit(macEph, macNonce) != mac_->commitM) return Failure{PairingError::commitmentMismatch};
  auto shared = agree(eph_, macEph, macNonce);
  if (!shared) return Failure{PairingError::badKey};

  Bytes phoneKey = keyBytes(identity_.publicKey());
  Bytes ephP = ephemeralPublic();
  Bytes t =
      transcript({identity_.id(), identity_.name(), phoneKey, mac_->identityKey, mac_->hostName,
                  commitment(), mac_->commitM, ephP, nonce_, macEph, macNonce});
  if (!validSignature(mac_->identityKey, "mac", t, sigM)) {
    return Failure{PairingError::badSignature};
  }
  auto key = qrKey(qr_.secret);
  if (key && !validMac(tagM, *key, "mac", t)) return Failure{PairingError::notFromThisQR};

  Bytes sigP = identity_.sign("phone", t);
  Bytes tagP = key ? mac(*key, "phone", t) : Bytes{};
  auto result = derive(*shared, std::move(t));
  if (!result) return Failure{PairingError::badKey};
  return Finish{std::move(*result), std::move(sigP), std::move(tagP)};
}

// --- Mac ------------------------------------------------------------------------------------

bool MacPairing::validStart(std::string_view secretHex, ByteView tag, const Uuid& id,
                            std::string_view name, ByteView phoneKey, ByteView commitP) {
  auto key = qrKey(secretHex);
  if (!key || !fitsField(name.size()) || !fitsField(phoneKey.size()) ||
      !fitsField(commitP.size())) {
    return false;
  }
  return validMac(tag, *key, "start", startMessage(id, name, phoneKey, commitP));
}

MacPairing::MacPairing(DeviceIdentity identity, std::string_view secretHex)
    : MacPairing(std::move(identity), secretHex, crypto::X25519PrivateKey::generate(),
                 crypto::randomArray<32>()) {}

MacPairing::MacPairing(DeviceIdentity identity, std::string_view secretHex,
                       crypto::X25519PrivateKey eph, const PairingNonce& nonce)
    : eph_(std::move(eph)),
      nonce_(nonce),
      identity_(std::move(identity)),
      secret_(qrKey(secretHex)) {}

Bytes MacPairing::ephemeralPublic() const { return keyBytes(eph_.publicKey()); }

Bytes MacPairing::commitment() const { return commit(ephemeralPublic(), nonce_); }

Result<Bytes, PairingError> MacPairing::start(const Uuid& phoneID, std::string_view name,
                                              ByteView phoneKey, ByteView commitP) {
  if (phone_) return Failure{PairingError::wrongStep};
  if (phoneKey.size() != kKeySize || commitP.size() != kKeySize || !fitsField(name.size())) {
    return Failure{PairingError::badKey};
  }
  crypto::PublicKey own = identity_.publicKey();
  if (std::equal(phoneKey.begin(), phoneKey.end(), own.begin(), own.end())) {
    return Failure{PairingError::badKey};
  }
  phone_ = Phone{PhoneInfo{phoneID, std::string(name), Bytes(phoneKey.begin(), phoneKey.end())},
                 Bytes(commitP.begin(), commitP.end())};
  return commitment();
}

Result<MacPairing::Reveal, PairingError> MacPairing::reveal(ByteView phoneEph, ByteView phoneNonce,
                                                            std::string_view hostName) {
  if (!phone_ || pending_) return Failure{PairingError::wrongStep};
  if (commit(phoneEph, phoneNonce) != phone_->commitP) {
    return Failure{PairingError::commitmentMismatch};
  }
  auto shared = agree(eph_, phoneEph, phoneNonce);
  if (!shared || !fitsField(hostName.size())) return Failure{PairingError::badKey};

  Bytes macKey = keyBytes(identity_.publicKey());
  Bytes ephM = ephemeralPublic();
  Bytes nonceM(nonce_.begin(), nonce_.end());
  Bytes t = transcript({phone_->info.id, phone_->info.name, phone_->info.key, macKey, hostName,
                        phone_->commitP, commitment(), phoneEph, phoneNonce, ephM, nonceM});
  auto result = derive(*shared, t);
  if (!result) return Failure{PairingError::badKey};

  Reveal out{std::move(ephM), std::move(nonceM), identity_.sign("mac", t),
             secret_ ? mac(*secret_, "mac", t) : Bytes{}};
  pending_ = Pending{std::move(t), std::move(*result)};
  return out;
}

Result<PairingResult, PairingError> MacPairing::verify(ByteView sigP, ByteView tagP) const {
  if (!phone_ || !pending_) return Failure{PairingError::wrongStep};
  if (!validSignature(phone_->info.key, "phone", pending_->transcript, sigP)) {
    return Failure{PairingError::badSignature};
  }
  if (!secret_ || !validMac(tagP, *secret_, "phone", pending_->transcript)) {
    return Failure{PairingError::notFromThisQR};
  }
  return pending_->result;
}

std::optional<MacPairing::PhoneInfo> MacPairing::phoneInfo() const {
  if (!phone_) return std::nullopt;
  return phone_->info;
}

}  // namespace lumenbrook
