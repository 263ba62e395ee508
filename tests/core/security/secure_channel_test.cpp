#include "core/security/secure_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "core/crypto/crypto.h"
#include "core/security/secure_channel_testing.h"
#include "tests/core/crypto/test_hex.h"

// Counts C++ heap allocations on this thread while enabled, to pin down what the sealing and
// opening paths allocate. Outside a counted region it is plain malloc/free.
namespace {
thread_local bool countingNew = false;
thread_local long newCalls = 0;
}  // namespace

void* operator new(std::size_t n) {
  if (countingNew) ++newCalls;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
// Not inlined, so the compiler does not pair an inlined free() with operator new and warn.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace lumenbrook {
namespace {

using crypto::SymmetricKey;
using lumenbrook::testing::bytesOf;
using lumenbrook::testing::hex;

const Uuid kDevice = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
const Bytes kPsk = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
const Bytes kNonceP = hex("a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf");
const Bytes kNonceH = hex("c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedf");

Bytes concat(std::initializer_list<ByteView> parts) {
  Bytes out;
  for (ByteView p : parts) append(out, p);
  return out;
}

SymmetricKey hkdf(const SymmetricKey& ikm, ByteView salt, std::string_view info) {
  auto k = crypto::hkdfSha256(ikm.bytes(), salt, asBytes(info), 32);
  EXPECT_TRUE(k);
  return k ? *k : SymmetricKey();
}

HandshakeKeys loginKeys() { return Handshake::hostReply(kPsk, kDevice, kNonceP, kNonceH).keys; }

// A payload built from the primitives alone: counter || ChaCha20-Poly1305(key, lane || counter).
Bytes forge(const SymmetricKey& key, std::uint32_t lane, std::uint64_t counter, ByteView plaintext) {
  Bytes nonce;
  appendU32BE(nonce, lane);
  appendU64BE(nonce, counter);
  auto box = crypto::ChaChaPoly::make(key);
  EXPECT_TRUE(box);
  Bytes ct(plaintext.size());
  crypto::Tag tag{};
  EXPECT_TRUE(box->seal(nonce, plaintext, ct, tag));
  Bytes out;
  appendU64BE(out, counter);
  append(out, ct);
  append(out, tag);
  return out;
}

// --- handshake ------------------------------------------------------------------------------

TEST(Handshake, DerivationsMatchThePrimitives) {
  const Bytes message = concat({asBytes("lumenbrook handle v1"), kDevice.bytes(), kNonceP});
  EXPECT_EQ(Handshake::handle(kPsk, kDevice, kNonceP), bytesOf(crypto::hmacSha256(kPsk, message)));

  const auto reply = Handshake::hostReply(kPsk, kDevice, kNonceP, kNonceH);
  const Bytes t = concat({kDevice.bytes(), kNonceP, kNonceH});
  ASSERT_EQ(t.size(), 80u);  // 16-byte id, two 32-byte nonces
  const SymmetricKey psk(kPsk);
  HandshakeKeys expected;
  expected.auth = hkdf(psk, t, "lumenbrook-v1 auth");
  expected.phoneToHost = hkdf(psk, t, "lumenbrook-v1 p2h");
  expected.hostToPhone = hkdf(psk, t, "lumenbrook-v1 h2p");
  expected.transcript = t;
  EXPECT_EQ(reply.keys, expected);
  EXPECT_EQ(reply.nonceH, kNonceH);
  EXPECT_EQ(reply.macH,
            bytesOf(crypto::hmacSha256(expected.auth.bytes(), concat({asBytes("host"), t}))));

  auto finish = Handshake::phoneFinish(kPsk, kDevice, kNonceP, kNonceH, reply.macH);
  ASSERT_TRUE(finish);
  EXPECT_EQ(finish->macP,
            bytesOf(crypto::hmacSha256(expected.auth.bytes(), concat({asBytes("phone"), t}))));
}

TEST(Handshake, HandleIsCheckedInConstantTimeAndOnlyAtFullLength) {
  const Bytes handle = Handshake::handle(kPsk, kDevice, kNonceP);
  ASSERT_EQ(handle.size(), 32u);
  EXPECT_TRUE(Handshake::isValidHandle(handle, kPsk, kDevice, kNonceP));
  Bytes otherPsk = kPsk;
  otherPsk[0] ^= 1;
  EXPECT_FALSE(Handshake::isValidHandle(handle, otherPsk, kDevice, kNonceP));
  EXPECT_FALSE(Handshake::isValidHandle(handle, kPsk, Uuid(), kNonceP));
  EXPECT_FALSE(Handshake::isValidHandle(handle, kPsk, kDevice, kNonceH));
  EXPECT_FALSE(Handshake::isValidHandle(Bytes(handle.begin(), handle.end() - 1), kPsk, kDevice, kNonceP));
  EXPECT_FALSE(Handshake::isValidHandle({}, kPsk, kDevice, kNonceP));
}

TEST(Handshake, NoncesAreFreshAndFullLength) {
  const Bytes a = Handshake::nonce(), b = Handshake::nonce();
  EXPECT_EQ(a.size(), Handshake::nonceSize);
  EXPECT_EQ(b.size(), Handshake::nonceSize);
  EXPECT_NE(a, b);
}

TEST(Handshake, BothProofsVerifyAndBothSidesHoldTheSameKeys) {
  const auto reply = Handshake::hostReply(kPsk, kDevice, kNonceP, kNonceH);
  auto finish = Handshake::phoneFinish(kPsk, kDevice, kNonceP, reply.nonceH, reply.macH);
  ASSERT_TRUE(finish);
  EXPECT_EQ(finish->keys, reply.keys);
  EXPECT_TRUE(Handshake::hostVerify(reply.keys, finish->macP));
}

TEST(Handshake, HostProofIsRefusedUnlessItMatchesEveryInput) {
  Bytes otherPsk = kPsk;
  otherPsk[31] ^= 0x80;
  Bytes otherNonce = kNonceP;
  otherNonce[5] ^= 1;
  const Uuid otherDevice = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E60");
  const Bytes macH = Handshake::hostReply(kPsk, kDevice, kNonceP, kNonceH).macH;
  const Bytes macP = Handshake::phoneFinish(kPsk, kDevice, kNonceP, kNonceH, macH)->macP;
  Bytes flipped = macH;
  flipped[0] ^= 1;
  struct Case {
    const char* name;
    Bytes psk;
    Uuid device;
    Bytes nonceP, nonceH, macH;
  } cases[] = {
      {"another psk", otherPsk, kDevice, kNonceP, kNonceH, macH},
      {"another device", kPsk, otherDevice, kNonceP, kNonceH, macH},
      {"another phone nonce", kPsk, kDevice, otherNonce, kNonceH, macH},
      {"nonces swapped", kPsk, kDevice, kNonceH, kNonceP, macH},
      {"altered proof", kPsk, kDevice, kNonceP, kNonceH, flipped},
      {"cut proof", kPsk, kDevice, kNonceP, kNonceH, Bytes(macH.begin(), macH.end() - 1)},
      {"empty proof", kPsk, kDevice, kNonceP, kNonceH, {}},
      {"the phone's proof", kPsk, kDevice, kNonceP, kNonceH, macP},
  };
  for (const auto& c : cases) {
    auto r = Handshake::phoneFinish(c.psk, c.device, c.nonceP, c.nonceH, c.macH);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error(), SecureChannelError::badProof) << c.name;
  }
}

TEST(Handshake, PhoneProofIsRefusedUnlessItIsThePhonesOwn) {
  const auto reply = Handshake::hostReply(kPsk, kDevice, kNonceP, kNonceH);
  const Bytes macP = Handshake::phoneFinish(kPsk, kDevice, kNonceP, kNonceH, reply.macH)->macP;
  Bytes otherPsk = kPsk;
  otherPsk[0] ^= 1;
  const auto otherReply = Handshake::hostReply(otherPsk, kDevice, kNonceP, kNonceH);
  const Bytes foreign = Handshake::phoneFinish(otherPsk, kDevice, kNonceP, kNonceH, otherReply.macH)->macP;
  Bytes flipped = macP;
  flipped[31] ^= 1;
  for (const Bytes& bad : {reply.macH, foreign, flipped, Bytes(macP.begin(), macP.begin() + 16), Bytes{}}) {
    auto r = Handshake::hostVerify(reply.keys, bad);
    ASSERT_FALSE(r) << bad.size();
    EXPECT_EQ(r.error(), SecureChannelError::badProof);
  }
  EXPECT_TRUE(Handshake::hostVerify(reply.keys, macP));
}

// --- per-stream keys ------------------------------------------------------------------------

TEST(HandshakeKeys, StreamKeysFollowTheirInfoStrings) {
  const HandshakeKeys keys = loginKeys();
  struct Case {
    std::uint32_t n;
    const char* prefix;
  } cases[] = {{0, "lumenbrook-v1 video-0 "}, {7, "lumenbrook-v1 video-7 "},
               {4294967295u, "lumenbrook-v1 video-4294967295 "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    const std::string p = c.prefix;
    HandshakeKeys expected;
    expected.auth = hkdf(keys.auth, keys.transcript, p + "auth");
    expected.phoneToHost = hkdf(keys.phoneToHost, keys.transcript, p + "p2h");
    expected.hostToPhone = hkdf(keys.hostToPhone, keys.transcript, p + "h2p");
    expected.transcript = keys.transcript;
    EXPECT_EQ(keys.stream(c.n), expected);
  }
}

TEST(HandshakeKeys, EveryStreamHasItsOwnKeys) {
  const HandshakeKeys base = loginKeys();
  const std::vector<HandshakeKeys> sets = {base, base.stream(0), base.stream(1), base.stream(10)};
  std::vector<SymmetricKey> all;
  for (const auto& s : sets) {
    EXPECT_EQ(s.transcript, base.transcript);
    all.insert(all.end(), {s.auth, s.phoneToHost, s.hostToPhone});
  }
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].size(), 32u);
    for (std::size_t j = i + 1; j < all.size(); ++j) EXPECT_NE(all[i], all[j]) << i << "," << j;
  }
  EXPECT_EQ(base.stream(1), base.stream(1));
}

