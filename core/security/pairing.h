#pragma once
// One pairing attempt on each side: a commit-then-reveal exchange of ephemeral X25519 keys,
// bound by both identities' signatures and by HMAC tags keyed with the QR code's secret. The
// key agreement and a transcript of everything exchanged give a six-digit code for the users
// to compare and the 32-byte pairing key the Mac stores with the phone.
//
// Order of use (the sessions carry the values):
//   phone: commitment(), startTag()    -> pairStart        -> Mac: validStart(), start()
//   Mac:   start() returns commitM     -> pairMacCommit    -> phone: receive()
//   phone: reveal()                    -> pairReveal       -> Mac: reveal()
//   Mac:   reveal() returns ephM...    -> pairMacReveal    -> phone: finish()
//   phone: finish() returns sigP, tagP -> pairPhoneProof   -> Mac: verify()
//
// Transcript T: "lumenbrook-pair-v2" (18 bytes, no length), then length-prefixed fields (4-byte
// big-endian length, then the bytes): phone id (16 raw bytes), phone name (UTF-8), phone
// identity key, Mac identity key, Mac host name, commitP, commitM, ephP, nonceP, ephM, nonceM.
//
// Everything received is untrusted: a wrong size, a bad key, a failed check or a call out of
// order is a PairingError, and a failed call leaves the object as it was. Neither object can be
// restarted; a new attempt uses new objects, hence new ephemeral keys and nonces. Not
// thread-safe; one owner.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/crypto/crypto.h"
#include "core/security/device_identity.h"
#include "core/security/qr_payload.h"
#include "core/util/bytes.h"
#include "core/util/result.h"
#include "core/util/uuid.h"

namespace lumenbrook {

enum class PairingError {
  commitmentMismatch,  // a reveal that does not match the earlier commitment
  badKey,              // a key, commitment or nonce of the wrong size or unusable; the Mac's
                       // key not the one the QR code names; a failed key agreement
  wrongStep,           // called before the step it needs, or a step repeated
  badSignature,        // the peer's identity signature does not verify
  notFromThisQR,       // the peer's tag does not prove the QR code's secret
};

struct PairingResult {
  std::string code;  // six decimal digits, leading zeros kept
  Bytes psk;         // 32 bytes
  Bytes transcript;

  friend bool operator==(const PairingResult&, const PairingResult&) = default;
};

using PairingNonce = std::array<std::uint8_t, 32>;

class PhonePairing {
 public:
  struct Reveal {
    Bytes publicKey;  // ephP
    Bytes nonce;      // nonceP
  };
  struct Finish {
    PairingResult result;
    Bytes sigP;
    Bytes tagP;  // empty when the scanned code had no usable secret
  };

  // A fresh ephemeral key and nonce from the system's secure random source.
  PhonePairing(DeviceIdentity identity, QRPayload qr);
  // With the ephemeral key and nonce given (known-answer tests).
  PhonePairing(DeviceIdentity identity, QRPayload qr, crypto::X25519PrivateKey eph,
               const PairingNonce& nonce);

  PhonePairing(const PhonePairing&) = delete;
  PhonePairing& operator=(const PhonePairing&) = delete;
  PhonePairing(PhonePairing&&) = default;
  PhonePairing& operator=(PhonePairing&&) = default;

  Bytes ephemeralPublic() const;
  // SHA-256(ephP || nonceP).
  Bytes commitment() const;
  Reveal reveal() const;
  // HMAC keyed with the QR secret over "start" || L || id || name || key || commitP; empty when
  // the scanned secret is not 32 hexadecimal characters.
  Bytes startTag() const;

  // Records the Mac's identity key, name and commitment. badKey unless the key is 32 bytes
  // whose fingerprint equals the QR code's (exactly, case-sensitive) and the commitment is 32
  // bytes; wrongStep if already received.
  Result<Unit, PairingError> receive(ByteView macIdentityKey, std::string_view hostName,
                                     ByteView commitM);

  // Checks the Mac's reveal, signature and tag and derives the result. wrongStep before
  // `receive`; commitmentMismatch; badKey for an unusable ephemeral key (including one that
  // gives no shared secret) or a nonce not 32 bytes; badSignature; notFromThisQR (checked only
  // when the scanned code had a usable secret).
  Result<Finish, PairingError> finish(ByteView macEph, ByteView macNonce, ByteView sigM,
                                      ByteView tagM) const;

 private:
  struct Mac {
    Bytes identityKey;
    std::string hostName;
    Bytes commitM;
  };

  crypto::X25519PrivateKey eph_;
  PairingNonce nonce_;
  DeviceIdentity identity_;
  QRPayload qr_;
  std::optional<Mac> mac_;
};

class MacPairing {
 public:
  struct PhoneInfo {
    Uuid id;
    std::string name;
    Bytes key;

    friend bool operator==(const PhoneInfo&, const PhoneInfo&) = default;
  };
  struct Reveal {
    Bytes ephM;
    Bytes nonceM;
    Bytes sigM;
    Bytes tagM;
  };

  // Whether a phone's start tag was made with the open window's secret, before any pairing
  // object exists. False unless `secretHex` is 32 hexadecimal characters.
  static bool validStart(std::string_view secretHex, ByteView tag, const Uuid& id,
                         std::string_view name, ByteView phoneKey, ByteView commitP);

  // `secretHex` is the open window's secret. A text that is not 32 hexadecimal characters is
  // kept as no key at all: no phone tag then verifies.
  MacPairing(DeviceIdentity identity, std::string_view secretHex);
  MacPairing(DeviceIdentity identity, std::string_view secretHex, crypto::X25519PrivateKey eph,
             const PairingNonce& nonce);

  MacPairing(const MacPairing&) = delete;
  MacPairing& operator=(const MacPairing&) = delete;
  MacPairing(MacPairing&&) = default;
  MacPairing& operator=(MacPairing&&) = default;

  Bytes ephemeralPublic() const;
  // SHA-256(ephM || nonceM).
  Bytes commitment() const;

  // Records the phone and returns commitM. badKey unless the key and commitment are 32 bytes
  // and the key is not this Mac's own; wrongStep if a phone is already recorded.
  Result<Bytes, PairingError> start(const Uuid& phoneID, std::string_view name, ByteView phoneKey,
                                    ByteView commitP);

  // Checks the phone's reveal, derives the result and keeps it pending; returns the Mac's
  // reveal with its signature and tag over T. `hostName` is the name sent in pairMacCommit.
  // wrongStep before `start` or when already revealed; commitmentMismatch; badKey for an
  // unusable ephemeral key (including one that gives no shared secret) or a nonce not 32
  // bytes.
  Result<Reveal, PairingError> reveal(ByteView phoneEph, ByteView phoneNonce,
                                      std::string_view hostName);

  // Checks the phone's proof; the pending result. wrongStep before `reveal`; badSignature;
  // notFromThisQR. May be called again with the same outcome.
  Result<PairingResult, PairingError> verify(ByteView sigP, ByteView tagP) const;

  // The phone recorded by `start`.
  std::optional<PhoneInfo> phoneInfo() const;

 private:
  struct Phone {
    PhoneInfo info;
    Bytes commitP;
  };
  struct Pending {
    Bytes transcript;
    PairingResult result;
  };

  crypto::X25519PrivateKey eph_;
  PairingNonce nonce_;
  DeviceIdentity identity_;
  std::optional<crypto::SymmetricKey> secret_;
  std::optional<Phone> phone_;
  std::optional<Pending> pending_;
};

}  // namespace lumenbrook
