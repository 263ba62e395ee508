#include "core/security/secure_channel.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

namespace lumenbrook {
namespace {

constexpr std::string_view kHandleLabel = "lumenbrook handle v1";
constexpr std::string_view kInfoPrefix = "lumenbrook-v1 ";
constexpr std::string_view kStreamInfoPrefix = "lumenbrook-v1 video-";
constexpr std::string_view kHostProofLabel = "host";
constexpr std::string_view kPhoneProofLabel = "phone";

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kCounterSize = 8;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kOverhead = kCounterSize + kTagSize;
// Pruning keeps `window` counters and runs once the set grows past this many, so it happens
// at most once per window + 1 accepted datagrams.
constexpr std::size_t kSeenLimit = 2048;

crypto::SymmetricKey derive(const crypto::SymmetricKey& inputKey, ByteView salt,
                            std::string_view info) {
  auto key = crypto::hkdfSha256(inputKey.bytes(), salt, asBytes(info), kKeySize);
  if (!key) {
    // 32 bytes is always a valid HKDF length: reaching this is a bug, not bad input.
    std::fprintf(stderr, "lumenbrook: HKDF refused a 32-byte derivation\n");
    std::abort();
  }
  return std::move(key).value();
}

Bytes handleMessage(const Uuid& deviceID, ByteView nonceP) {
  Bytes m;
  m.reserve(kHandleLabel.size() + deviceID.bytes().size() + nonceP.size());
  append(m, asBytes(kHandleLabel));
  append(m, deviceID.bytes());
  append(m, nonceP);
  return m;
}

HandshakeKeys deriveKeys(ByteView psk, const Uuid& deviceID, ByteView nonceP, ByteView nonceH) {
  HandshakeKeys keys;
  keys.transcript.reserve(deviceID.bytes().size() + nonceP.size() + nonceH.size());
  append(keys.transcript, deviceID.bytes());
  append(keys.transcript, nonceP);
  append(keys.transcript, nonceH);
  const crypto::SymmetricKey ikm(psk);
  const std::string prefix(kInfoPrefix);
  keys.auth = derive(ikm, keys.transcript, prefix + "auth");
  keys.phoneToHost = derive(ikm, keys.transcript, prefix + "p2h");
  keys.hostToPhone = derive(ikm, keys.transcript, prefix + "h2p");
  return keys;
}

Bytes proofMessage(std::string_view label, const HandshakeKeys& keys) {
  Bytes m;
  m.reserve(label.size() + keys.transcript.size());
  append(m, asBytes(label));
  append(m, keys.transcript);
  return m;
}

Bytes proof(std::string_view label, const HandshakeKeys& keys) {
  const crypto::Digest mac = crypto::hmacSha256(keys.auth.bytes(), proofMessage(label, keys));
  return Bytes(mac.begin(), mac.end());
}

bool isValidProof(ByteView mac, std::string_view label, const HandshakeKeys& keys) {
  return crypto::isValidHmacSha256(mac, keys.auth.bytes(), proofMessage(label, keys));
}

std::optional<crypto::ChaChaPoly> cipherFor(const crypto::SymmetricKey& key) {
  auto made = crypto::ChaChaPoly::make(key);
  if (!made) return std::nullopt;
  return std::move(made).value();
}

std::array<std::uint8_t, 12> nonceFor(std::uint32_t lane, std::uint64_t counter) {
  std::array<std::uint8_t, 12> nonce;
  storeU32BE(nonce.data(), lane);
  storeU64BE(nonce.data() + 4, counter);
  return nonce;
}

}  // namespace

// --- HandshakeKeys --------------------------------------------------------------------------

HandshakeKeys HandshakeKeys::stream(std::uint32_t n) const {
  std::array<char, 10> digits;  // 4294967295 has ten
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), n).ptr;
  std::string s(kStreamInfoPrefix);
  s.append(digits.data(), end);
  s.push_back(' ');

  HandshakeKeys keys;
  keys.auth = derive(auth, transcript, s + "auth");
  keys.phoneToHost = derive(phoneToHost, transcript, s + "p2h");
  keys.hostToPhone = derive(hostToPhone, transcript, s + "h2p");
  keys.transcript = transcript;
  return keys;
}

// --- Handshake ------------------------------------------------------------------------------

Bytes Handshake::nonce() { return crypto::randomBytes(nonceSize); }

Bytes Handshake::handle(ByteView psk, const Uuid& deviceID, ByteView nonceP) {
  const crypto::Digest mac = crypto::hmacSha256(psk, handleMessage(deviceID, nonceP));
  return Bytes(mac.begin(), mac.end());
}

bool Handshake::isValidHandle(ByteView handle, ByteView psk, const Uuid& deviceID,
                              ByteView nonceP) {
  return crypto::isValidHmacSha256(handle, psk, handleMessage(deviceID, nonceP));
}

