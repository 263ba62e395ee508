// OpenSSL 3 libcrypto behind crypto.h. Every OpenSSL handle lives in a unique_ptr with its
// free function; no handle outlives the call that made it except the per-key cipher context
// and the incremental digest context.
//
// Failures fall into two kinds, kept apart on purpose:
// - bad input (wrong sizes, low-order keys, forged boxes) is an answer: an error or `false`;
// - OpenSSL failing on well-formed input (out of memory, a missing provider) is not
//   something a caller can act on, and returning anything would mean returning wrong or
//   weak output, so it ends the process with a message.

#include "core/crypto/crypto.h"
#include "core/crypto/chacha_poly_testing.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

namespace lumenbrook::crypto {
namespace {

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "lumenbrook crypto: %s failed; refusing to continue\n", what);
  ERR_print_errors_fp(stderr);
  std::abort();
}

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using MdPtr = std::unique_ptr<EVP_MD, Deleter<EVP_MD_free>>;
using MacPtr = std::unique_ptr<EVP_MAC, Deleter<EVP_MAC_free>>;
using MacCtxPtr = std::unique_ptr<EVP_MAC_CTX, Deleter<EVP_MAC_CTX_free>>;
using KdfPtr = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF_free>>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX_free>>;
using CipherPtr = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;

// Some OpenSSL entry points treat a null pointer as "not given" even with a zero length;
// an empty input must still count as given.
const unsigned char kEmpty[1] = {0};
const unsigned char* dataOrEmpty(ByteView v) { return v.empty() ? kEmpty : v.data(); }

// Expected refusals (a tag mismatch, a rejected key) leave entries in the thread's error
// queue; dropping them keeps later diagnostics about real failures readable.
template <class T>
T quietly(T answer) {
  ERR_clear_error();
  return answer;
}

// Secrets that pass through a stack buffer are wiped on every way out.
template <std::size_t N>
struct WipedBuffer {
  std::array<std::uint8_t, N> bytes{};
  ~WipedBuffer() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kHkdfMaxOutput = 255 * 32;
// EVP_CipherUpdate counts in int; longer inputs go through in pieces.
constexpr std::size_t kCipherChunk = std::size_t{1} << 30;

PkeyPtr rawPrivateKey(int type, ByteView raw) {
  return PkeyPtr(EVP_PKEY_new_raw_private_key(type, nullptr, raw.data(), raw.size()));
}

PublicKey rawPublicKeyOf(const EVP_PKEY* pkey) {
  PublicKey pub{};
  std::size_t len = pub.size();
  if (EVP_PKEY_get_raw_public_key(pkey, pub.data(), &len) != 1 || len != pub.size()) {
    fatal("reading a raw public key");
  }
  return pub;
}

}  // namespace

// --- SymmetricKey ---------------------------------------------------------------------------

SymmetricKey& SymmetricKey::operator=(const SymmetricKey& other) {
  if (this != &other) {
    wipe();
    bytes_ = other.bytes_;
  }
  return *this;
}

SymmetricKey& SymmetricKey::operator=(SymmetricKey&& other) noexcept {
  if (this != &other) {
    wipe();
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
  }
  return *this;
}

SymmetricKey::~SymmetricKey() { wipe(); }

void SymmetricKey::wipe() {
  if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  bytes_.clear();
}

bool operator==(const SymmetricKey& a, const SymmetricKey& b) {
  // The length of a key is not secret; its contents are.
  if (a.bytes_.size() != b.bytes_.size()) return false;
  if (a.bytes_.empty()) return true;
  return CRYPTO_memcmp(a.bytes_.data(), b.bytes_.data(), a.bytes_.size()) == 0;
}

// --- random ---------------------------------------------------------------------------------

void randomBytes(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    const std::size_t n = std::min<std::size_t>(out.size(), INT_MAX);
    if (RAND_bytes(out.data(), static_cast<int>(n)) != 1) fatal("the system random generator");
    out = out.subspan(n);
  }
}

Bytes randomBytes(std::size_t count) {
  Bytes b(count);
  randomBytes(std::span<std::uint8_t>(b));
  return b;
}

// --- SHA-256 --------------------------------------------------------------------------------

Digest sha256(ByteView data) {
  Digest d{};
  unsigned int len = 0;
  if (EVP_Digest(dataOrEmpty(data), data.size(), d.data(), &len, EVP_sha256(), nullptr) != 1 ||
      len != d.size()) {
    fatal("SHA-256");
  }
  return d;
}