// --- sealing and opening --------------------------------------------------------------------

TEST(Sealer, PayloadLayoutIsCounterCiphertextTag) {
  const HandshakeKeys keys = loginKeys();
  Sealer host(keys, false, false);
  Sealer phoneDatagrams(keys, true, true);
  const Bytes msg = toBytes("hello, phone");
  for (std::uint64_t c = 1; c <= 3; ++c) {
    auto sealed = host.seal(msg);
    ASSERT_TRUE(sealed);
    EXPECT_EQ(*sealed, forge(keys.hostToPhone, 0, c, msg));
    EXPECT_EQ(host.counter(), c);
  }
  auto d = phoneDatagrams.seal(msg);
  ASSERT_TRUE(d);
  EXPECT_EQ(*d, forge(keys.phoneToHost, 1, 1, msg));
  auto empty = phoneDatagrams.seal({});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->size(), 24u);
}

TEST(Sealer, EachSideOpensOnlyWhatThePeerSealed) {
  const HandshakeKeys keys = loginKeys();
  const Bytes msg = toBytes("ping");
  for (bool datagrams : {false, true}) {
    for (bool phoneSide : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "datagrams " << datagrams << " phone " << phoneSide);
      Sealer sealer(keys, phoneSide, datagrams);
      auto payload = sealer.seal(msg);
      ASSERT_TRUE(payload);
      Opener peer(keys, !phoneSide, datagrams);
      Opener self(keys, phoneSide, datagrams);
      Opener otherLane(keys, !phoneSide, !datagrams);
      Opener otherStream(keys.stream(0), !phoneSide, datagrams);
      for (Opener* wrong : {&self, &otherLane, &otherStream}) {
        auto r = wrong->open(*payload);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), SecureChannelError::badMessage);
        EXPECT_EQ(wrong->highest(), 0u);
        EXPECT_TRUE(wrong->seen().empty());
      }
      auto opened = peer.open(*payload);
      ASSERT_TRUE(opened);
      EXPECT_EQ(*opened, msg);
      EXPECT_EQ(peer.lane(), datagrams ? 1u : 0u);
      EXPECT_EQ(peer.reorderable(), datagrams);
    }
  }
}

