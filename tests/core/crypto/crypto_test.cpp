#include "core/crypto/crypto.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>
#include <string_view>

#include "tests/core/crypto/test_hex.h"

namespace lumenbrook::crypto {
namespace {

using lumenbrook::testing::bytesOf;
using lumenbrook::testing::hex;

// Counts OpenSSL's heap use while `counting` is set. The hooks must be installed before
// OpenSSL allocates anything, hence a static initialiser; whether that worked is checked by
// the test that relies on it.
std::atomic<bool> counting{false};
std::atomic<long> opensslAllocations{0};
void* countedMalloc(std::size_t n, const char*, int) {
  if (counting) ++opensslAllocations;
  return std::malloc(n);
}
void* countedRealloc(void* p, std::size_t n, const char*, int) {
  if (counting) ++opensslAllocations;
  return std::realloc(p, n);
}
void countedFree(void* p, const char*, int) { std::free(p); }
const bool hooksInstalled = CRYPTO_set_mem_functions(countedMalloc, countedRealloc, countedFree);

TEST(SymmetricKey, EqualityComparesLengthAndEveryByte) {
  const Bytes a = hex("000102030405060708090a0b0c0d0e0f");
  Bytes lastDiffers = a;
  lastDiffers.back() ^= 1;
  struct Case {
    Bytes x, y;
    bool equal;
  } cases[] = {
      {a, a, true},
      {a, lastDiffers, false},
      {a, Bytes(a.begin(), a.end() - 1), false},
      {{}, {}, true},
      {{}, {0}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SymmetricKey(c.x) == SymmetricKey(c.y), c.equal) << c.x.size() << "/" << c.y.size();
  }
}

TEST(SymmetricKey, CopiesAndMovesKeepTheBytes) {
  const Bytes raw = hex("aabbccdd");
  SymmetricKey k(raw);
  SymmetricKey copy = k;
  EXPECT_EQ(copy, k);
  SymmetricKey& alias = copy;
  copy = alias;  // self-assignment must not wipe
  EXPECT_EQ(bytesOf(copy.bytes()), raw);
  SymmetricKey moved = std::move(copy);
  EXPECT_EQ(bytesOf(moved.bytes()), raw);
  SymmetricKey target(hex("0102030405060708"));
  target = std::move(moved);
  EXPECT_EQ(bytesOf(target.bytes()), raw);
  target = SymmetricKey(hex("ff"));
  EXPECT_EQ(bytesOf(target.bytes()), hex("ff"));
}

TEST(Random, FillsAndDiffers) {
  const Bytes a = randomBytes(32), b = randomBytes(32);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(randomBytes(0).empty());
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(bytesOf(sha256({})),
            hex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
  EXPECT_EQ(bytesOf(sha256(asBytes("abc"))),
            hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

TEST(Sha256, IncrementalEqualsOneShotForEverySplit) {
  Bytes data(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const Digest expected = sha256(data);
  for (std::size_t cut : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 299u, 300u}) {
    Sha256 h;
    h.update(ByteView(data).first(cut));
    h.update({});
    h.update(ByteView(data).subspan(cut));
    EXPECT_EQ(h.finish(), expected) << cut;
  }
  Sha256 moved;
  moved.update(data);
  Sha256 target = std::move(moved);
  EXPECT_EQ(target.finish(), expected);
}

TEST(Sha256DeathTest, UseAfterFinishAborts) {
  EXPECT_DEATH(
      {
        Sha256 h;
        (void)h.finish();
        h.update(asBytes("x"));
      },
      "finished");
}

TEST(Hmac, EmptyKeyAndWrongLengthCodes) {
  // HMAC-SHA256 with an empty key over an empty message.
  const Bytes known = hex("b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
  EXPECT_EQ(bytesOf(hmacSha256({}, {})), known);
  EXPECT_TRUE(isValidHmacSha256(known, {}, {}));

  const Bytes key = hex("0b0b0b0b"), msg = toBytes("Hi There");
  const Bytes code = bytesOf(hmacSha256(key, msg));
  Bytes longer = code;
  longer.push_back(0);
  for (const Bytes& bad : {Bytes{}, Bytes(code.begin(), code.begin() + 16),
                           Bytes(code.begin(), code.end() - 1), longer}) {
    EXPECT_FALSE(isValidHmacSha256(bad, key, msg)) << bad.size();
  }
  EXPECT_TRUE(isValidHmacSha256(code, key, msg));
}

TEST(Hkdf, OutputLengthLimitsAndEmptySalt) {
  const Bytes ikm = hex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b"), info = hex("f0f1f2");
  for (std::size_t bad : {std::size_t{0}, std::size_t{255 * 32 + 1}}) {
    auto r = hkdfSha256(ikm, {}, info, bad);
    ASSERT_FALSE(r) << bad;
    EXPECT_EQ(r.error(), CryptoError::invalidLength);
  }
  auto longest = hkdfSha256(ikm, {}, info, 255 * 32);
  ASSERT_TRUE(longest);
  EXPECT_EQ(longest->size(), 255u * 32);

  // An empty salt stands for HashLen zero bytes; an empty key is still a key.
  auto empty = hkdfSha256(ikm, {}, info, 32);
  auto zeros = hkdfSha256(ikm, Bytes(32, 0), info, 32);
  ASSERT_TRUE(empty && zeros);
  EXPECT_EQ(*empty, *zeros);
  auto noKey = hkdfSha256({}, {}, {}, 32);
  ASSERT_TRUE(noKey);
  EXPECT_EQ(noKey->size(), 32u);
}

TEST(X25519, MalformedKeysAreRefused) {
  for (std::size_t size : {0u, 31u, 33u, 64u}) {
    EXPECT_FALSE(X25519PrivateKey::fromRaw(Bytes(size, 1))) << size;
  }
  const auto key = X25519PrivateKey::generate();
  Bytes one(32, 0);
  one[0] = 1;  // u = 1: a point of small order
  for (const Bytes& peer : {Bytes{}, Bytes(31, 9), Bytes(33, 9), Bytes(32, 0), one}) {
    auto r = key.sharedSecret(peer);
    ASSERT_FALSE(r) << peer.size();
    EXPECT_EQ(r.error(), CryptoError::malformedKey);
  }
}

TEST(X25519, BothSidesAgreeAndRawFormRoundTrips) {
  // RFC 7748, section 6.1.
  auto alice = X25519PrivateKey::fromRaw(
      hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
  auto bob = X25519PrivateKey::fromRaw(
      hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
  ASSERT_TRUE(alice && bob);
  EXPECT_EQ(bytesOf(alice->publicKey()),
            hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"));
  auto ab = alice->sharedSecret(bob->publicKey());
  auto ba = bob->sharedSecret(alice->publicKey());
  ASSERT_TRUE(ab && ba);
  EXPECT_EQ(*ab, *ba);
  EXPECT_EQ(bytesOf(ab->bytes()),
            hex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"));

  const auto x = X25519PrivateKey::generate(), y = X25519PrivateKey::generate();
  EXPECT_NE(x.publicKey(), y.publicKey());
  EXPECT_EQ(*x.sharedSecret(y.publicKey()), *y.sharedSecret(x.publicKey()));
}

TEST(Ed25519, SignsDeterministicallyAndVerifies) {
  // RFC 8032, section 7.1, test 2.
  auto key = Ed25519PrivateKey::fromRaw(
      hex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb"));
  ASSERT_TRUE(key);
  const Bytes msg = hex("72");
  EXPECT_EQ(bytesOf(key->publicKey()),
            hex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"));
  EXPECT_EQ(bytesOf(key->sign(msg)),
            hex("92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
                "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"));
  EXPECT_EQ(key->raw(), SymmetricKey(hex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb")));

  const auto fresh = Ed25519PrivateKey::generate();
  const Signature sig = fresh.sign(asBytes("hello"));
  EXPECT_TRUE(ed25519Verify(fresh.publicKey(), asBytes("hello"), sig));
  auto reloaded = Ed25519PrivateKey::fromRaw(fresh.raw().bytes());
  ASSERT_TRUE(reloaded);
  EXPECT_EQ(reloaded->publicKey(), fresh.publicKey());
}

TEST(Ed25519, MalformedInputIsFalse) {
  const auto key = Ed25519PrivateKey::generate();
  const PublicKey pk = key.publicKey();
  const Signature sig = key.sign(asBytes("m"));
  Bytes flipped = bytesOf(sig);
  flipped[10] ^= 0x01;
  struct Case {
    Bytes pk, msg, sig;
  } cases[] = {
      {bytesOf(pk), toBytes("m"), flipped},
      {bytesOf(pk), toBytes("n"), bytesOf(sig)},
      {bytesOf(pk), toBytes("m"), Bytes(sig.begin(), sig.end() - 1)},
      {bytesOf(pk), toBytes("m"), {}},
      {Bytes(pk.begin(), pk.end() - 1), toBytes("m"), bytesOf(sig)},
      {Bytes(33, 1), toBytes("m"), bytesOf(sig)},
      {Bytes(32, 0xff), toBytes("m"), bytesOf(sig)},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(ed25519Verify(c.pk, c.msg, c.sig)) << c.pk.size() << "/" << c.sig.size();
  }
  for (std::size_t size : {0u, 31u, 33u, 64u}) {
    EXPECT_FALSE(Ed25519PrivateKey::fromRaw(Bytes(size, 1))) << size;
  }
}

Bytes nonceWith(std::uint8_t last) {
  Bytes n(12, 0);
  n.back() = last;
  return n;
}

TEST(ChaChaPoly, SizesAreChecked) {
  for (std::size_t size : {0u, 16u, 31u, 33u}) {
    auto r = ChaChaPoly::make(SymmetricKey(Bytes(size, 1)));
    ASSERT_FALSE(r) << size;
    EXPECT_EQ(r.error(), CryptoError::invalidLength);
  }
  auto box = ChaChaPoly::make(SymmetricKey(Bytes(32, 7)));
  ASSERT_TRUE(box);
  const Bytes msg = toBytes("payload");
  Bytes out(msg.size());
  Tag tag{};
  ASSERT_TRUE(box->seal(nonceWith(1), msg, out, tag));
  const Bytes ct = out;

  struct Case {
    Bytes nonce;
    std::size_t outSize, tagSize;
  } cases[] = {
      {Bytes(11, 0), msg.size(), 16}, {Bytes(13, 0), msg.size(), 16}, {{}, msg.size(), 16},
      {nonceWith(1), msg.size() + 1, 16}, {nonceWith(1), msg.size() - 1, 16},
      {nonceWith(1), msg.size(), 15}, {nonceWith(1), msg.size(), 17}, {nonceWith(1), msg.size(), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.nonce.size() << "/" << c.outSize << "/" << c.tagSize);
    Bytes o(c.outSize);
    Bytes t(tag.begin(), tag.end());
    t.resize(c.tagSize);
    auto opened = box->open(c.nonce, ct, t, o);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), CryptoError::invalidLength);
    if (c.tagSize == 16) {
      Tag ignored{};
      auto sealed = box->seal(c.nonce, msg, o, ignored);
      ASSERT_FALSE(sealed);
      EXPECT_EQ(sealed.error(), CryptoError::invalidLength);
    }
  }
  Bytes plain(ct.size());
  ASSERT_TRUE(box->open(nonceWith(1), ct, tag, plain));
  EXPECT_EQ(plain, msg);
}

// One long-lived instance, re-initialised per payload, must give what a fresh instance per
// payload gives, in either direction and after a failed open.
TEST(ChaChaPoly, ReusedContextMatchesFreshOnes) {
  const SymmetricKey key(Bytes(32, 0x42));
  auto shared = ChaChaPoly::make(key);
  ASSERT_TRUE(shared);
  for (std::uint8_t i = 0; i < 8; ++i) {
    SCOPED_TRACE(int(i));
    const Bytes msg(i * 37u, static_cast<std::uint8_t>(i + 1));
    Bytes a(msg.size()), b(msg.size());
    Tag ta{}, tb{};
    ASSERT_TRUE(shared->seal(nonceWith(i), msg, a, ta));
    auto fresh = ChaChaPoly::make(key);
    ASSERT_TRUE(fresh);
    ASSERT_TRUE(fresh->seal(nonceWith(i), msg, b, tb));
    EXPECT_EQ(a, b);
    EXPECT_EQ(ta, tb);

    Tag wrong = ta;
    wrong[0] ^= 0x80;
    Bytes plain(msg.size());
    EXPECT_FALSE(shared->open(nonceWith(i), a, wrong, plain));
    EXPECT_FALSE(shared->open(nonceWith(i + 1), a, ta, plain));
    ASSERT_TRUE(shared->open(nonceWith(i), a, ta, plain));
    EXPECT_EQ(plain, msg);
  }
}

TEST(ChaChaPoly, HotPathDoesNotAllocate) {
  ASSERT_TRUE(hooksInstalled) << "OpenSSL allocated before the counting hooks were installed";
  auto box = ChaChaPoly::make(SymmetricKey(Bytes(32, 3)));
  ASSERT_TRUE(box);
  const Bytes msg(1220, 0x5a);
  Bytes ct(msg.size()), plain(msg.size());
  Tag tag{};
  ASSERT_TRUE(box->seal(nonceWith(0), msg, ct, tag));  // warm up

  opensslAllocations = 0;
  counting = true;
  bool allOk = true;
  for (std::uint8_t i = 1; i < 50; ++i) {
    allOk &= box->seal(nonceWith(i), msg, ct, tag).ok();
    allOk &= box->open(nonceWith(i), ct, tag, plain).ok();
  }
  Tag wrong{};
  allOk &= !box->open(nonceWith(1), ct, wrong, plain).ok();
  counting = false;
  EXPECT_TRUE(allOk);
  EXPECT_EQ(opensslAllocations.load(), 0);
}

}  // namespace
}  // namespace lumenbrook::crypto
