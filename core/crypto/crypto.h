#pragma once
// The cryptographic primitives the rest of the core relies on, and nothing else.
// Backed by OpenSSL 3 libcrypto (crypto.cpp); no OpenSSL type appears here, so another
// library can stand behind this header.
//
// Untrusted input (raw keys, nonces, tags, ciphertexts of the wrong size) yields an error or
// `false`, never a crash. A failure of the system's random source aborts the process: weak
// randomness is never returned.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "core/util/bytes.h"
#include "core/util/result.h"

namespace lumenbrook::crypto {

enum class CryptoError {
  malformedKey,          // a raw key of the wrong size or a low-order X25519 point
  invalidLength,         // nonce, tag or requested output of an unusable size
  authenticationFailed,  // a sealed box that does not open
};

using Digest = std::array<std::uint8_t, 32>;
using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;
using Tag = std::array<std::uint8_t, 16>;

// Key material that is wiped when it goes away. Any length; derived keys are 32 bytes.
class SymmetricKey {
 public:
  SymmetricKey() = default;
  explicit SymmetricKey(ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}
  SymmetricKey(const SymmetricKey&) = default;
  SymmetricKey(SymmetricKey&&) noexcept = default;
  SymmetricKey& operator=(const SymmetricKey&);
  SymmetricKey& operator=(SymmetricKey&&) noexcept;
  ~SymmetricKey();

  ByteView bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }
  // Constant time in the contents.
  friend bool operator==(const SymmetricKey& a, const SymmetricKey& b);

 private:
  void wipe();
  Bytes bytes_;
};

// --- random -------------------------------------------------------------------------------
void randomBytes(std::span<std::uint8_t> out);
Bytes randomBytes(std::size_t count);
template <std::size_t N>
std::array<std::uint8_t, N> randomArray() {
  std::array<std::uint8_t, N> a;
  randomBytes(a);
  return a;
}

// --- hashes and MACs ------------------------------------------------------------------------
Digest sha256(ByteView data);

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  void update(ByteView data);
  // Ends the hash; the object must not be updated afterwards.
  // Updating or finishing a finished (or moved-from) hash aborts: it is a caller bug, and a
  // digest of the wrong data would be worse than stopping.
  Digest finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

Digest hmacSha256(ByteView key, ByteView data);
// Constant-time comparison; a code of any length other than 32 is simply invalid.
bool isValidHmacSha256(ByteView code, ByteView key, ByteView data);

// HKDF-SHA256 (RFC 5869). Fails with invalidLength when zero or more than 255 * 32 bytes are
// asked. An empty salt is the same as no salt (HashLen zero bytes).
Result<SymmetricKey, CryptoError> hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info,
                                             std::size_t outputByteCount);

// --- X25519 ---------------------------------------------------------------------------------
class X25519PrivateKey {
 public:
  static X25519PrivateKey generate();
  [[nodiscard]] static std::optional<X25519PrivateKey> fromRaw(ByteView raw);

  PublicKey publicKey() const;
  // malformedKey for a peer key that is not 32 bytes or that gives the all-zero secret
  // (a low-order point): such a peer cannot be trusted with a key agreement.
  Result<SymmetricKey, CryptoError> sharedSecret(ByteView peerPublicKey) const;

 private:
  explicit X25519PrivateKey(const SymmetricKey& raw) : raw_(raw) {}
  SymmetricKey raw_;
};

// --- Ed25519 --------------------------------------------------------------------------------
class Ed25519PrivateKey {
 public:
  static Ed25519PrivateKey generate();
  // The 32-byte seed form.
  [[nodiscard]] static std::optional<Ed25519PrivateKey> fromRaw(ByteView raw);

  const SymmetricKey& raw() const { return raw_; }
  PublicKey publicKey() const { return public_; }
  Signature sign(ByteView message) const;

 private:
  Ed25519PrivateKey(const SymmetricKey& raw, const PublicKey& pub) : raw_(raw), public_(pub) {}
  SymmetricKey raw_;
  PublicKey public_{};
};

// False for a malformed key or signature as well as for a wrong one.
bool ed25519Verify(ByteView publicKey, ByteView message, ByteView signature);

// --- ChaCha20-Poly1305 (RFC 8439), 12-byte nonce, no associated data, detached tag -----------
struct ChaChaPolyTesting;  // core/crypto/chacha_poly_testing.h

// Holds one cipher context per key so the sealing hot path allocates nothing.
// Not thread-safe: one instance per thread of use.
class ChaChaPoly {
 public:
  // invalidLength unless the key is 32 bytes.
  static Result<ChaChaPoly, CryptoError> make(const SymmetricKey& key);
  ChaChaPoly(ChaChaPoly&&) noexcept;
  ChaChaPoly& operator=(ChaChaPoly&&) noexcept;
  ~ChaChaPoly();

  // invalidLength for a nonce other than 12 bytes or an `out` of another size than the
  // plaintext.
  Result<Unit, CryptoError> seal(ByteView nonce, ByteView plaintext, std::span<std::uint8_t> out,
                                 Tag& tag);
  // invalidLength for a nonce other than 12 bytes, a tag other than 16 bytes or an `out` of
  // another size than the ciphertext. authenticationFailed on any mismatch; `out` is then
  // wiped to zeros (no unauthenticated plaintext escapes).
  // Using a moved-from instance aborts.
  Result<Unit, CryptoError> open(ByteView nonce, ByteView ciphertext, ByteView tag,
                                 std::span<std::uint8_t> out);

 private:
  friend struct ChaChaPolyTesting;
  struct Impl;
  explicit ChaChaPoly(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumenbrook::crypto
