#include "core/security/pairing.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/crypto/crypto.h"
#include "test_identities.h"

namespace lumenbrook {
namespace {

using fixtures::hex;

// A known-answer vector computed independently of this code (Python's hashlib, hmac and the
// cryptography package, from the written byte layout). The phone nonce was chosen so that the
// code starts with a zero.
constexpr std::string_view kPhoneSeed =
    "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20";
constexpr std::string_view kMacSeed =
    "65666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f8081828384";
constexpr std::string_view kPhoneEph =
    "404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f";
constexpr std::string_view kMacEph =
    "909192939495969798999a9b9c9d9e9fa0a1a2a3a4a5a6a7a8a9aaabacadaeaf";
constexpr std::string_view kNonceP =
    "0200000000000000000000000000000000000000000000000000000000000000";
constexpr std::string_view kNonceM =
    "c0c1c2c3c4c5c6c7c8c9cacbcccdcecfc0c1c2c3c4c5c6c7c8c9cacbcccdcecf";
constexpr std::string_view kSecret = "00112233445566778899aabbccddeeff";
constexpr std::string_view kMacFingerprint = "bbc3f7d0c18ed5991c6d4e56ab8446de";

PairingNonce nonce(std::string_view h) {
  PairingNonce n{};
  Bytes b = hex(h);
  std::copy(b.begin(), b.end(), n.begin());
  return n;
}

DeviceIdentity phoneIdentity() {
  return fixtures::identityFromSeed(kPhoneSeed, "3F2504E0-4F89-41D3-9A0C-0305E82C3301",
                                    "Zo\xC3\xAB's phone");
}
DeviceIdentity macIdentity() {
  return fixtures::identityFromSeed(kMacSeed, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "Studio-Mac");
}
QRPayload scanned(std::string secret = std::string(kSecret)) {
  return QRPayload{"Studio-Mac.local", 51000, std::string(kMacFingerprint), std::move(secret)};
}

Bytes sha(ByteView b) {
  crypto::Digest d = crypto::sha256(b);
  return Bytes(d.begin(), d.end());
}
Bytes concat(ByteView a, ByteView b) {
  Bytes out(a.begin(), a.end());
  append(out, b);
  return out;
}
Bytes keyBytes(const crypto::PublicKey& k) { return Bytes(k.begin(), k.end()); }

TEST(Pairing, KnownAnswerWithLeadingZeroCode) {
  PhonePairing phone(phoneIdentity(), scanned(), fixtures::x25519FromRaw(kPhoneEph),
                     nonce(kNonceP));
  MacPairing mac(macIdentity(), kSecret, fixtures::x25519FromRaw(kMacEph), nonce(kNonceM));
  const DeviceIdentity p = phoneIdentity();
  const Bytes phoneKey = keyBytes(p.publicKey());
  const Bytes macKey = keyBytes(macIdentity().publicKey());

  EXPECT_EQ(phone.commitment(),
            hex("4c808eef01bb6928069063bc3503b4a8a90edf5169d8f51eadb7ea9e558ca906"));
  EXPECT_EQ(phone.startTag(),
            hex("81996ef057848afa6beff794b581026a37bf8c25d68a58ecf428de0c44a8d3c9"));
  EXPECT_TRUE(MacPairing::validStart(kSecret, phone.startTag(), p.id(), p.name(), phoneKey,
                                     phone.commitment()));

  auto commitM = mac.start(p.id(), p.name(), phoneKey, phone.commitment());
  ASSERT_TRUE(commitM);
  EXPECT_EQ(*commitM, hex("8dfc16da9de8b811c204a460e9167dbf6d1778c9c0eef90e949d95fc576a0780"));
  EXPECT_EQ(mac.phoneInfo(), (MacPairing::PhoneInfo{p.id(), p.name(), phoneKey}));
  ASSERT_TRUE(phone.receive(macKey, "Studio-Mac", *commitM));

  auto reveal = phone.reveal();
  auto macReveal = mac.reveal(reveal.publicKey, reveal.nonce, "Studio-Mac");
  ASSERT_TRUE(macReveal);
  EXPECT_EQ(macReveal->nonceM, hex(kNonceM));
  EXPECT_EQ(macReveal->tagM,
            hex("b1c874e3914b0ce5e0b9816cbe8ee6062fb0aee837b69f80fd9592f1444c8c2b"));

  auto finish = phone.finish(macReveal->ephM, macReveal->nonceM, macReveal->sigM, macReveal->tagM);
  ASSERT_TRUE(finish);
  const PairingResult& r = finish->result;
  EXPECT_EQ(r.code, "010102");
  EXPECT_EQ(r.psk, hex("916e9a2f90705687a15004cda0fb29a2d1c5bf144a33ffa4e38b5d5836d97713"));
  EXPECT_EQ(r.transcript.size(), 0x164u);
  EXPECT_EQ(sha(r.transcript),
            hex("4700ba2d0c46efdf32cd8d298f69b9f80e011a5bae8fde50e9d4aae313b46056"));
  EXPECT_EQ(finish->tagP, hex("672f29fb956c421b1141463a5672565148feab3290aa4e274a2c7e95cbef7c7f"));
  EXPECT_TRUE(
      crypto::ed25519Verify(macKey, concat(asBytes("mac-sig"), r.transcript), macReveal->sigM));
  EXPECT_TRUE(
      crypto::ed25519Verify(phoneKey, concat(asBytes("phone-sig"), r.transcript), finish->sigP));

  auto verified = mac.verify(finish->sigP, finish->tagP);
  ASSERT_TRUE(verified);
  EXPECT_EQ(*verified, r);
  EXPECT_EQ(mac.verify(finish->sigP, finish->tagP).value(), r);
}

// The messages of one run, as they travel; a tampering edits them in transit.
struct Messages {
  Uuid phoneID;
  std::string phoneName;
  Bytes phoneKey, commitP;  // pairStart
  Bytes macKey, commitM;    // pairMacCommit
  std::string hostName;
  Bytes ephP, nonceP;              // pairReveal (known to the phone from the start)
  Bytes ephM, nonceM, sigM, tagM;  // pairMacReveal
  Bytes sigP, tagP;                // pairPhoneProof
};

enum class Step { start, receive, reveal, finish, verify, done };

struct Outcome {
  Step failedAt;
  std::optional<PairingError> error;
  std::optional<PairingResult> phoneResult, macResult;
};

struct Sides {
  std::string phoneSecret = std::string(kSecret);
  std::string macSecret = std::string(kSecret);
  DeviceIdentity phone = phoneIdentity();
  DeviceIdentity mac = macIdentity();
};

// Runs the five steps with fresh ephemeral keys, letting `tamper` edit each message before
// the receiving side consumes it; stops at the first failure.
Outcome run(const Sides& setup, const std::function<void(Step, Messages&)>& tamper) {
  PhonePairing phone(setup.phone, scanned(setup.phoneSecret));
  MacPairing mac(setup.mac, setup.macSecret);
  Messages m;
  m.phoneID = setup.phone.id();
  m.phoneName = setup.phone.name();
  m.phoneKey = keyBytes(setup.phone.publicKey());
  m.commitP = phone.commitment();
  m.ephP = phone.reveal().publicKey;
  m.nonceP = phone.reveal().nonce;
  tamper(Step::start, m);
  auto commitM = mac.start(m.phoneID, m.phoneName, m.phoneKey, m.commitP);
  if (!commitM) return {Step::start, commitM.error(), {}, {}};

  m.macKey = keyBytes(setup.mac.publicKey());
  m.hostName = setup.mac.name();
  m.commitM = *commitM;
  tamper(Step::receive, m);
  auto received = phone.receive(m.macKey, m.hostName, m.commitM);
  if (!received) return {Step::receive, received.error(), {}, {}};

  tamper(Step::reveal, m);
  auto macReveal = mac.reveal(m.ephP, m.nonceP, setup.mac.name());
  if (!macReveal) return {Step::reveal, macReveal.error(), {}, {}};

  m.ephM = macReveal->ephM;
  m.nonceM = macReveal->nonceM;
  m.sigM = macReveal->sigM;
  m.tagM = macReveal->tagM;
  tamper(Step::finish, m);
  auto finish = phone.finish(m.ephM, m.nonceM, m.sigM, m.tagM);
  if (!finish) return {Step::finish, finish.error(), {}, {}};

  m.sigP = finish->sigP;
  m.tagP = finish->tagP;
  tamper(Step::verify, m);
  auto verified = mac.verify(m.sigP, m.tagP);
  if (!verified) return {Step::verify, verified.error(), finish->result, {}};
  return {Step::done, std::nullopt, finish->result, *verified};
}

void flip(Bytes& b) { b.at(b.size() / 2) ^= 0x01; }

TEST(Pairing, HonestSidesAgree) {
  for (int i = 0; i < 3; ++i) {
    Outcome o = run(Sides{}, [](Step, Messages&) {});
    ASSERT_EQ(o.failedAt, Step::done);
    ASSERT_TRUE(o.phoneResult && o.macResult);
    EXPECT_EQ(*o.phoneResult, *o.macResult);
    EXPECT_EQ(o.phoneResult->code.size(), 6u);
    EXPECT_EQ(o.phoneResult->code.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(o.phoneResult->psk.size(), 32u);
  }
}

TEST(Pairing, EveryTamperingFailsAtTheStepThatChecksIt) {
  const Bytes zeros(32, 0);
  // A side that commits to a low-order key can open its commitment, but no key agreement
  // follows from it.
  const Bytes validKey = keyBytes(fixtures::x25519FromRaw(kMacEph).publicKey());
  // A side may commit to whatever it later reveals: a low-order key (no key agreement follows
  // from it) or a short nonce. The commitment then matches and the key check must catch it.
  auto phoneCommitsTo = [](Bytes eph, Bytes n) {
    return [eph, n](Step s, Messages& m) {
      if (s == Step::start) m.ephP = eph, m.nonceP = n, m.commitP = sha(concat(eph, n));
    };
  };
  auto macCommitsTo = [](Bytes eph, Bytes n) {
    return [eph, n](Step s, Messages& m) {
      if (s == Step::receive) m.commitM = sha(concat(eph, n));
      if (s == Step::finish) m.ephM = eph, m.nonceM = n;
    };
  };
  auto at = [](Step step, std::function<void(Messages&)> edit) {
    return [step, edit](Step s, Messages& m) {
      if (s == step) edit(m);
    };
  };
  Sides otherWindow;
  otherWindow.macSecret = "ffeeddccbbaa99887766554433221100";
  Sides baseCode;
  baseCode.phoneSecret = "";
  Sides samePerson;
  samePerson.phone = macIdentity();

  struct Case {
    const char* what;
    Sides setup;
    std::function<void(Step, Messages&)> tamper;
    Step step;
    PairingError error;
  } cases[] = {
      {"phone key of 31 bytes",
       {},
       at(Step::start, [](Messages& m) { m.phoneKey.pop_back(); }),
       Step::start,
       PairingError::badKey},
      {"phone commitment of 33 bytes",
       {},
       at(Step::start, [](Messages& m) { m.commitP.push_back(0); }),
       Step::start,
       PairingError::badKey},
      {"phone presents the Mac's own key", samePerson, at(Step::start, [](Messages&) {}),
       Step::start, PairingError::badKey},
      {"Mac key of 31 bytes",
       {},
       at(Step::receive, [](Messages& m) { m.macKey.pop_back(); }),
       Step::receive,
       PairingError::badKey},
      {"Mac key other than the QR's",
       {},
       at(Step::receive, [](Messages& m) { flip(m.macKey); }),
       Step::receive,
       PairingError::badKey},
      {"Mac commitment of 31 bytes",
       {},
       at(Step::receive, [](Messages& m) { m.commitM.pop_back(); }),
       Step::receive,
       PairingError::badKey},
      {"phone reveals another key",
       {},
       at(Step::reveal, [](Messages& m) { flip(m.ephP); }),
       Step::reveal,
       PairingError::commitmentMismatch},
      {"phone reveals another nonce",
       {},
       at(Step::reveal, [](Messages& m) { flip(m.nonceP); }),
       Step::reveal,
       PairingError::commitmentMismatch},
      {"phone commits to a low-order key",
       {},
       phoneCommitsTo(zeros, Bytes(32, 7)),
       Step::reveal,
       PairingError::badKey},
      {"phone commits to a 31-byte nonce",
       {},
       phoneCommitsTo(validKey, Bytes(31, 7)),
       Step::reveal,
       PairingError::badKey},
      {"Mac reveals another key",
       {},
       at(Step::finish, [](Messages& m) { flip(m.ephM); }),
       Step::finish,
       PairingError::commitmentMismatch},
      {"Mac reveals another nonce",
       {},
       at(Step::finish, [](Messages& m) { flip(m.nonceM); }),
       Step::finish,
       PairingError::commitmentMismatch},
      {"Mac commits to a low-order key",
       {},
       macCommitsTo(zeros, Bytes(32, 7)),
       Step::finish,
       PairingError::badKey},
      {"Mac commits to a 31-byte nonce",
       {},
       macCommitsTo(validKey, Bytes(31, 7)),
       Step::finish,
       PairingError::badKey},
      {"Mac signature altered",
       {},
       at(Step::finish, [](Messages& m) { flip(m.sigM); }),
       Step::finish,
       PairingError::badSignature},
      {"Mac signature missing",
       {},
       at(Step::finish, [](Messages& m) { m.sigM.clear(); }),
       Step::finish,
       PairingError::badSignature},
      {"Mac host name changed in transit",
       {},
       at(Step::receive, [](Messages& m) { m.hostName = "Other-Mac"; }),
       Step::finish,
       PairingError::badSignature},
      {"phone name changed in transit",
       {},
       at(Step::start, [](Messages& m) { m.phoneName = "Mallory"; }),
       Step::finish,
       PairingError::badSignature},
      {"phone id changed in transit",
       {},
       at(Step::start, [](Messages& m) { m.phoneID = Uuid(); }),
       Step::finish,
       PairingError::badSignature},
      {"Mac tag altered",
       {},
       at(Step::finish, [](Messages& m) { flip(m.tagM); }),
       Step::finish,
       PairingError::notFromThisQR},
      {"Mac from another pairing window", otherWindow, at(Step::finish, [](Messages&) {}),
       Step::finish, PairingError::notFromThisQR},
      {"phone signature altered",
       {},
       at(Step::verify, [](Messages& m) { flip(m.sigP); }),
       Step::verify,
       PairingError::badSignature},
      {"phone signature missing",
       {},
       at(Step::verify, [](Messages& m) { m.sigP.clear(); }),
       Step::verify,
       PairingError::badSignature},
      {"phone tag altered",
       {},
       at(Step::verify, [](Messages& m) { flip(m.tagP); }),
       Step::verify,
       PairingError::notFromThisQR},
      {"phone that scanned the base code", baseCode, at(Step::verify, [](Messages&) {}),
       Step::verify, PairingError::notFromThisQR},
  };
  for (const auto& c : cases) {
    Outcome o = run(c.setup, c.tamper);
    EXPECT_EQ(o.failedAt, c.step) << c.what;
    EXPECT_EQ(o.error, c.error) << c.what;
  }
}

TEST(Pairing, StepsOutOfOrderOrRepeatedAreWrongStep) {
  const DeviceIdentity p = phoneIdentity();
  const Bytes phoneKey = keyBytes(p.publicKey());
  const Bytes macKey = keyBytes(macIdentity().publicKey());
  const Bytes b32(32, 3), b64(64, 4);
  struct Case {
    const char* what;
    std::function<std::optional<PairingError>()> call;
  } cases[] = {
      {"reveal before start",
       [&] {
         MacPairing mac(macIdentity(), kSecret);
         auto r = mac.reveal(b32, b32, "Studio-Mac");
         return r ? std::nullopt : std::optional(r.error());
       }},
      {"verify before reveal",
       [&] {
         MacPairing mac(macIdentity(), kSecret);
         if (!mac.start(p.id(), p.name(), phoneKey, b32))
           return std::optional(PairingError::badKey);
         auto r = mac.verify(b64, b32);
         return r ? std::nullopt : std::optional(r.error());
       }},
      {"second start",
       [&] {
         MacPairing mac(macIdentity(), kSecret);
         if (!mac.start(p.id(), p.name(), phoneKey, b32))
           return std::optional(PairingError::badKey);
         auto r = mac.start(p.id(), "Other", Bytes(32, 9), b32);
         EXPECT_EQ(mac.phoneInfo()->name, p.name());
         return r ? std::nullopt : std::optional(r.error());
       }},
      {"finish before receive",
       [&] {
         PhonePairing phone(p, scanned());
         auto r = phone.finish(b32, b32, b64, b32);
         return r ? std::nullopt : std::optional(r.error());
       }},
      {"second receive",
       [&] {
         PhonePairing phone(p, scanned());
         if (!phone.receive(macKey, "Studio-Mac", b32)) return std::optional(PairingError::badKey);
         auto r = phone.receive(macKey, "Other-Mac", Bytes(32, 8));
         return r ? std::nullopt : std::optional(r.error());
       }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.call(), PairingError::wrongStep) << c.what;
  }
  MacPairing fresh(macIdentity(), kSecret);
  EXPECT_FALSE(fresh.phoneInfo());
}

TEST(Pairing, RepeatedRevealIsWrongStepAndKeepsTheResult) {
  PhonePairing phone(phoneIdentity(), scanned());
  MacPairing mac(macIdentity(), kSecret);
  const DeviceIdentity p = phoneIdentity();
  ASSERT_TRUE(mac.start(p.id(), p.name(), keyBytes(p.publicKey()), phone.commitment()));
  auto first = mac.reveal(phone.reveal().publicKey, phone.reveal().nonce, "Studio-Mac");
  ASSERT_TRUE(first);
  auto second = mac.reveal(phone.reveal().publicKey, phone.reveal().nonce, "Other-Mac");
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), PairingError::wrongStep);
}

TEST(Pairing, FailedStepsLeaveBothSidesAsTheyWere) {
  PhonePairing phone(phoneIdentity(), scanned());
  MacPairing mac(macIdentity(), kSecret);
  const DeviceIdentity p = phoneIdentity();
  const Bytes macKey = keyBytes(macIdentity().publicKey());
  const Bytes phoneKey = keyBytes(p.publicKey());

  EXPECT_FALSE(mac.start(p.id(), p.name(), macKey, phone.commitment()));  // the Mac's own key
  EXPECT_FALSE(mac.phoneInfo());
  auto commitM = mac.start(p.id(), p.name(), phoneKey, phone.commitment());
  ASSERT_TRUE(commitM);

  Bytes wrongKey = macKey;
  flip(wrongKey);
  EXPECT_FALSE(phone.receive(wrongKey, "Studio-Mac", *commitM));
  ASSERT_TRUE(phone.receive(macKey, "Studio-Mac", *commitM));

  Bytes wrongNonce = phone.reveal().nonce;
  flip(wrongNonce);
  EXPECT_FALSE(mac.reveal(phone.reveal().publicKey, wrongNonce, "Studio-Mac"));
  auto macReveal = mac.reveal(phone.reveal().publicKey, phone.reveal().nonce, "Studio-Mac");
  ASSERT_TRUE(macReveal);

  Bytes wrongSig = macReveal->sigM;
  flip(wrongSig);
  EXPECT_FALSE(phone.finish(macReveal->ephM, macReveal->nonceM, wrongSig, macReveal->tagM));
  auto finish = phone.finish(macReveal->ephM, macReveal->nonceM, macReveal->sigM, macReveal->tagM);
  ASSERT_TRUE(finish);

  Bytes wrongTag = finish->tagP;
  flip(wrongTag);
  EXPECT_FALSE(mac.verify(finish->sigP, wrongTag));
  EXPECT_EQ(mac.verify(finish->sigP, finish->tagP).value(), finish->result);
}

TEST(Pairing, StartTagProvesTheWindowSecret) {
  const DeviceIdentity p = phoneIdentity();
  const Bytes key = keyBytes(p.publicKey());
  PhonePairing phone(p, scanned());
  const Bytes tag = phone.startTag();
  const Bytes commitP = phone.commitment();
  struct Case {
    const char* what;
    std::string secretHex;
    Bytes tag;
    std::string name;
    Bytes commitP;
    bool valid;
  } cases[] = {
      {"honest", std::string(kSecret), tag, p.name(), commitP, true},
      {"secret in upper case", "00112233445566778899AABBCCDDEEFF", tag, p.name(), commitP, true},
      {"another window", "ffeeddccbbaa99887766554433221100", tag, p.name(), commitP, false},
      {"name changed", std::string(kSecret), tag, "Mallory", commitP, false},
      {"commitment changed", std::string(kSecret), tag, p.name(), Bytes(32, 1), false},
      {"no tag", std::string(kSecret), {}, p.name(), commitP, false},
      {"secret not hexadecimal", "zz112233445566778899aabbccddeeff", tag, p.name(), commitP, false},
      {"no secret", "", tag, p.name(), commitP, false},
      {"short secret", "0011223344556677", tag, p.name(), commitP, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MacPairing::validStart(c.secretHex, c.tag, p.id(), c.name, key, c.commitP), c.valid)
        << c.what;
  }
  // A phone whose code had no usable secret has no tag to send.
  EXPECT_TRUE(PhonePairing(p, scanned("")).startTag().empty());
  EXPECT_TRUE(PhonePairing(p, scanned(std::string(kSecret).substr(1))).startTag().empty());
}

}  // namespace
}  // namespace lumenbrook