TEST(Sealer, ExhaustedSealerFailsAndStaysPut) {
  const HandshakeKeys keys = loginKeys();
  Sealer sealer(keys, true, false);
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  SecureChannelTesting::setCounter(sealer, kMax - 1);
  auto last = sealer.seal(toBytes("last"));
  ASSERT_TRUE(last);
  EXPECT_EQ(*last, forge(keys.phoneToHost, 0, kMax, toBytes("last")));
  Opener opener(keys, false, false);
  EXPECT_TRUE(opener.open(*last));
  EXPECT_EQ(opener.highest(), kMax);

  auto over = sealer.seal(toBytes("more"));
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), SecureChannelError::exhausted);
  EXPECT_EQ(sealer.counter(), kMax);
}

TEST(Sealer, UnusableKeysFailInsteadOfCrashing) {
  HandshakeKeys keys = loginKeys();
  keys.hostToPhone = SymmetricKey(Bytes(31, 1));
  Sealer sealer(keys, false, false);
  auto s = sealer.seal(toBytes("x"));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error(), SecureChannelError::badMessage);
  EXPECT_EQ(sealer.counter(), 0u);
  Opener opener(keys, true, false);
  auto o = opener.open(forge(loginKeys().hostToPhone, 0, 1, toBytes("x")));
  ASSERT_FALSE(o);
  EXPECT_EQ(o.error(), SecureChannelError::badMessage);
}