struct Sha256::Impl {
  MdCtxPtr ctx{EVP_MD_CTX_new()};
  bool finished = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  if (!impl_->ctx || EVP_DigestInit_ex2(impl_->ctx.get(), EVP_sha256(), nullptr) != 1) {
    fatal("starting SHA-256");
  }
}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(ByteView data) {
  if (!impl_ || impl_->finished) fatal("Sha256::update on a finished or moved-from hash");
  if (data.empty()) return;
  if (EVP_DigestUpdate(impl_->ctx.get(), data.data(), data.size()) != 1) fatal("SHA-256 update");
}

Digest Sha256::finish() {
  if (!impl_ || impl_->finished) fatal("Sha256::finish on a finished or moved-from hash");
  impl_->finished = true;
  Digest d{};
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(impl_->ctx.get(), d.data(), &len) != 1 || len != d.size()) {
    fatal("SHA-256 finish");
  }
  return d;
}

// --- HMAC-SHA256 ----------------------------------------------------------------------------

Digest hmacSha256(ByteView key, ByteView data) {
  MacPtr mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) fatal("fetching HMAC");
  MacCtxPtr ctx(EVP_MAC_CTX_new(mac.get()));
  if (!ctx) fatal("creating an HMAC context");
  char digestName[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
      OSSL_PARAM_construct_end(),
  };
  // A null key would mean "keep the previous key"; an empty key is a key.
  if (EVP_MAC_init(ctx.get(), dataOrEmpty(key), key.size(), params) != 1) fatal("HMAC init");
  if (!data.empty() && EVP_MAC_update(ctx.get(), data.data(), data.size()) != 1) {
    fatal("HMAC update");
  }
  Digest d{};
  std::size_t len = 0;
  if (EVP_MAC_final(ctx.get(), d.data(), &len, d.size()) != 1 || len != d.size()) {
    fatal("HMAC final");
  }
  return d;
}

bool isValidHmacSha256(ByteView code, ByteView key, ByteView data) {
  if (code.size() != Digest{}.size()) return false;
  const Digest expected = hmacSha256(key, data);
  return CRYPTO_memcmp(expected.data(), code.data(), expected.size()) == 0;
}

// --- HKDF-SHA256 ----------------------------------------------------------------------------

Result<SymmetricKey, CryptoError> hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info,
                                             std::size_t outputByteCount) {
  if (outputByteCount == 0 || outputByteCount > kHkdfMaxOutput) {
    return Failure{CryptoError::invalidLength};
  }
  KdfPtr kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) fatal("fetching HKDF");
  KdfCtxPtr ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) fatal("creating an HKDF context");

  char digestName[] = "SHA256";
  auto octets = [](const char* name, ByteView v) {
    return OSSL_PARAM_construct_octet_string(name, const_cast<unsigned char*>(dataOrEmpty(v)),
                                             v.size());
  };
  // An absent salt and an empty salt are the same to HKDF (a block of zeros); info is only
  // passed when there is some, since OpenSSL appends every info it is given.
  OSSL_PARAM params[5];
  std::size_t n = 0;
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName, 0);
  params[n++] = octets(OSSL_KDF_PARAM_KEY, inputKeyMaterial);
  if (!salt.empty()) params[n++] = octets(OSSL_KDF_PARAM_SALT, salt);
  if (!info.empty()) params[n++] = octets(OSSL_KDF_PARAM_INFO, info);
  params[n] = OSSL_PARAM_construct_end();

  Bytes out(outputByteCount);
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
    OPENSSL_cleanse(out.data(), out.size());
    fatal("HKDF derive");
  }
  SymmetricKey key(out);
  OPENSSL_cleanse(out.data(), out.size());
  return key;
}

// --- X25519 ---------------------------------------------------------------------------------

X25519PrivateKey X25519PrivateKey::generate() {
  // RFC 7748: a private key is 32 uniformly random bytes; clamping happens in the function.
  WipedBuffer<kKeySize> raw;
  randomBytes(raw.bytes);
  return X25519PrivateKey(SymmetricKey(raw.bytes));
}

std::optional<X25519PrivateKey> X25519PrivateKey::fromRaw(ByteView raw) {
  if (raw.size() != kKeySize) return std::nullopt;
  return X25519PrivateKey(SymmetricKey(raw));
}

PublicKey X25519PrivateKey::publicKey() const {
  PkeyPtr pkey = rawPrivateKey(EVP_PKEY_X25519, raw_.bytes());
  if (!pkey) fatal("loading an X25519 private key");
  return rawPublicKeyOf(pkey.get());
}

