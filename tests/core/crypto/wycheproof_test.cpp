// Every primitive against the Wycheproof vectors, read at test time from LB_VECTORS_DIR.
// A missing directory or file fails; each suite also checks how many vectors it ran, so a
// truncated or emptied file cannot pass.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "core/crypto/chacha_poly_testing.h"
#include "core/crypto/crypto.h"
#include "core/util/json.h"
#include "tests/core/crypto/test_hex.h"

namespace lumenbrook::crypto {
namespace {

using lumenbrook::testing::bytesOf;
using lumenbrook::testing::hex;

std::optional<Json> loadVectors(const std::string& name) {
  const std::filesystem::path path = std::filesystem::path(LB_VECTORS_DIR) / name;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return parseJson(text.str());
}

// Loads a vector file or fails the calling test.
#define LOAD_VECTORS(doc, name)                                                                \
  const std::optional<Json> doc##Loaded = loadVectors(name);                                   \
  ASSERT_TRUE(doc##Loaded) << "cannot read Wycheproof vectors " << name << " in "              \
                           << LB_VECTORS_DIR << " (set LB_VECTORS_DIR to the vectors folder)"; \
  const Json& doc = *doc##Loaded

std::string str(const Json& t, std::string_view key) { return json::readString(json::member(t, key)); }
Bytes hexField(const Json& t, std::string_view key) { return hex(str(t, key)); }

bool hasFlag(const Json& t, std::string_view flag) {
  for (const Json& f : json::member(t, "flags")) {
    if (json::readString(f) == flag) return true;
  }
  return false;
}

std::string trace(const Json& t) {
  return "tcId " + std::to_string(json::readInt<int>(json::member(t, "tcId"))) + ": " +
         str(t, "comment");
}

// Each suite states the count its file declares; the README of the vectors gives the same.
void expectCount(const Json& doc, int exercised, int expected) {
  EXPECT_EQ(json::readInt<int>(json::member(doc, "numberOfTests")), expected);
  EXPECT_EQ(exercised, expected);
}

// Policy for vectors Wycheproof marks "acceptable" (low-order, twist and non-canonical public
// keys): a peer key that gives the all-zero secret is refused with malformedKey, since such a
// peer contributes nothing to the agreement. Every other acceptable key is computed as
// RFC 7748 says (high bit ignored, non-canonical values reduced), so it must give exactly the
// vector's secret.
TEST(Wycheproof, X25519) {
  LOAD_VECTORS(doc, "x25519_test.json");
  int exercised = 0, refusedZero = 0, acceptableComputed = 0;
  for (const Json& group : json::member(doc, "testGroups")) {
    ASSERT_EQ(str(group, "curve"), "curve25519");
    for (const Json& t : json::member(group, "tests")) {
      SCOPED_TRACE(trace(t));
      ++exercised;
      const std::string result = str(t, "result");
      const Bytes shared = hexField(t, "shared");
      auto priv = X25519PrivateKey::fromRaw(hexField(t, "private"));
      ASSERT_TRUE(priv);
      auto secret = priv->sharedSecret(hexField(t, "public"));

      const bool zero = std::all_of(shared.begin(), shared.end(), [](auto b) { return b == 0; });
      EXPECT_EQ(zero, hasFlag(t, "ZeroSharedSecret"));
      if (result == "invalid" || zero) {
        ASSERT_FALSE(secret);
        EXPECT_EQ(secret.error(), CryptoError::malformedKey);
        ++refusedZero;
      } else {
        ASSERT_TRUE(secret) << result;
        EXPECT_EQ(bytesOf(secret->bytes()), shared);
        acceptableComputed += result == "acceptable";
      }
    }
  }
  expectCount(doc, exercised, 518);
  EXPECT_EQ(refusedZero, 31);
  EXPECT_EQ(acceptableComputed, 223);
}

TEST(Wycheproof, Ed25519Verify) {
  LOAD_VECTORS(doc, "ed25519_test.json");
  int exercised = 0, valid = 0;
  for (const Json& group : json::member(doc, "testGroups")) {
    const Bytes pk = hexField(json::member(group, "publicKey"), "pk");
    for (const Json& t : json::member(group, "tests")) {
      SCOPED_TRACE(trace(t));
      ++exercised;
      const std::string result = str(t, "result");
      ASSERT_TRUE(result == "valid" || result == "invalid") << result;
      const bool ok = ed25519Verify(pk, hexField(t, "msg"), hexField(t, "sig"));
      EXPECT_EQ(ok, result == "valid");
      valid += ok;
    }
  }
  expectCount(doc, exercised, 151);
  EXPECT_EQ(valid, 88);
}

// Vectors with associated data go through the test-only entry, which drives the same
// per-key context as the public calls. Each vector also runs open -> seal -> open on one
// instance, so re-initialising a used context (after a success or a failure) is covered.
TEST(Wycheproof, ChaCha20Poly1305) {
  LOAD_VECTORS(doc, "chacha20_poly1305_test.json");
  int exercised = 0, withAad = 0, badNonce = 0;
  for (const Json& group : json::member(doc, "testGroups")) {
    const int ivBits = json::readInt<int>(json::member(group, "ivSize"));
    ASSERT_EQ(json::readInt<int>(json::member(group, "tagSize")), 128);
    for (const Json& t : json::member(group, "tests")) {
      SCOPED_TRACE(trace(t));
      ++exercised;
      const std::string result = str(t, "result");
      const Bytes key = hexField(t, "key"), iv = hexField(t, "iv"), aad = hexField(t, "aad");
      const Bytes msg = hexField(t, "msg"), ct = hexField(t, "ct"), tag = hexField(t, "tag");
      auto box = ChaChaPoly::make(SymmetricKey(key));
      ASSERT_TRUE(box);
      Bytes out(msg.size());
      Tag sealedTag{};

      auto seal = [&] {
        return aad.empty() ? box->seal(iv, msg, out, sealedTag)
                           : ChaChaPolyTesting::seal(*box, iv, aad, msg, out, sealedTag);
      };
      auto open = [&](Bytes& into) {
        return aad.empty() ? box->open(iv, ct, tag, into)
                           : ChaChaPolyTesting::open(*box, iv, aad, ct, tag, into);
      };

      if (ivBits != 96) {
        ASSERT_EQ(result, "invalid");
        ASSERT_TRUE(aad.empty());
        ++badNonce;
        auto s = seal();
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error(), CryptoError::invalidLength);
        Bytes plain(ct.size());
        auto o = open(plain);
        ASSERT_FALSE(o);
        EXPECT_EQ(o.error(), CryptoError::invalidLength);
        continue;
      }
      withAad += !aad.empty();

      Bytes plain(ct.size(), 0xAA);
      auto first = open(plain);
      if (result == "valid") {
        ASSERT_TRUE(first);
        EXPECT_EQ(plain, msg);
      } else {
        ASSERT_EQ(result, "invalid");
        ASSERT_FALSE(first);
        EXPECT_EQ(first.error(), CryptoError::authenticationFailed);
        EXPECT_EQ(plain, Bytes(ct.size(), 0)) << "unauthenticated plaintext left in the buffer";
      }

      ASSERT_TRUE(seal());
      if (result == "valid") {
        EXPECT_EQ(out, ct);
        EXPECT_EQ(bytesOf(sealedTag), tag);
      } else {
        // These vectors alter only the tag: the ciphertext is right, the tag is not.
        EXPECT_EQ(out, ct);
        EXPECT_NE(bytesOf(sealedTag), tag);
      }

      Bytes again(ct.size());
      EXPECT_EQ(static_cast<bool>(open(again)), result == "valid");
    }
  }
  expectCount(doc, exercised, 325);
  EXPECT_EQ(withAad, 271);
  EXPECT_EQ(badNonce, 9);
}

TEST(Wycheproof, HkdfSha256) {
  LOAD_VECTORS(doc, "hkdf_sha256_test.json");
  int exercised = 0, tooLarge = 0;
  for (const Json& group : json::member(doc, "testGroups")) {
    for (const Json& t : json::member(group, "tests")) {
      SCOPED_TRACE(trace(t));
      ++exercised;
      const std::string result = str(t, "result");
      const auto size = json::readInt<std::size_t>(json::member(t, "size"));
      auto okm = hkdfSha256(hexField(t, "ikm"), hexField(t, "salt"), hexField(t, "info"), size);
      if (result == "valid") {
        ASSERT_TRUE(okm);
        EXPECT_EQ(bytesOf(okm->bytes()), hexField(t, "okm"));
      } else {
        ASSERT_EQ(result, "invalid");
        ASSERT_FALSE(okm);
        EXPECT_EQ(okm.error(), CryptoError::invalidLength);
        ++tooLarge;
      }
    }
  }
  expectCount(doc, exercised, 86);
  EXPECT_EQ(tooLarge, 3);
}

// Groups with a 128-bit tagSize carry the HMAC cut to 16 bytes. Our verifier accepts only
// full 32-byte codes, so such a tag never verifies, whatever its content; the cut form is
// still checked against the first 16 bytes of the computed code.
TEST(Wycheproof, HmacSha256) {
  LOAD_VECTORS(doc, "hmac_sha256_test.json");
  int exercised = 0;
  for (const Json& group : json::member(doc, "testGroups")) {
    const auto tagBytes = json::readInt<std::size_t>(json::member(group, "tagSize")) / 8;
    ASSERT_TRUE(tagBytes == 32 || tagBytes == 16) << tagBytes;
    for (const Json& t : json::member(group, "tests")) {
      SCOPED_TRACE(trace(t));
      ++exercised;
      const std::string result = str(t, "result");
      const Bytes key = hexField(t, "key"), msg = hexField(t, "msg"), tag = hexField(t, "tag");
      ASSERT_EQ(tag.size(), tagBytes);
      const Digest mac = hmacSha256(key, msg);
      const bool matches = std::equal(tag.begin(), tag.end(), mac.begin());
      EXPECT_EQ(matches, result == "valid");
      EXPECT_EQ(isValidHmacSha256(tag, key, msg), result == "valid" && tagBytes == 32);
    }
  }
  expectCount(doc, exercised, 174);
}

}  // namespace
}  // namespace lumenbrook::crypto