enum class Expect { ok, replay, tooOld, badMessage };

struct Step {
  std::uint64_t counter;
  Expect expect;
};

struct WindowCase {
  const char* name;
  bool datagrams;
  std::vector<std::uint64_t> accepted;  // delivered first, each must open
  std::vector<Step> steps;
  std::uint64_t highestAfter;
};

// Feeds payloads with chosen counters and checks each verdict, and that a refusal leaves the
// opener exactly as it was.
TEST(Opener, ReplayAndWindowRules) {
  const WindowCase cases[] = {
      {"first payload once", false, {}, {{1, Expect::ok}, {1, Expect::replay}}, 1},
      {"control: gaps yes, going back no", false, {1, 2, 5},
       {{3, Expect::replay}, {5, Expect::replay}, {4, Expect::replay}, {6, Expect::ok}}, 6},
      {"control: counter 0 never", false, {}, {{0, Expect::replay}}, 0},
      {"datagrams: window edge", true, {2000},
       {{976, Expect::tooOld}, {977, Expect::ok}, {977, Expect::replay}, {2000, Expect::replay},
        {1999, Expect::ok}, {2001, Expect::ok}, {977, Expect::tooOld}},
       2001},
      {"datagrams below 1024: anything unseen", true, {5},
       {{0, Expect::ok}, {3, Expect::ok}, {1023, Expect::ok}, {0, Expect::replay}, {5, Expect::replay}},
       1023},
      {"datagrams: highest exactly 1024", true, {1024},
       {{0, Expect::tooOld}, {1, Expect::ok}, {1, Expect::replay}}, 1024},
      {"datagrams: jump far ahead", true, {1, 2, 3},
       {{std::uint64_t{1} << 40, Expect::ok}, {3, Expect::tooOld}, {(std::uint64_t{1} << 40) - 1023, Expect::ok},
        {(std::uint64_t{1} << 40) - 1024, Expect::tooOld}},
       std::uint64_t{1} << 40},
  };
  const HandshakeKeys keys = loginKeys();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Opener opener(keys, false, c.datagrams);
    const std::uint32_t lane = c.datagrams ? 1 : 0;
    for (std::uint64_t n : c.accepted) {
      ASSERT_TRUE(opener.open(forge(keys.phoneToHost, lane, n, toBytes("x")))) << n;
    }
    for (const Step& s : c.steps) {
      SCOPED_TRACE(s.counter);
      const std::uint64_t highestBefore = opener.highest();
      const std::vector<std::uint64_t> seenBefore(opener.seen().begin(), opener.seen().end());
      const Bytes plaintext = toBytes("n=" + std::to_string(s.counter));
      auto r = opener.open(forge(keys.phoneToHost, lane, s.counter, plaintext));
      if (s.expect == Expect::ok) {
        ASSERT_TRUE(r);
        EXPECT_EQ(*r, plaintext);
        continue;
      }
      ASSERT_FALSE(r);
      const auto want = s.expect == Expect::replay   ? SecureChannelError::replay
                        : s.expect == Expect::tooOld ? SecureChannelError::tooOld
                                                     : SecureChannelError::badMessage;
      EXPECT_EQ(r.error(), want);
      EXPECT_EQ(opener.highest(), highestBefore);
      EXPECT_EQ(std::vector<std::uint64_t>(opener.seen().begin(), opener.seen().end()), seenBefore);
    }
    EXPECT_EQ(opener.highest(), c.highestAfter);
  }
}

