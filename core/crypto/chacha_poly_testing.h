#pragma once
// Associated data for ChaChaPoly, for tests only. The protocol never uses associated data;
// standard AEAD test vectors mostly do, and this lets them run through the very context and
// code path that production sealing uses (the public calls pass empty associated data).

#include "core/crypto/crypto.h"

namespace lumenbrook::crypto {

struct ChaChaPolyTesting {
  static Result<Unit, CryptoError> seal(ChaChaPoly& box, ByteView nonce, ByteView aad,
                                        ByteView plaintext, std::span<std::uint8_t> out, Tag& tag);
  static Result<Unit, CryptoError> open(ChaChaPoly& box, ByteView nonce, ByteView aad,
                                        ByteView ciphertext, ByteView tag,
                                        std::span<std::uint8_t> out);
};

}  // namespace lumenbrook::crypto