Handshake::HostReply Handshake::hostReply(ByteView psk, const Uuid& deviceID, ByteView nonceP,
                                          ByteView nonceH) {
  HostReply reply;
  reply.keys = deriveKeys(psk, deviceID, nonceP, nonceH);
  reply.macH = proof(kHostProofLabel, reply.keys);
  reply.nonceH.assign(nonceH.begin(), nonceH.end());
  return reply;
}

Result<Handshake::PhoneFinish, SecureChannelError> Handshake::phoneFinish(
    ByteView psk, const Uuid& deviceID, ByteView nonceP, ByteView nonceH, ByteView macH) {
  HandshakeKeys keys = deriveKeys(psk, deviceID, nonceP, nonceH);
  if (!isValidProof(macH, kHostProofLabel, keys)) return Failure{SecureChannelError::badProof};
  PhoneFinish finish;
  finish.macP = proof(kPhoneProofLabel, keys);
  finish.keys = std::move(keys);
  return finish;
}

Result<Unit, SecureChannelError> Handshake::hostVerify(const HandshakeKeys& keys, ByteView macP) {
  if (!isValidProof(macP, kPhoneProofLabel, keys)) return Failure{SecureChannelError::badProof};
  return Unit{};
}

// --- Sealer ---------------------------------------------------------------------------------

Sealer::Sealer(const HandshakeKeys& keys, bool phoneSide, bool datagrams)
    : cipher_(cipherFor(phoneSide ? keys.phoneToHost : keys.hostToPhone)),
      lane_(datagrams ? 1 : 0) {}

Result<Bytes, SecureChannelError> Sealer::seal(ByteView plaintext) {
  if (counter_ == std::numeric_limits<std::uint64_t>::max()) {
    return Failure{SecureChannelError::exhausted};
  }
  if (!cipher_) return Failure{SecureChannelError::badMessage};
  const std::uint64_t c = counter_ + 1;
  const auto nonce = nonceFor(lane_, c);

  Bytes out(kOverhead + plaintext.size());
  storeU64BE(out.data(), c);
  crypto::Tag tag;
  if (!cipher_->seal(nonce, plaintext, std::span(out).subspan(kCounterSize, plaintext.size()),
                     tag)) {
    return Failure{SecureChannelError::badMessage};
  }
  std::copy(tag.begin(), tag.end(), out.end() - kTagSize);
  counter_ = c;
  return out;
}

// --- Opener ---------------------------------------------------------------------------------

Opener::Opener(const HandshakeKeys& keys, bool phoneSide, bool datagrams)
    : cipher_(cipherFor(phoneSide ? keys.hostToPhone : keys.phoneToHost)),
      lane_(datagrams ? 1 : 0),
      reorderable_(datagrams) {
  if (reorderable_) seen_.reserve(kSeenLimit + 1);
}

Result<Bytes, SecureChannelError> Opener::open(ByteView payload) {
  if (payload.size() < kOverhead) return Failure{SecureChannelError::badMessage};
  const std::uint64_t c = loadU64BE(payload.data());

  // Where c would go in `seen`; found once, used for the replay check and the insertion.
  auto at = seen_.end();
  if (!reorderable_) {
    if (c <= highest_) return Failure{SecureChannelError::replay};
  } else {
    if (highest_ >= window && c <= highest_ - window) return Failure{SecureChannelError::tooOld};
    // In-order arrival lands past the end; skip the search for it.
    if (!seen_.empty() && c <= seen_.back()) {
      at = std::lower_bound(seen_.begin(), seen_.end(), c);
      if (at != seen_.end() && *at == c) return Failure{SecureChannelError::replay};
    }
  }
  if (!cipher_) return Failure{SecureChannelError::badMessage};

  const std::size_t n = payload.size() - kOverhead;
  const auto nonce = nonceFor(lane_, c);
  Bytes plaintext(n);
  if (!cipher_->open(nonce, payload.subspan(kCounterSize, n), payload.last(kTagSize),
                     plaintext)) {
    return Failure{SecureChannelError::badMessage};
  }

  // Authentic: only now does any state change.
  if (c > highest_) highest_ = c;
  if (reorderable_) {
    seen_.insert(at, c);
    if (seen_.size() > kSeenLimit) {
      // Keep x with highest - x < window. The set holds more than 2048 distinct counters
      // none above `highest`, so highest >= 2048 and the subtraction cannot wrap.
      const std::uint64_t oldest = highest_ - window + 1;
      seen_.erase(seen_.begin(), std::lower_bound(seen_.begin(), seen_.end(), oldest));
    }
  }
  return plaintext;
}

}  // namespace lumenbrook