Result<SymmetricKey, CryptoError> X25519PrivateKey::sharedSecret(ByteView peerPublicKey) const {
  if (peerPublicKey.size() != kKeySize) return Failure{CryptoError::malformedKey};
  PkeyPtr self = rawPrivateKey(EVP_PKEY_X25519, raw_.bytes());
  if (!self) fatal("loading an X25519 private key");
  PkeyPtr peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublicKey.data(),
                                           peerPublicKey.size()));
  if (!peer) return quietly(Failure{CryptoError::malformedKey});

  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, self.get(), nullptr));
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1) fatal("starting an X25519 derivation");
  if (EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 1) != 1) {
    return quietly(Failure{CryptoError::malformedKey});
  }
  WipedBuffer<kKeySize> secret;
  std::size_t len = secret.bytes.size();
  // OpenSSL refuses the all-zero result of a low-order point itself; the explicit check
  // below keeps that guarantee whatever library stands behind this file.
  if (EVP_PKEY_derive(ctx.get(), secret.bytes.data(), &len) != 1) {
    return quietly(Failure{CryptoError::malformedKey});
  }
  if (len != kKeySize) fatal("X25519 derive length");
  const std::array<std::uint8_t, kKeySize> zero{};
  if (CRYPTO_memcmp(secret.bytes.data(), zero.data(), kKeySize) == 0) {
    return Failure{CryptoError::malformedKey};
  }
  return SymmetricKey(secret.bytes);
}

// --- Ed25519 --------------------------------------------------------------------------------

Ed25519PrivateKey Ed25519PrivateKey::generate() {
  WipedBuffer<kKeySize> seed;
  randomBytes(seed.bytes);
  auto key = fromRaw(seed.bytes);
  if (!key) fatal("creating an Ed25519 key");
  return *key;
}

std::optional<Ed25519PrivateKey> Ed25519PrivateKey::fromRaw(ByteView raw) {
  if (raw.size() != kKeySize) return std::nullopt;
  PkeyPtr pkey = rawPrivateKey(EVP_PKEY_ED25519, raw);
  if (!pkey) fatal("loading an Ed25519 seed");
  return Ed25519PrivateKey(SymmetricKey(raw), rawPublicKeyOf(pkey.get()));
}

Signature Ed25519PrivateKey::sign(ByteView message) const {
  PkeyPtr pkey = rawPrivateKey(EVP_PKEY_ED25519, raw_.bytes());
  if (!pkey) fatal("loading an Ed25519 seed");
  MdCtxPtr ctx(EVP_MD_CTX_new());
  // Ed25519 hashes internally: one-shot only, no digest named.
  if (!ctx || EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, pkey.get(),
                                    nullptr) != 1) {
    fatal("starting an Ed25519 signature");
  }
  Signature sig{};
  std::size_t len = sig.size();
  if (EVP_DigestSign(ctx.get(), sig.data(), &len, dataOrEmpty(message), message.size()) != 1 ||
      len != sig.size()) {
    fatal("Ed25519 sign");
  }
  return sig;
}

bool ed25519Verify(ByteView publicKey, ByteView message, ByteView signature) {
  if (publicKey.size() != kKeySize || signature.size() != Signature{}.size()) return false;
  PkeyPtr pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
  if (!pkey) return quietly(false);
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx) fatal("creating a digest context");
  if (EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, pkey.get(),
                              nullptr) != 1) {
    return quietly(false);
  }
  const int rc = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                                  dataOrEmpty(message), message.size());
  return quietly(rc == 1);
}

// --- ChaCha20-Poly1305 ----------------------------------------------------------------------

// The key is set once in make(); every seal or open re-initialises the same context with
// only the nonce, which resets the AEAD state without touching the key or allocating.
struct ChaChaPoly::Impl {
  CipherPtr cipher;
  CipherCtxPtr ctx;

  // Runs the cipher over `in` into `out` (same length) in int-sized pieces.
  bool update(ByteView in, std::span<std::uint8_t> out) {
    while (!in.empty()) {
      const std::size_t n = std::min(in.size(), kCipherChunk);
      int written = 0;
      if (EVP_CipherUpdate(ctx.get(), out.data(), &written, in.data(), static_cast<int>(n)) != 1 ||
          static_cast<std::size_t>(written) != n) {
        return false;
      }
      in = in.subspan(n);
      out = out.subspan(n);
    }
    return true;
  }

