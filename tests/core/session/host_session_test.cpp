#include "core/session/host_session.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "session_fixtures.h"

namespace lumenbrook {
namespace {

using namespace fixtures;
using Out = HostSession::Output;
using Outs = std::vector<Out>;
using Phase = HostSession::Phase;

const std::string kPhoneName = "Zo\xC3\xAB's phone";

Out sendOut(Wire::Value w) { return Out{Out::Send{Wire{std::move(w)}}}; }
Out closeOut(std::string reason) { return Out{Out::Close{std::move(reason)}}; }
Out refusedOut(std::string_view text) { return sendOut(Wire::Refused{std::string(text)}); }
const Out kFailedPairing{Out::PairingFailed{}};

template <class M>
M sentMessage(const Outs& outs) {
  auto* s = outs.size() == 1 ? std::get_if<Out::Send>(&outs[0].value) : nullptr;
  auto* m = s ? std::get_if<M>(&s->message.value) : nullptr;
  if (!m) {
    ADD_FAILURE() << "expected to send one message, got " << ::testing::PrintToString(outs);
    return M{};
  }
  return *m;
}

// A host brought to the code comparison by a phone scripted from the pairing primitives, so
// every value the host must produce can be checked against what the phone computed.
struct AtCode {
  HostSession host = fixtures::host();
  PhonePairing phone{phoneIdentity(), scanned()};
  PairingResult result;

