#pragma once
// The login handshake over a paired device's pre-shared key, the session key set, and the
// sealing and opening of payloads with counter nonces and replay protection.
//
// Sealed payload (the bytes of `Wire.sealed` and of every video datagram):
//
//   offset  size  content
//   0       8     counter c, unsigned, big-endian (first payload of a sealer: 1)
//   8       n     ChaCha20-Poly1305 ciphertext of the n-byte plaintext
//   8+n     16    Poly1305 tag
//
// The 12-byte nonce is lane (4 bytes BE: 0 control stream, 1 datagrams) || c (8 bytes BE);
// it is not sent, and there is no associated data: the counter is authenticated through the
// nonce. Each direction, and each datagram stream, has its own key, so no nonce repeats
// under one key as long as a stream number is used once per login.
//
// All types are plain values used on their owner's queue only; nothing here locks.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/crypto/crypto.h"
#include "core/util/bytes.h"
#include "core/util/result.h"
#include "core/util/uuid.h"

namespace lumenbrook {

enum class SecureChannelError {
  badProof,    // a handshake proof does not verify: end the login
  badMessage,  // a payload under 24 bytes or one that does not authenticate (also: sealing
               // before login, or with a key the cipher cannot use)
  replay,      // a counter already accepted (datagrams) or not above the highest (control)
  tooOld,      // a datagram counter 1024 or more below the highest accepted one
  exhausted,   // a sealer has used every counter; its key must never seal again
};

// The keys of one login. Derived keys are 32 bytes; `transcript` is the device id (16 bytes)
// || the phone's nonce || the host's nonce, the HKDF salt of every derivation and part of
// every proof.
struct HandshakeKeys {
  crypto::SymmetricKey auth;         // keys the handshake proofs
  crypto::SymmetricKey phoneToHost;  // seals what the phone sends
  crypto::SymmetricKey hostToPhone;  // seals what the host sends
  Bytes transcript;

  // The key set of datagram stream `n`, derived from these keys; `transcript` is kept.
  HandshakeKeys stream(std::uint32_t n) const;

  friend bool operator==(const HandshakeKeys&, const HandshakeKeys&) = default;
};

// Stateless handshake computations. Which side runs which, and when, is the sessions' part.
class Handshake {
 public:
  Handshake() = delete;

  static constexpr std::size_t nonceSize = 32;

  struct HostReply {
    Bytes nonceH;  // the host's nonce, unchanged
    Bytes macH;    // the host's 32-byte proof
    HandshakeKeys keys;
  };
  struct PhoneFinish {
    Bytes macP;  // the phone's 32-byte proof
    HandshakeKeys keys;
  };

  // 32 bytes from the system's secure random generator.
  static Bytes nonce();

  // The 32-byte login handle: HMAC-SHA256(psk, "lumenbrook handle v1" || device id || nonceP).
  // It names the device without sending its id in the clear.
  static Bytes handle(ByteView psk, const Uuid& deviceID, ByteView nonceP);
  // Whether `handle` is this device's handle for `nonceP`, compared in constant time; a
  // handle of any length other than 32 is simply not valid.
  static bool isValidHandle(ByteView handle, ByteView psk, const Uuid& deviceID, ByteView nonceP);

  // Host side, on `clientHello`: derives the keys and the host's proof.
  // The sessions check that both nonces are `nonceSize` bytes before calling: the transcript
  // is a plain concatenation.
  static HostReply hostReply(ByteView psk, const Uuid& deviceID, ByteView nonceP, ByteView nonceH);
  // Phone side, on `serverHello`: derives the keys, checks the host's proof (constant time)
  // and makes the phone's. badProof, and no keys, when `macH` does not verify.
  static Result<PhoneFinish, SecureChannelError> phoneFinish(ByteView psk, const Uuid& deviceID,
                                                             ByteView nonceP, ByteView nonceH,
                                                             ByteView macH);
  // Host side, on `clientFinish`: badProof unless `macP` is the phone's proof under `keys`.
  static Result<Unit, SecureChannelError> hostVerify(const HandshakeKeys& keys, ByteView macP);
};

// Seals one direction of one stream. Move-only on purpose: a copy would seal with the same
// counters under the same key, repeating nonces. Keep the one instance and use it in place;
// a failed seal leaves it unchanged.
class Sealer {
 public:
  // Seals with `phoneToHost` when `phoneSide`, else `hostToPhone`; lane 1 for `datagrams`,
  // else 0; counter 0. A key the cipher cannot use (not 32 bytes) makes every seal fail with
  // badMessage.
  Sealer(const HandshakeKeys& keys, bool phoneSide, bool datagrams);
  Sealer(Sealer&&) noexcept = default;
  Sealer& operator=(Sealer&&) noexcept = default;

  // counter || ciphertext || tag, plaintext.size() + 24 bytes; the payload carries the
  // counter after it was advanced. exhausted once the counter has reached 2^64 - 1.
  // The only allocation is the returned buffer.
  Result<Bytes, SecureChannelError> seal(ByteView plaintext);

  // Payloads sealed so far (the last counter used).
  std::uint64_t counter() const { return counter_; }
  std::uint32_t lane() const { return lane_; }

 private:
  friend struct SecureChannelTesting;
  std::optional<crypto::ChaChaPoly> cipher_;
  std::uint64_t counter_ = 0;
  std::uint32_t lane_ = 0;
};

// Opens one direction of one stream and refuses replays. The control stream accepts only
// counters above the highest accepted so far (gaps allowed, reordering not); datagrams may
// arrive in any order within `window` of the highest, each at most once.
// Move-only like Sealer (an old copy would accept payloads the live one has seen). Nothing
// changes unless a payload authenticates: rejected or forged payloads leave it untouched.
class Opener {
 public:
  static constexpr std::uint64_t window = 1024;

  // Opens with `hostToPhone` when `phoneSide`, else `phoneToHost`; for `datagrams` lane 1
  // and reorderable, else lane 0 and strict order. A key the cipher cannot use makes every
  // open fail with badMessage.
  Opener(const HandshakeKeys& keys, bool phoneSide, bool datagrams);
  Opener(Opener&&) noexcept = default;
  Opener& operator=(Opener&&) noexcept = default;

  // The plaintext, or badMessage (short or not authentic), replay, tooOld. The only
  // allocation is the returned buffer.
  Result<Bytes, SecureChannelError> open(ByteView payload);

  std::uint32_t lane() const { return lane_; }
  bool reorderable() const { return reorderable_; }
  // The highest counter accepted so far; 0 before any.
  std::uint64_t highest() const { return highest_; }
  // Datagram counters accepted and still remembered, ascending. Once it would hold more than
  // 2048 it is cut to the `window` counters up to `highest`; older ones are refused as
  // tooOld without being remembered.
  std::span<const std::uint64_t> seen() const { return seen_; }

 private:
  std::optional<crypto::ChaChaPoly> cipher_;
  std::uint32_t lane_ = 0;
  bool reorderable_ = false;
  std::uint64_t highest_ = 0;
  // Sorted, with room for the most it can ever hold reserved up front, so accepting a
  // datagram never allocates and in-order arrival appends at the end.
  std::vector<std::uint64_t> seen_;
};

}  // namespace lumenbrook