  bool start(ByteView nonce, int encrypt, ByteView aad) {
    if (EVP_CipherInit_ex2(ctx.get(), nullptr, nullptr, nonce.data(), encrypt, nullptr) != 1) {
      return false;
    }
    while (!aad.empty()) {
      const std::size_t n = std::min(aad.size(), kCipherChunk);
      int written = 0;
      if (EVP_CipherUpdate(ctx.get(), nullptr, &written, aad.data(), static_cast<int>(n)) != 1) {
        return false;
      }
      aad = aad.subspan(n);
    }
    return true;
  }

  Result<Unit, CryptoError> seal(ByteView nonce, ByteView aad, ByteView plaintext,
                                 std::span<std::uint8_t> out, Tag& tag) {
    if (nonce.size() != kNonceSize || out.size() != plaintext.size()) {
      return Failure{CryptoError::invalidLength};
    }
    if (!start(nonce, 1, aad) || !update(plaintext, out)) fatal("ChaCha20-Poly1305 seal");
    int written = 0;
    if (EVP_CipherFinal_ex(ctx.get(), nullptr, &written) != 1) fatal("ChaCha20-Poly1305 seal");
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag.data(), tag.size()),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_CIPHER_CTX_get_params(ctx.get(), params) != 1) fatal("reading a Poly1305 tag");
    return Unit{};
  }

  Result<Unit, CryptoError> open(ByteView nonce, ByteView aad, ByteView ciphertext, ByteView tag,
                                 std::span<std::uint8_t> out) {
    if (nonce.size() != kNonceSize || tag.size() != kTagSize || out.size() != ciphertext.size()) {
      return Failure{CryptoError::invalidLength};
    }
    if (!start(nonce, 0, aad) || !update(ciphertext, out)) fatal("ChaCha20-Poly1305 open");
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG,
                                          const_cast<std::uint8_t*>(tag.data()), tag.size()),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_CIPHER_CTX_set_params(ctx.get(), params) != 1) fatal("setting a Poly1305 tag");
    int written = 0;
    if (EVP_CipherFinal_ex(ctx.get(), nullptr, &written) != 1) {
      // The plaintext was written before the tag was checked: never hand it out.
      if (!out.empty()) OPENSSL_cleanse(out.data(), out.size());
      return quietly(Failure{CryptoError::authenticationFailed});
    }
    return Unit{};
  }
};

Result<ChaChaPoly, CryptoError> ChaChaPoly::make(const SymmetricKey& key) {
  if (key.size() != kKeySize) return Failure{CryptoError::invalidLength};
  auto impl = std::make_unique<Impl>();
  impl->cipher.reset(EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr));
  if (!impl->cipher) fatal("fetching ChaCha20-Poly1305");
  impl->ctx.reset(EVP_CIPHER_CTX_new());
  if (!impl->ctx || EVP_CipherInit_ex2(impl->ctx.get(), impl->cipher.get(), key.bytes().data(),
                                       nullptr, 1, nullptr) != 1) {
    fatal("keying ChaCha20-Poly1305");
  }
  return ChaChaPoly(std::move(impl));
}

ChaChaPoly::ChaChaPoly(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChaChaPoly::ChaChaPoly(ChaChaPoly&&) noexcept = default;
ChaChaPoly& ChaChaPoly::operator=(ChaChaPoly&&) noexcept = default;
ChaChaPoly::~ChaChaPoly() = default;

Result<Unit, CryptoError> ChaChaPoly::seal(ByteView nonce, ByteView plaintext,
                                           std::span<std::uint8_t> out, Tag& tag) {
  if (!impl_) fatal("ChaChaPoly::seal on a moved-from instance");
  return impl_->seal(nonce, {}, plaintext, out, tag);
}

Result<Unit, CryptoError> ChaChaPoly::open(ByteView nonce, ByteView ciphertext, ByteView tag,
                                           std::span<std::uint8_t> out) {
  if (!impl_) fatal("ChaChaPoly::open on a moved-from instance");
  return impl_->open(nonce, {}, ciphertext, tag, out);
}

Result<Unit, CryptoError> ChaChaPolyTesting::seal(ChaChaPoly& box, ByteView nonce, ByteView aad,
                                                  ByteView plaintext, std::span<std::uint8_t> out,
                                                  Tag& tag) {
  return box.impl_->seal(nonce, aad, plaintext, out, tag);
}

Result<Unit, CryptoError> ChaChaPolyTesting::open(ChaChaPoly& box, ByteView nonce, ByteView aad,
                                                  ByteView ciphertext, ByteView tag,
                                                  std::span<std::uint8_t> out) {
  return box.impl_->open(nonce, aad, ciphertext, tag, out);
}

}  // namespace lumenbrook::crypto