TEST(Opener, SeenIsPrunedToTheWindowPastTwoThousandAndFortyEight) {
  const HandshakeKeys keys = loginKeys();
  Sealer sealer(keys, true, true);
  Opener opener(keys, false, true);
  for (int i = 1; i <= 2048; ++i) ASSERT_TRUE(opener.open(*sealer.seal(toBytes("f"))));
  EXPECT_EQ(opener.seen().size(), 2048u);
  EXPECT_EQ(opener.seen().front(), 1u);

  ASSERT_TRUE(opener.open(*sealer.seal(toBytes("f"))));  // the 2049th
  ASSERT_EQ(opener.seen().size(), 1024u);
  EXPECT_EQ(opener.seen().front(), 2049u - 1023);
  EXPECT_EQ(opener.seen().back(), 2049u);
  // Dropped from `seen`, still refused.
  auto old = opener.open(forge(keys.phoneToHost, 1, 1025, toBytes("f")));
  ASSERT_FALSE(old);
  EXPECT_EQ(old.error(), SecureChannelError::tooOld);
  auto kept = opener.open(forge(keys.phoneToHost, 1, 1026, toBytes("f")));
  ASSERT_FALSE(kept);
  EXPECT_EQ(kept.error(), SecureChannelError::replay);
}

TEST(Opener, OutOfOrderDatagramsKeepSeenSorted) {
  const HandshakeKeys keys = loginKeys();
  Opener opener(keys, false, true);
  for (std::uint64_t n : {10, 3, 7, 1, 12, 8}) {
    ASSERT_TRUE(opener.open(forge(keys.phoneToHost, 1, n, {}))) << n;
  }
  EXPECT_EQ(std::vector<std::uint64_t>(opener.seen().begin(), opener.seen().end()),
            (std::vector<std::uint64_t>{1, 3, 7, 8, 10, 12}));
}

TEST(Opener, ForgedOrDamagedPayloadsChangeNothing) {
  const HandshakeKeys keys = loginKeys();
  for (bool datagrams : {false, true}) {
    SCOPED_TRACE(datagrams);
    const std::uint32_t lane = datagrams ? 1 : 0;
    Opener opener(keys, false, datagrams);
    ASSERT_TRUE(opener.open(forge(keys.phoneToHost, lane, 5, toBytes("ok"))));
    const Bytes good = forge(keys.phoneToHost, lane, 6, toBytes("next"));

    Bytes hugeCounter = good;
    storeU64BE(hugeCounter.data(), std::numeric_limits<std::uint64_t>::max());
    Bytes ctFlip = good, tagFlip = good;
    ctFlip[8] ^= 1;
    tagFlip.back() ^= 1;
    const Bytes wrongKey = forge(keys.hostToPhone, lane, 1000, toBytes("next"));
    const Bytes tooShort(good.begin(), good.begin() + 23);
    const Bytes* bads[] = {&hugeCounter, &ctFlip, &tagFlip, &wrongKey, &tooShort};
    for (const Bytes* bad : bads) {
      auto r = opener.open(*bad);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), SecureChannelError::badMessage);
      EXPECT_EQ(opener.highest(), 5u);
      EXPECT_EQ(opener.seen().size(), datagrams ? 1u : 0u);
    }
    auto empty = opener.open({});
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error(), SecureChannelError::badMessage);
    auto r = opener.open(good);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, toBytes("next"));
  }
}

TEST(Opener, TwentyFourBytesOpenToEmpty) {
  const HandshakeKeys keys = loginKeys();
  Opener opener(keys, true, false);
  const Bytes payload = forge(keys.hostToPhone, 0, 1, {});
  ASSERT_EQ(payload.size(), 24u);
  auto r = opener.open(payload);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->empty());
}

// Sealing and opening allocate the returned buffer and nothing else, through pruning too.
TEST(SealerOpener, OnlyTheOutputBufferIsAllocated) {
  const HandshakeKeys keys = loginKeys().stream(3);
  Sealer sealer(keys, false, true);
  Opener opener(keys, true, true);
  const Bytes fragment(1220, 0x33);
  constexpr long kRounds = 3000;  // crosses the pruning point
  long failures = 0;
  newCalls = 0;
  countingNew = true;
  for (long i = 0; i < kRounds; ++i) {
    auto sealed = sealer.seal(fragment);
    if (!sealed) {
      ++failures;
      continue;
    }
    auto opened = opener.open(*sealed);
    failures += !opened;
  }
  countingNew = false;
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(newCalls, 2 * kRounds);
  EXPECT_LE(opener.seen().size(), 2048u);
}

}  // namespace
}  // namespace lumenbrook
