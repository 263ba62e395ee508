#include "core/session/phone_session.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "session_fixtures.h"

namespace lumenbrook {
namespace {

using namespace fixtures;
using Out = PhoneSession::Output;
using Outs = std::vector<Out>;
using Phase = PhoneSession::Phase;

Out sendOut(Wire::Value w) { return Out{Out::Send{Wire{std::move(w)}}}; }
Out failedOut(std::string_view text) { return Out{Out::Failed{std::string(text)}}; }

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

const Bytes kMacKey = raw(macIdentity().publicKey());

// A phone session against a Mac scripted from the pairing primitives: each step brings the
// phone one message further, so a test can take over at any point.
struct MacScript {
  PhoneSession phone{phoneIdentity()};
  MacPairing mac;
  Wire::PairStart start;
  Wire::PairMacReveal macReveal;
  PairingResult result;

  explicit MacScript(std::string_view macSecret = kSecret) : mac(macIdentity(), macSecret) {}

  void started() { start = sentMessage<Wire::PairStart>(phone.startPairing(scanned())); }
  Wire commitMessage() {
    started();
    auto commitM = mac.start(start.deviceID, start.name, start.identityKey, start.commitment);
    EXPECT_TRUE(commitM);
    return Wire{Wire::PairMacCommit{kMacKey, "Studio-Mac", commitM ? commitM.value() : Bytes{}}};
  }
  void committed() {
    auto reveal = sentMessage<Wire::PairReveal>(phone.receive(commitMessage()));
    auto r = mac.reveal(reveal.publicKey, reveal.nonce, "Studio-Mac");
    EXPECT_TRUE(r);
    if (r) macReveal = Wire::PairMacReveal{r->ephM, r->nonceM, r->sigM, r->tagM};
  }
  void revealed() {
    committed();
    auto proof = sentMessage<Wire::PairPhoneProof>(phone.receive(Wire{macReveal}));
    auto r = mac.verify(proof.signature, proof.tag);
    EXPECT_TRUE(r);
    if (r) result = r.value();
  }
  void shown() {
    revealed();
    EXPECT_EQ(phone.receive(Wire{Wire::PairCodeShown{}}),
              Outs{Out{Out::ShowPairingCode{result.code}}});
  }
  void confirmed() {
    shown();
    EXPECT_EQ(phone.confirmOnPhone(true),
              Outs{sendOut(Wire::PairPhoneConfirmed{true, verdictTag(result, "phone", true)})});
  }
  Wire macSays(bool ok) { return Wire{Wire::PairConfirmed{ok, verdictTag(result, "mac", ok)}}; }
};

TEST(PhoneSession, PairingMessagesCarryThePhonesValues) {
  MacScript s;
  EXPECT_EQ(s.phone.phase(), Phase::fresh);
  const DeviceIdentity p = phoneIdentity();
  Outs out = s.phone.startPairing(scanned());
  const auto start = sentMessage<Wire::PairStart>(out);
  EXPECT_EQ(out, Outs{sendOut(Wire::PairStart{p.id(), p.name(), raw(p.publicKey()),
                                              start.commitment, start.tag})});
  EXPECT_EQ(start.commitment.size(), 32u);
  EXPECT_TRUE(MacPairing::validStart(kSecret, start.tag, p.id(), p.name(), raw(p.publicKey()),
                                     start.commitment));
  EXPECT_EQ(s.phone.phase(), Phase::pairStarted);

  MacScript full;
  full.revealed();  // the Mac accepted the phone's reveal and verified its proof
  EXPECT_EQ(full.phone.phase(), Phase::pairRevealed);
  ASSERT_EQ(full.result.code.size(), 6u);
  EXPECT_EQ(full.phone.receive(Wire{Wire::PairCodeShown{}}),
            Outs{Out{Out::ShowPairingCode{full.result.code}}});
  EXPECT_EQ(full.phone.phase(), Phase::pairAwaitingConfirm);
  EXPECT_EQ(full.phone.confirmOnPhone(true),
            Outs{sendOut(Wire::PairPhoneConfirmed{true, verdictTag(full.result, "phone", true)})});
  EXPECT_TRUE(full.phone.confirmOnPhone(true).empty());
  EXPECT_TRUE(full.phone.confirmOnPhone(false).empty());
  EXPECT_EQ(full.phone.receive(full.macSays(true)),
            (Outs{Out{Out::Paired{full.result.psk, kMacKey, "Studio-Mac"}}}));
  EXPECT_EQ(full.phone.phase(), Phase::closed);
}

TEST(PhoneSession, PhoneUserRejecting) {
  MacScript s;
  s.shown();
  EXPECT_EQ(s.phone.confirmOnPhone(false),
            (Outs{sendOut(Wire::PairPhoneConfirmed{false, verdictTag(s.result, "phone", false)}),
                  failedOut("You said the codes didn't match. Nothing was saved.")}));
  EXPECT_EQ(s.phone.phase(), Phase::closed);
  EXPECT_TRUE(s.phone.receive(s.macSays(false)).empty());
  EXPECT_TRUE(s.phone.confirmOnPhone(true).empty());
}

TEST(PhoneSession, ConfirmOnPhoneOutsideTheComparisonDoesNothing) {
  MacScript s;
  EXPECT_TRUE(s.phone.confirmOnPhone(true).empty());
  s.revealed();
  EXPECT_TRUE(s.phone.confirmOnPhone(true).empty());
  EXPECT_EQ(s.phone.phase(), Phase::pairRevealed);
}

TEST(PhoneSession, ScannedSecretMustBe32HexDigits) {
  const std::string cantPair =
      "This link can't pair. Open Pair a phone on the computer and scan again.";
  struct Case {
    const char* name;
    std::string secret;
    bool usable;
  };
  const Case cases[] = {
      {"31 characters", std::string(kSecret.substr(1)), false},
      {"33 characters", std::string(kSecret) + "0", false},
      {"a non-hexadecimal character", "g" + std::string(kSecret.substr(1)), false},
      {"empty", "", false},
      {"upper case", "00112233445566778899AABBCCDDEEFF", true},
      {"lower case", std::string(kSecret), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PhoneSession phone(phoneIdentity());
    Outs out = phone.startPairing(scanned(c.secret));
    if (c.usable) {
      const auto start = sentMessage<Wire::PairStart>(out);
      const DeviceIdentity p = phoneIdentity();
      EXPECT_TRUE(MacPairing::validStart(kSecret, start.tag, p.id(), p.name(), raw(p.publicKey()),
                                         start.commitment));
      EXPECT_EQ(phone.phase(), Phase::pairStarted);
    } else {
      EXPECT_EQ(out, Outs{failedOut(cantPair)});
      EXPECT_EQ(phone.phase(), Phase::closed);
    }
  }
}

TEST(PhoneSession, PairingFailureTexts) {
  const std::string notTheMac = "This isn't the computer from the QR code";
  const std::string macUnproven = "This computer couldn't prove it's the one in the QR code";
  const std::string outOfOrder = "pairing out of order";
  const std::string notFromMac = "pairing answer wasn't from this computer";
  struct Case {
    const char* name;
    std::string macSecret;
    std::function<Outs(MacScript&)> act;
    std::string text;
  };
  auto commitWith = [](std::function<void(Wire::PairMacCommit&)> change) {
    return [change](MacScript& s) {
      Wire w = s.commitMessage();
      change(std::get<Wire::PairMacCommit>(w.value));
      return s.phone.receive(w);
    };
  };
  auto revealWith = [](std::function<void(Wire::PairMacReveal&)> change) {
    return [change](MacScript& s) {
      s.committed();
      change(s.macReveal);
      return s.phone.receive(Wire{s.macReveal});
    };
  };
  const std::string secret(kSecret);
  const Case cases[] = {
      {"Mac key not the one the code names", secret,
       commitWith([](auto& m) { m.identityKey = raw(phoneIdentity().publicKey()); }), notTheMac},
      {"Mac key of 31 bytes", secret, commitWith([](auto& m) { m.identityKey.pop_back(); }),
       notTheMac},
      {"Mac commitment of 31 bytes", secret, commitWith([](auto& m) { m.commitment.pop_back(); }),
       notTheMac},
      {"Mac signature altered", secret, revealWith([](auto& m) { m.signature[3] ^= 1; }),
       macUnproven},
      {"Mac tag altered", secret, revealWith([](auto& m) { m.tag[3] ^= 1; }), macUnproven},
      {"Mac nonce not the committed one", secret, revealWith([](auto& m) { m.nonce[3] ^= 1; }),
       macUnproven},
      {"Mac key not the committed one", secret, revealWith([](auto& m) { m.publicKey[3] ^= 1; }),
       macUnproven},
      {"Mac from another pairing window", std::string(kOtherSecret), revealWith([](auto&) {}),
       macUnproven},
      {"code shown before the Mac revealed", secret,
       [](MacScript& s) {
         s.committed();
         return s.phone.receive(Wire{Wire::PairCodeShown{}});
       },
       outOfOrder},
      {"Mac's yes before the phone user's", secret,
       [](MacScript& s) {
         s.shown();
         return s.phone.receive(s.macSays(true));
       },
       outOfOrder},
      {"Mac verdict tag altered", secret,
       [](MacScript& s) {
         s.confirmed();
         Wire w = s.macSays(true);
         std::get<Wire::PairConfirmed>(w.value).tag[0] ^= 1;
         return s.phone.receive(w);
       },
       notFromMac},
      {"Mac verdict flipped", secret,
       [](MacScript& s) {
         s.confirmed();
         return s.phone.receive(
             Wire{Wire::PairConfirmed{false, verdictTag(s.result, "mac", true)}});
       },
       notFromMac},
      {"phone's own tag reflected", secret,
       [](MacScript& s) {
         s.confirmed();
         return s.phone.receive(
             Wire{Wire::PairConfirmed{true, verdictTag(s.result, "phone", true)}});
       },
       notFromMac},
      {"Mac says no before the phone user answered", secret,
       [](MacScript& s) {
         s.shown();
         return s.phone.receive(s.macSays(false));
       },
       "The computer said the codes didn't match"},
      {"Mac says no after the phone's yes", secret,
       [](MacScript& s) {
         s.confirmed();
         return s.phone.receive(s.macSays(false));
       },
       "The computer said the codes didn't match"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MacScript s(c.macSecret);
    EXPECT_EQ(c.act(s), Outs{failedOut(c.text)});
    EXPECT_EQ(s.phone.phase(), Phase::closed);
  }
}

TEST(PhoneSession, ANewPairingForgetsTheLastAttempt) {
  // The user confirmed, the connection dropped, and the same session scans again.
  MacScript first;
  first.confirmed();
  MacScript again;
  again.phone = std::move(first.phone);
  Wire commit = again.commitMessage();
  ASSERT_EQ(again.phone.phase(), Phase::pairStarted);
  EXPECT_EQ(sentMessage<Wire::PairReveal>(again.phone.receive(commit)).nonce.size(), 32u);
  // The earlier result is gone: a code shown before this attempt's reveal is out of order,
  // not the old code.
  EXPECT_EQ(again.phone.receive(Wire{Wire::PairCodeShown{}}),
            Outs{failedOut("pairing out of order")});

  // Nor does the earlier yes carry over: the new comparison asks the user again.
  MacScript before;
  before.confirmed();
  MacScript next;
  next.phone = std::move(before.phone);
  next.shown();
  EXPECT_EQ(next.phone.confirmOnPhone(true),
            Outs{sendOut(Wire::PairPhoneConfirmed{true, verdictTag(next.result, "phone", true)})});
  EXPECT_EQ(next.phone.receive(next.macSays(true)),
            (Outs{Out{Out::Paired{next.result.psk, kMacKey, "Studio-Mac"}}}));
}

// --- login ------------------------------------------------------------------------------

const Bytes kPsk(32, 0x5a);

// A phone that sent its clientHello; the test plays the host with the handshake functions.
struct HelloSent {
  PhoneSession phone{phoneIdentity()};
  Wire::ClientHello hello = sentMessage<Wire::ClientHello>(phone.connect(kPsk));
  Bytes nonceH = Handshake::nonce();
  Handshake::HostReply reply =
      Handshake::hostReply(kPsk, phoneIdentity().id(), hello.nonce, nonceH);
};

struct Connected : HelloSent {
  std::optional<Sealer> hostSealer;
  Connected() {
    auto out = phone.receive(Wire{Wire::ServerHello{nonceH, reply.macH}});
    const Bytes macP =
        out.empty() ? Bytes{} : sentMessage<Wire::ClientFinish>(Outs{out.front()}).mac;
    EXPECT_EQ(out, (Outs{sendOut(Wire::ClientFinish{macP}), Out{Out::Connected{}}}));
    EXPECT_TRUE(Handshake::hostVerify(reply.keys, macP));
    hostSealer.emplace(reply.keys, false, false);
  }
  Wire sealed(ByteView plaintext) {
    return Wire{Wire::Sealed{hostSealer->seal(plaintext).value()}};
  }
};

TEST(PhoneSession, LoginSendsTheHandleAndFinishesWithTheHostsProof) {
  HelloSent h;
  ASSERT_EQ(h.hello.nonce.size(), 32u);
  EXPECT_EQ(h.hello.handle, Handshake::handle(kPsk, phoneIdentity().id(), h.hello.nonce));
  EXPECT_EQ(h.phone.phase(), Phase::helloSent);
  EXPECT_FALSE(h.phone.connected());

  Connected c;
  EXPECT_TRUE(c.phone.connected());
  EXPECT_EQ(c.phone.phase(), Phase::connected);
}

TEST(PhoneSession, LoginFailureTexts) {
  const std::string unproven = "This computer couldn't prove it's the one you paired with";
  struct Case {
    const char* name;
    std::function<Wire::ServerHello(const HelloSent&)> hello;
    std::string text;
  };
  const Case cases[] = {
      {"16-byte host nonce",
       [](const HelloSent& h) {
         return Wire::ServerHello{Bytes(16, 1), h.reply.macH};
       },
       "handshake out of order"},
      {"33-byte host nonce",
       [](const HelloSent& h) {
         Bytes n = h.nonceH;
         n.push_back(0);
         return Wire::ServerHello{n, h.reply.macH};
       },
       "handshake out of order"},
      {"proof under another key",
       [](const HelloSent& h) {
         return Wire::ServerHello{h.nonceH, Handshake::hostReply(Bytes(32, 1), phoneIdentity().id(),
                                                                 h.hello.nonce, h.nonceH)
                                                .macH};
       },
       unproven},
      {"proof for another nonce",
       [](const HelloSent& h) {
         return Wire::ServerHello{Bytes(32, 3), h.reply.macH};
       },
       unproven},
      {"proof altered",
       [](const HelloSent& h) {
         Bytes mac = h.reply.macH;
         mac[0] ^= 1;
         return Wire::ServerHello{h.nonceH, mac};
       },
       unproven},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HelloSent h;
    EXPECT_EQ(h.phone.receive(Wire{c.hello(h)}), Outs{failedOut(c.text)});
    EXPECT_EQ(h.phone.phase(), Phase::closed);
    EXPECT_EQ(h.phone.seal(ping(1)).error(), SecureChannelError::badMessage);
  }
}

TEST(PhoneSession, SealedPayloadsFromTheMac) {
  Connected c;
  Bytes two = record(ping(1));
  append(two, record(ping(2)));
  EXPECT_EQ(c.phone.receive(c.sealed(two)),
            (Outs{Out{Out::Envelope{ping(1)}}, Out{Out::Envelope{ping(2)}}}));
  EXPECT_TRUE(c.phone.receive(c.sealed({})).empty());
  EXPECT_TRUE(c.phone.connected());

  struct Case {
    const char* name;
    std::function<Wire(Connected&)> make;
  };
  const Case cases[] = {
      {"replayed",
       [](Connected& k) {
         Wire w = k.sealed(record(ping(1)));
         EXPECT_EQ(k.phone.receive(w).size(), 1u);
         return w;
       }},
      {"altered",
       [](Connected& k) {
         Wire w = k.sealed(record(ping(1)));
         std::get<Wire::Sealed>(w.value).payload.back() ^= 1;
         return w;
       }},
      {"sealed by the phone's direction",
       [](Connected& k) {
         Sealer wrong(k.reply.keys, true, false);
         return Wire{Wire::Sealed{wrong.seal(record(ping(1))).value()}};
       }},
      {"not a record", [](Connected& k) { return k.sealed(toBytes("{}")); }},
      {"record then a partial one",
       [](Connected& k) {
         Bytes p = record(ping(1));
         p.push_back(0);
         return k.sealed(p);
       }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Connected fresh;
    Wire w = k.make(fresh);
    EXPECT_EQ(fresh.phone.receive(w), Outs{failedOut("bad sealed frame")});
    EXPECT_EQ(fresh.phone.phase(), Phase::closed);
  }
}

TEST(PhoneSession, SealWorksOnlyWhileConnected) {
  PhoneSession fresh(phoneIdentity());
  EXPECT_EQ(fresh.seal(ping(1)).error(), SecureChannelError::badMessage);
  HelloSent hello;
  EXPECT_EQ(hello.phone.seal(ping(1)).error(), SecureChannelError::badMessage);

  Connected c;
  EXPECT_EQ(c.phone.seal(pointer(std::nan(""))).error(), SecureChannelError::badMessage);
  auto w = c.phone.seal(pointer(2));
  ASSERT_TRUE(w);
  const Bytes& payload = std::get<Wire::Sealed>(w->value).payload;
  // The first control payload carries counter 1 under phoneToHost on lane 0.
  EXPECT_EQ(loadU64BE(payload.data()), 1u);
  Opener host(c.reply.keys, false, false);
  EXPECT_EQ(host.open(payload).value(), record(pointer(2)));

  // A new login drops the old keys.
  c.phone.connect(kPsk);
  EXPECT_EQ(c.phone.seal(ping(1)).error(), SecureChannelError::badMessage);
  EXPECT_FALSE(c.phone.makeDatagramSealer(1));
}

TEST(PhoneSession, DatagramKeysOnlyWhileConnected) {
  HelloSent hello;
  EXPECT_FALSE(hello.phone.makeDatagramSealer(2));
  EXPECT_FALSE(hello.phone.makeDatagramOpener(2));

  Connected c;
  auto sealer = c.phone.makeDatagramSealer(2);
  auto opener = c.phone.makeDatagramOpener(2);
  ASSERT_TRUE(sealer && opener);
  const Bytes datagram = toBytes("hello datagram");
  Opener host(c.reply.keys.stream(2), false, true);
  EXPECT_EQ(host.open(sealer->seal(datagram).value()).value(), datagram);
  Sealer hostSealer(c.reply.keys.stream(2), false, true);
  EXPECT_EQ(opener->open(hostSealer.seal(datagram).value()).value(), datagram);
  EXPECT_FALSE(c.phone.makeDatagramSealer(2));
}

// --- refusals and messages out of place -----------------------------------------------------

TEST(PhoneSession, KnownRefusalsAreExactlyTheHostsTexts) {
  const std::set<std::string_view> expected = {
      "This Mac isn't expecting this phone. On the Mac, choose Pair a phone and scan the new "
      "code.",
      "This Mac didn't accept this phone. On the Mac, check Lumenbrook is on and this phone is "
      "in its list.",
      "Lumenbrook is switched off on this Mac",
      "This phone is already paired. Remove it on the Mac first.",
      "This phone is already paired",
      "Pairing check failed",
      "This phone couldn't prove it scanned this Mac's code",
      "Couldn't prove the pairing key",
  };
  const std::set<std::string_view> known(PhoneSession::knownRefusals.begin(),
                                         PhoneSession::knownRefusals.end());
  EXPECT_EQ(known, expected);
  EXPECT_EQ(PhoneSession::knownRefusals.size(), expected.size());
  EXPECT_EQ(PhoneSession::refusedText,
            "The computer didn't accept this phone. Check Lumenbrook is on there, or pair again.");
}

// A phone brought to `phase` against a real host session.
struct PhoneAt {
  HostSession host;
  PhoneSession phone{phoneIdentity()};
  Pump pump{host, phone};

  // The host knows the phone for a login; for a pairing it must not.
  explicit PhoneAt(Phase phase)
      : host(phase == Phase::helloSent || phase == Phase::connected
                 ? fixtures::host(storeWith(pairedPhone(kPsk)))
                 : fixtures::host()) {
    switch (phase) {
      case Phase::fresh:
        return;
      case Phase::closed:
        phone.receive(Wire{Wire::PairCodeShown{}});
        break;
      case Phase::helloSent:
      case Phase::connected:
        pump.fromPhone(phone.connect(kPsk));
        break;
      default:
        pump.fromPhone(phone.startPairing(scanned()));
    }
    pump.run([&] { return phone.phase() == phase; });
    EXPECT_EQ(phone.phase(), phase);
  }
};

TEST(PhoneSession, RefusedEndsTheSessionExceptWhenConnected) {
  const std::string known(TrustStore::pairRefusals[0]);
  for (Phase phase : {Phase::fresh, Phase::pairStarted, Phase::pairRevealed,
                      Phase::pairAwaitingConfirm, Phase::helloSent, Phase::closed}) {
    SCOPED_TRACE(static_cast<int>(phase));
    PhoneAt known1(phase);
    EXPECT_EQ(known1.phone.receive(Wire{Wire::Refused{known}}), Outs{failedOut(known)});
    EXPECT_EQ(known1.phone.phase(), Phase::closed);
    PhoneAt unknown(phase);
    EXPECT_EQ(unknown.phone.receive(Wire{Wire::Refused{"Go away"}}),
              Outs{failedOut(PhoneSession::refusedText)});
    // Recognition is exact: a trailing space makes a text unknown.
    PhoneAt altered(phase);
    EXPECT_EQ(altered.phone.receive(Wire{Wire::Refused{known + " "}}),
              Outs{failedOut(PhoneSession::refusedText)});
  }
  PhoneAt connected(Phase::connected);
  EXPECT_TRUE(connected.phone.receive(Wire{Wire::Refused{known}}).empty());
  EXPECT_TRUE(connected.phone.connected());
}

TEST(PhoneSession, UnexpectedMessagesPerPhase) {
  struct Row {
    Phase phase;
    std::vector<std::string_view> accepted;
  };
  const Row rows[] = {
      {Phase::fresh, {}},
      {Phase::pairStarted, {"pairMacCommit"}},
      {Phase::pairRevealed, {"pairMacReveal", "pairCodeShown"}},
      {Phase::pairAwaitingConfirm, {"pairConfirmed"}},
      {Phase::helloSent, {"serverHello"}},
      {Phase::connected, {"sealed"}},
  };
  for (const Row& row : rows) {
    for (const Wire& w : everyKind()) {
      if (w.kindName() == "refused") continue;
      if (std::ranges::find(row.accepted, w.kindName()) != row.accepted.end()) continue;
      SCOPED_TRACE(::testing::Message()
                   << "phase " << static_cast<int>(row.phase) << ", " << w.kindName());
      PhoneAt at(row.phase);
      EXPECT_EQ(at.phone.receive(w), Outs{failedOut("unexpected message")});
      EXPECT_EQ(at.phone.phase(), Phase::closed);
    }
  }
}

TEST(PhoneSession, ClosedIgnoresAllButRefused) {
  for (const Wire& w : everyKind()) {
    if (w.kindName() == "refused") continue;
    SCOPED_TRACE(w.kindName());
    PhoneAt at(Phase::closed);
    EXPECT_TRUE(at.phone.receive(w).empty());
    EXPECT_EQ(at.phone.phase(), Phase::closed);
  }
}

}  // namespace
}  // namespace lumenbrook