  AtCode() {
    const DeviceIdentity p = phoneIdentity();
    auto commit = sentMessage<Wire::PairMacCommit>(host.receive(Wire{Wire::PairStart{
        p.id(), p.name(), raw(p.publicKey()), phone.commitment(), phone.startTag()}}));
    EXPECT_TRUE(phone.receive(commit.identityKey, commit.hostName, commit.commitment));
    auto reveal = phone.reveal();
    auto macReveal = sentMessage<Wire::PairMacReveal>(
        host.receive(Wire{Wire::PairReveal{reveal.publicKey, reveal.nonce}}));
    auto finish =
        phone.finish(macReveal.publicKey, macReveal.nonce, macReveal.signature, macReveal.tag);
    EXPECT_TRUE(finish);
    if (!finish) return;
    result = finish->result;
    EXPECT_EQ(
        host.receive(Wire{Wire::PairPhoneProof{finish->sigP, finish->tagP}}),
        (Outs{Out{Out::ShowPairingCode{result.code, kPhoneName}}, sendOut(Wire::PairCodeShown{})}));
  }
  Outs phoneSays(bool ok) {
    return host.receive(Wire{Wire::PairPhoneConfirmed{ok, verdictTag(result, "phone", ok)}});
  }
};

TEST(HostSession, PairingMessagesCarryTheMacsValues) {
  HostSession host = fixtures::host();
  EXPECT_EQ(host.phase(), Phase::fresh);
  const DeviceIdentity p = phoneIdentity();
  PhonePairing phone(p, scanned());
  Outs out = host.receive(Wire{
      Wire::PairStart{p.id(), p.name(), raw(p.publicKey()), phone.commitment(), phone.startTag()}});
  const auto commit = sentMessage<Wire::PairMacCommit>(out);
  EXPECT_EQ(out, Outs{sendOut(Wire::PairMacCommit{raw(macIdentity().publicKey()), "Studio-Mac",
                                                  commit.commitment})});
  EXPECT_EQ(commit.commitment.size(), 32u);
  EXPECT_EQ(host.phase(), Phase::pairCommitted);
  EXPECT_TRUE(host.pairingActive());
  EXPECT_FALSE(host.awaitingPerson());

  AtCode at;
  EXPECT_EQ(at.host.phase(), Phase::pairAwaitingPerson);
  EXPECT_TRUE(at.host.awaitingPerson());
  EXPECT_TRUE(at.host.pairingActive());
  EXPECT_EQ(at.result.code.size(), 6u);
}

TEST(HostSession, VerdictsSettleThePairing) {
  enum class After { wait, paired, rejected, ignored };
  struct Case {
    const char* name;
    bool macFirst, macOk, phoneOk;
    After first, second;
  };
  const Case cases[] = {
      {"Mac yes, then phone yes", true, true, true, After::wait, After::paired},
      {"phone yes, then Mac yes", false, true, true, After::wait, After::paired},
      {"Mac no ends it at once", true, false, true, After::rejected, After::ignored},
      {"phone no ends it at once", false, true, false, After::rejected, After::ignored},
      {"phone yes, then Mac no", false, false, true, After::wait, After::rejected},
      {"Mac yes, then phone no", true, true, false, After::wait, After::rejected},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AtCode at;
    const PairingResult& r = at.result;
    const DeviceIdentity p = phoneIdentity();
    const PairedDevice device{p.id(), kPhoneName, raw(p.publicKey()), r.psk, kNow, std::nullopt};
    auto expected = [&](After a) -> Outs {
      switch (a) {
        case After::paired:
          return {Out{Out::Paired{device}},
                  sendOut(Wire::PairConfirmed{true, verdictTag(r, "mac", true)}),
                  closeOut("paired; phone reconnects with the new key")};
        case After::rejected:
          return {sendOut(Wire::PairConfirmed{false, verdictTag(r, "mac", false)}), kFailedPairing,
                  closeOut("codes didn't match")};
        default:
          return {};
      }
    };
    auto mac = [&] { return at.host.confirmPairing(c.macOk); };
    auto phone = [&] { return at.phoneSays(c.phoneOk); };
    EXPECT_EQ(c.macFirst ? mac() : phone(), expected(c.first));
    EXPECT_EQ(at.host.isClosed(), c.first != After::wait);
    EXPECT_EQ(c.macFirst ? phone() : mac(), expected(c.second));
    EXPECT_TRUE(at.host.isClosed());
    EXPECT_EQ(at.host.ownTrust(), c.second == After::paired ? storeWith(device) : TrustStore());
    EXPECT_TRUE(at.host.confirmPairing(true).empty());
  }
}

TEST(HostSession, BadPhoneConfirmationsCountAsFailedPairings) {
  const Outs bad = {kFailedPairing, closeOut("bad phone confirmation")};
  struct Case {
    const char* name;
    std::function<Bytes(const PairingResult&)> tag;
    bool ok;
  };
  const Case cases[] = {
      {"altered tag",
       [](const PairingResult& r) {
         auto t = verdictTag(r, "phone", true);
         t[0] ^= 1;
         return t;
       },
       true},
      {"verdict flipped", [](const PairingResult& r) { return verdictTag(r, "phone", true); },
       false},
      {"the Mac's own tag reflected",
       [](const PairingResult& r) { return verdictTag(r, "mac", true); }, true},
      {"truncated tag",
       [](const PairingResult& r) {
         auto t = verdictTag(r, "phone", true);
         t.pop_back();
         return t;
       },
       true},
      {"no tag", [](const PairingResult&) { return Bytes{}; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AtCode at;
    EXPECT_EQ(at.host.receive(Wire{Wire::PairPhoneConfirmed{c.ok, c.tag(at.result)}}), bad);
    EXPECT_TRUE(at.host.isClosed());
  }
  // A second verdict from the phone, even a valid one, is one too many.
  AtCode at;
  EXPECT_TRUE(at.phoneSays(true).empty());
  EXPECT_EQ(at.phoneSays(true), bad);
  EXPECT_TRUE(at.host.confirmPairing(true).empty());
}

TEST(HostSession, ConfirmPairingOutsideTheComparisonDoesNothing) {
  HostSession fresh = fixtures::host();
  EXPECT_TRUE(fresh.confirmPairing(true).empty());
  EXPECT_EQ(fresh.phase(), Phase::fresh);
  AtCode twice;
  EXPECT_TRUE(twice.host.confirmPairing(true).empty());
  EXPECT_TRUE(twice.host.confirmPairing(false).empty());
  EXPECT_TRUE(twice.host.awaitingPerson());
}

// Tampering in transit during a pairing driven by a real phone session: the host's answer to
// the altered message, and what the phone shows.
TEST(HostSession, TamperedPairingMessages) {
  struct Case {
    const char* name;
    std::function<void(Wire&)> tamper;
    bool phoneConfirms;
    Outs reply;
    std::optional<std::string> phoneShows;
  };
  const std::string pairRefusal(HostSession::pairRefusal);
  const std::string proofText = "This phone couldn't prove it scanned this Mac's code";
  const Outs startInvalid = {refusedOut(pairRefusal), closeOut("start tag invalid")};
  const Outs mismatch = {refusedOut("Pairing check failed"), kFailedPairing,
                         closeOut("commitment mismatch")};
  const Outs proofFailed = {refusedOut(proofText), kFailedPairing, closeOut("phone proof failed")};
  const Outs badConfirmation = {kFailedPairing, closeOut("bad phone confirmation")};
  const Case cases[] = {
      {"start tag altered", flip<Wire::PairStart>(&Wire::PairStart::tag), false, startInvalid,
       pairRefusal},
      {"start commitment altered", flip<Wire::PairStart>(&Wire::PairStart::commitment), false,
       startInvalid, pairRefusal},
      {"start name altered", edit<Wire::PairStart>([](auto& m) { m.name += "!"; }), false,
       startInvalid, pairRefusal},
      {"revealed nonce altered", flip<Wire::PairReveal>(&Wire::PairReveal::nonce), false, mismatch,
       "Pairing check failed"},
      {"revealed key altered", flip<Wire::PairReveal>(&Wire::PairReveal::publicKey), false,
       mismatch, "Pairing check failed"},
      {"revealed nonce cut short", edit<Wire::PairReveal>([](auto& m) { m.nonce.pop_back(); }),
       false, mismatch, "Pairing check failed"},
      {"phone signature altered", flip<Wire::PairPhoneProof>(&Wire::PairPhoneProof::signature),
       false, proofFailed, proofText},
      {"phone proof tag altered", flip<Wire::PairPhoneProof>(&Wire::PairPhoneProof::tag), false,
       proofFailed, proofText},
      {"phone verdict tag altered", flip<Wire::PairPhoneConfirmed>(&Wire::PairPhoneConfirmed::tag),
       true, badConfirmation, std::nullopt},
      {"phone verdict flipped", edit<Wire::PairPhoneConfirmed>([](auto& m) { m.ok = !m.ok; }), true,
       badConfirmation, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostSession host = fixtures::host();
    PhoneSession phone(phoneIdentity());
    Pump pump{host, phone};
    pump.tamperToHost = c.tamper;
    pump.fromPhone(phone.startPairing(scanned()));
    pump.run();
    if (c.phoneConfirms) {
      pump.fromPhone(phone.confirmOnPhone(true));
      pump.run();
    }
    ASSERT_FALSE(pump.hostReplies.empty());
    EXPECT_EQ(pump.hostReplies.back().second, c.reply);
    EXPECT_TRUE(host.isClosed());
    const bool phoneFailed =
        std::holds_alternative<PhoneSession::Output::Failed>(pump.phoneLog.back().value);
    EXPECT_EQ(phoneFailed, c.phoneShows.has_value()) << describe(pump.phoneLog.back());
    if (c.phoneShows) {
      EXPECT_EQ(describe(pump.phoneLog.back()), "failed: " + *c.phoneShows);
    }
  }
}

// --- login ------------------------------------------------------------------------------

const Bytes kPsk(32, 0x5a);

// A host that has seen the phone's clientHello; the test plays the phone with the handshake
// functions.
struct Hello {
  std::unique_ptr<HostSession> host;
  Bytes nonceP = Handshake::nonce();
  Outs reply;

  explicit Hello(HostSession h, ByteView psk = kPsk)
      : host(std::make_unique<HostSession>(std::move(h))) {
    reply = host->receive(
        Wire{Wire::ClientHello{Handshake::handle(psk, phoneIdentity().id(), nonceP), nonceP}});
  }
};

struct LoggedIn : Hello {
  HandshakeKeys keys;
  std::optional<Sealer> phoneSealer;
  std::optional<Opener> phoneOpener;

  LoggedIn() : Hello(fixtures::host(storeWith(pairedPhone(kPsk)), std::nullopt)) {
    auto hello = sentMessage<Wire::ServerHello>(reply);
    auto finish =
        Handshake::phoneFinish(kPsk, phoneIdentity().id(), nonceP, hello.nonce, hello.mac);
    EXPECT_TRUE(finish);
    if (!finish) return;
    keys = finish->keys;
    EXPECT_EQ(host->receive(Wire{Wire::ClientFinish{finish->macP}}),
              Outs{Out{Out::Connected{phoneIdentity().id()}}});
    phoneSealer.emplace(keys, true, false);
    phoneOpener.emplace(keys, true, false);
  }
  Wire sealed(ByteView plaintext) {
    auto p = phoneSealer->seal(plaintext);
    EXPECT_TRUE(p);
    return Wire{Wire::Sealed{p ? p.value() : Bytes{}}};
  }
};

TEST(HostSession, LoginAnswersWithTheHostProofAndConnects) {
  Hello h(fixtures::host(storeWith(pairedPhone(kPsk)), std::nullopt));
  const auto hello = sentMessage<Wire::ServerHello>(h.reply);
  ASSERT_EQ(hello.nonce.size(), 32u);
  EXPECT_EQ(h.reply,
            Outs{sendOut(Wire::ServerHello{
                hello.nonce,
                Handshake::hostReply(kPsk, phoneIdentity().id(), h.nonceP, hello.nonce).macH})});
  EXPECT_EQ(h.host->phase(), Phase::handshaking);
  EXPECT_FALSE(h.host->deviceID());

  LoggedIn l;
  EXPECT_TRUE(l.host->authenticated());
  EXPECT_FALSE(l.host->pairingActive());
  EXPECT_EQ(l.host->deviceID(), phoneIdentity().id());
}

TEST(HostSession, LoginRefusals) {
  TrustStore revoked = storeWith(pairedPhone(kPsk, Date{1}));
  TrustStore switchedOff = storeWith(pairedPhone(kPsk));
  switchedOff.setKillSwitch(true);
  const Outs refused = {refusedOut(TrustStore::refusal), closeOut("refused")};
  const Outs badHello = {closeOut("bad hello")};
  struct Case {
    const char* name;
    TrustStore trust;
    Bytes psk;
    std::function<void(Wire::ClientHello&)> change;
    Outs reply;
  };
  const Case cases[] = {
      {"unknown handle", storeWith(pairedPhone(kPsk)), Bytes(32, 1), nullptr, refused},
      {"revoked phone", revoked, kPsk, nullptr, refused},
      {"switched off", switchedOff, kPsk, nullptr, refused},
      {"empty store", TrustStore(), kPsk, nullptr, refused},
      {"31-byte nonce", storeWith(pairedPhone(kPsk)), kPsk, [](auto& m) { m.nonce.pop_back(); },
       badHello},
      {"33-byte nonce", storeWith(pairedPhone(kPsk)), kPsk, [](auto& m) { m.nonce.push_back(0); },
       badHello},
      {"31-byte handle", storeWith(pairedPhone(kPsk)), kPsk, [](auto& m) { m.handle.pop_back(); },
       badHello},
      {"empty handle", storeWith(pairedPhone(kPsk)), kPsk, [](auto& m) { m.handle.clear(); },
       badHello},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostSession host = fixtures::host(c.trust, std::nullopt);
    Bytes nonce = Handshake::nonce();
    Wire::ClientHello m{Handshake::handle(c.psk, phoneIdentity().id(), nonce), nonce};
    if (c.change) c.change(m);
    EXPECT_EQ(host.receive(Wire{m}), c.reply);
    EXPECT_TRUE(host.isClosed());
  }
}

TEST(HostSession, RevokeAndKillSwitchApplyToTheOwnStore) {
  HostSession revoking = fixtures::host(storeWith(pairedPhone(kPsk)), std::nullopt);
  revoking.revoke(phoneIdentity().id());
  revoking.revoke(macIdentity().id());  // unknown: no effect
  EXPECT_EQ(revoking.ownTrust(), storeWith(pairedPhone(kPsk, kNow)));
  EXPECT_EQ(Hello(std::move(revoking)).reply,
            (Outs{refusedOut(TrustStore::refusal), closeOut("refused")}));

  HostSession off = fixtures::host(storeWith(pairedPhone(kPsk)), std::nullopt);
  off.setKillSwitch(true);
  EXPECT_TRUE(off.trust().killSwitch());
  EXPECT_EQ(Hello(std::move(off)).reply,
            (Outs{refusedOut(TrustStore::refusal), closeOut("refused")}));
}

TEST(HostSession, LiveTrustIsReadAtEachDecision) {
  TrustStore live;
  HostSession host = HostSession::withLiveTrust(
      macIdentity(), [&live] { return live; }, [] { return std::nullopt; }, fixedNow);
  live = storeWith(pairedPhone(kPsk));
  EXPECT_EQ(host.trust(), live);
  EXPECT_TRUE(host.ownTrust().devices().empty());
  Hello h(std::move(host));
  EXPECT_EQ(h.host->phase(), Phase::handshaking);
}

TEST(HostSession, BadClientProofIsRefused) {
  for (auto change : std::vector<std::function<void(Bytes&)>>{[](Bytes& mac) { mac[5] ^= 1; },
                                                              [](Bytes& mac) { mac.pop_back(); },
                                                              [](Bytes& mac) { mac.clear(); }}) {
    Hello h(fixtures::host(storeWith(pairedPhone(kPsk)), std::nullopt));
    auto hello = sentMessage<Wire::ServerHello>(h.reply);
    auto finish =
        Handshake::phoneFinish(kPsk, phoneIdentity().id(), h.nonceP, hello.nonce, hello.mac);
    ASSERT_TRUE(finish);
    change(finish->macP);
    EXPECT_EQ(h.host->receive(Wire{Wire::ClientFinish{finish->macP}}),
              (Outs{refusedOut("Couldn't prove the pairing key"), closeOut("bad proof")}));
    EXPECT_FALSE(h.host->authenticated());
    EXPECT_FALSE(h.host->deviceID());
  }
}

TEST(HostSession, SealedPayloadsFromThePhone) {
  LoggedIn l;
  Bytes two = record(pointer(1.5));
  append(two, record(ping(4)));
  EXPECT_EQ(l.host->receive(l.sealed(two)),
            (Outs{Out{Out::Envelope{pointer(1.5)}}, Out{Out::Envelope{ping(4)}}}));
  EXPECT_TRUE(l.host->receive(l.sealed({})).empty());
  EXPECT_TRUE(l.host->authenticated());
  EXPECT_EQ(l.host->receive(l.sealed(record(ping(5)))), Outs{Out{Out::Envelope{ping(5)}}});
}

TEST(HostSession, BadSealedFramesClose) {
  struct Case {
    const char* name;
    std::function<Wire(LoggedIn&)> make;
  };
  auto payloadOf = [](const Wire& w) { return std::get<Wire::Sealed>(w.value).payload; };
  const Case cases[] = {
      {"replayed",
       [](LoggedIn& l) {
         Wire w = l.sealed(record(ping(1)));
         EXPECT_EQ(l.host->receive(w).size(), 1u);
         return w;
       }},
      {"older counter after a newer one",
       [](LoggedIn& l) {
         Wire first = l.sealed(record(ping(1)));
         EXPECT_EQ(l.host->receive(l.sealed(record(ping(2)))).size(), 1u);
         return first;
       }},
      {"altered ciphertext",
       [payloadOf](LoggedIn& l) {
         Bytes p = payloadOf(l.sealed(record(ping(1))));
         p[10] ^= 1;
         return Wire{Wire::Sealed{p}};
       }},
      {"altered counter",
       [payloadOf](LoggedIn& l) {
         Bytes p = payloadOf(l.sealed(record(ping(1))));
         p[7] = 9;
         return Wire{Wire::Sealed{p}};
       }},
      {"shorter than a counter and tag",
       [](LoggedIn&) { return Wire{Wire::Sealed{Bytes(23, 0)}}; }},
      {"sealed by the host's direction",
       [](LoggedIn& l) {
         Sealer wrong(l.keys, false, false);
         return Wire{Wire::Sealed{wrong.seal(record(ping(1))).value()}};
       }},
      {"sealed on the datagram lane",
       [](LoggedIn& l) {
         Sealer wrong(l.keys, true, true);
         return Wire{Wire::Sealed{wrong.seal(record(ping(1))).value()}};
       }},
      {"not a record", [](LoggedIn& l) { return l.sealed(toBytes("hello")); }},
      {"zero-length record", [](LoggedIn& l) { return l.sealed(Bytes(4, 0)); }},
      {"record then a partial one",
       [](LoggedIn& l) {
         Bytes p = record(ping(1));
         Bytes second = record(ping(2));
         append(p, ByteView(second).first(second.size() - 1));
         return l.sealed(p);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoggedIn l;
    Wire w = c.make(l);
    EXPECT_EQ(l.host->receive(w), Outs{closeOut("bad sealed frame")});
    EXPECT_TRUE(l.host->isClosed());
    EXPECT_TRUE(l.host->receive(l.sealed(record(ping(9)))).empty());
  }
}

TEST(HostSession, SealWorksOnlyWhileLoggedIn) {
  HostSession fresh = fixtures::host();
  EXPECT_EQ(fresh.seal(ping(1)).error(), SecureChannelError::badMessage);
  Hello handshaking(fixtures::host(storeWith(pairedPhone(kPsk)), std::nullopt));
  EXPECT_EQ(handshaking.host->seal(ping(1)).error(), SecureChannelError::badMessage);

  LoggedIn l;
  // An envelope that cannot be encoded fails and uses no counter.
  auto nan = l.host->seal(pointer(std::nan("")));
  ASSERT_FALSE(nan);
  EXPECT_EQ(nan.error(), SecureChannelError::badMessage);
  for (std::uint64_t counter : {1u, 2u}) {
    auto w = l.host->seal(ping(static_cast<std::uint32_t>(counter)));
    ASSERT_TRUE(w);
    const Bytes& payload = std::get<Wire::Sealed>(w->value).payload;
    EXPECT_EQ(loadU64BE(payload.data()), counter);
    EXPECT_EQ(l.phoneOpener->open(payload).value(),
              record(ping(static_cast<std::uint32_t>(counter))));
  }
  l.host->abort();
  EXPECT_EQ(l.host->seal(ping(3)).error(), SecureChannelError::badMessage);
}

TEST(HostSession, DatagramKeysOnlyWhileLoggedIn) {
  HostSession fresh = fixtures::host();
  EXPECT_FALSE(fresh.makeDatagramSealer(1));
  EXPECT_FALSE(fresh.makeDatagramOpener(1));

  LoggedIn l;
  auto sealer = l.host->makeDatagramSealer(3);
  auto opener = l.host->makeDatagramOpener(3);
  ASSERT_TRUE(sealer && opener);
  EXPECT_EQ(sealer->lane(), 1u);
  EXPECT_TRUE(opener->reorderable());
  const Bytes datagram = toBytes("fragment");
  Opener phoneSide(l.keys.stream(3), true, true);
  EXPECT_EQ(phoneSide.open(sealer->seal(datagram).value()).value(), datagram);
  Sealer phoneSealer(l.keys.stream(3), true, true);
  EXPECT_EQ(opener->open(phoneSealer.seal(datagram).value()).value(), datagram);
  // A second sealer for the same stream would repeat the first one's nonces.
  EXPECT_FALSE(l.host->makeDatagramSealer(3));
  EXPECT_TRUE(l.host->makeDatagramSealer(4));
  EXPECT_TRUE(l.host->makeDatagramOpener(3));

  l.host->abort();
  EXPECT_FALSE(l.host->makeDatagramSealer(5));
  EXPECT_FALSE(l.host->makeDatagramOpener(5));
}

TEST(HostSession, AbortEndsAtOnceWithoutOutputs) {
  AtCode at;
  at.host.abort();
  EXPECT_TRUE(at.host.isClosed());
  EXPECT_FALSE(at.host.pairingActive());
  EXPECT_TRUE(at.host.confirmPairing(true).empty());
  EXPECT_TRUE(at.phoneSays(true).empty());

  LoggedIn l;
  l.host->abort();
  EXPECT_EQ(l.host->deviceID(), phoneIdentity().id());
  EXPECT_TRUE(l.host->receive(l.sealed(record(ping(1)))).empty());
}

// --- messages out of place ----------------------------------------------------------------

// A host brought to `phase` by a real phone session.
struct HostAt {
  HostSession host;
  PhoneSession phone{phoneIdentity()};
  Pump pump{host, phone};

  explicit HostAt(Phase phase)
      : host(phase == Phase::handshaking || phase == Phase::authenticated
                 ? fixtures::host(storeWith(pairedPhone(kPsk)))
                 : fixtures::host()) {
    if (phase == Phase::fresh) return;
    if (phase == Phase::closed) {
      host.abort();
      return;
    }
    const bool login = phase == Phase::handshaking || phase == Phase::authenticated;
    pump.fromPhone(login ? phone.connect(kPsk) : phone.startPairing(scanned()));
    pump.run([&] { return host.phase() == phase; });
    EXPECT_EQ(host.phase(), phase);
  }
};

TEST(HostSession, UnexpectedMessagesPerPhase) {
  struct Row {
    Phase phase;
    std::vector<std::string_view> accepted;
    bool counted;
  };
  const Row rows[] = {
      {Phase::fresh, {"pairStart", "clientHello"}, false},
      {Phase::pairCommitted, {"pairReveal"}, true},
      {Phase::pairRevealed, {"pairPhoneProof"}, true},
      {Phase::pairAwaitingPerson, {"pairPhoneConfirmed"}, false},
      {Phase::handshaking, {"clientFinish"}, false},
      {Phase::authenticated, {"sealed"}, false},
  };
  for (const Row& row : rows) {
    for (const Wire& w : everyKind()) {
      if (std::ranges::find(row.accepted, w.kindName()) != row.accepted.end()) continue;
      SCOPED_TRACE(::testing::Message()
                   << "phase " << static_cast<int>(row.phase) << ", " << w.kindName());
      HostAt at(row.phase);
      Outs expected;
      if (row.counted) expected.push_back(kFailedPairing);
      expected.push_back(closeOut("unexpected message"));
      EXPECT_EQ(at.host.receive(w), expected);
      EXPECT_TRUE(at.host.isClosed());
    }
  }
}

TEST(HostSession, ClosedIgnoresEverything) {
  for (const Wire& w : everyKind()) {
    SCOPED_TRACE(w.kindName());
    HostAt aborted(Phase::closed);
    EXPECT_TRUE(aborted.host.receive(w).empty());
    // Closed by a failure rather than by abort().
    HostSession failed = fixtures::host();
    EXPECT_EQ(failed.receive(Wire{Wire::PairCodeShown{}}), Outs{closeOut("unexpected message")});
    EXPECT_TRUE(failed.receive(w).empty());
  }
}

TEST(HostSession, RefusalTextsAreFixed) {
  EXPECT_EQ(HostSession::pairRefusal,
            "This Mac isn't expecting this phone. On the Mac, choose Pair a phone and scan the "
            "new code.");
}

}  // namespace
}  // namespace lumenbrook
