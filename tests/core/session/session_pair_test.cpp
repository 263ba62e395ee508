// A phone session against a host session in memory: pairing, refusals, login and sealed
// traffic in both directions.

#include <gtest/gtest.h>

#include "session_fixtures.h"

namespace lumenbrook {
namespace {

using namespace fixtures;
using HostOut = HostSession::Output;
using PhoneOut = PhoneSession::Output;
using Strings = std::vector<std::string>;

const std::string kPhoneName = "Zo\xC3\xAB's phone";

// Runs a pairing up to the point where both users look at the code.
struct Pairing {
  HostSession host;
  PhoneSession phone;
  Pump pump{host, phone};

  explicit Pairing(HostSession h, DeviceIdentity p = phoneIdentity(), QRPayload qr = scanned())
      : host(std::move(h)), phone(std::move(p)) {
    pump.fromPhone(phone.startPairing(qr));
    pump.run();
  }
  void mac(bool ok) {
    pump.fromHost(host.confirmPairing(ok));
    pump.run();
  }
  void phoneUser(bool ok) {
    pump.fromPhone(phone.confirmOnPhone(ok));
    pump.run();
  }
  std::string hostCode() const {
    for (const auto& o : pump.hostLog) {
      if (auto* s = std::get_if<HostOut::ShowPairingCode>(&o.value)) return s->code;
    }
    return {};
  }
  std::string phoneCode() const {
    for (const auto& o : pump.phoneLog) {
      if (auto* s = std::get_if<PhoneOut::ShowPairingCode>(&o.value)) return s->code;
    }
    return {};
  }
};

const Strings kHostUpToCode = {"send pairMacCommit", "send pairMacReveal", "show code to Mac",
                               "send pairCodeShown"};
const Strings kPhoneUpToCode = {"send pairStart", "send pairReveal", "send pairPhoneProof",
                                "show code to phone"};

Strings concat(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SessionPairing, BothUsersConfirmInEitherOrder) {
  for (bool macFirst : {true, false}) {
    SCOPED_TRACE(macFirst ? "Mac answers first" : "phone answers first");
    Pairing p(host());
    ASSERT_EQ(describeAll(p.pump.hostLog), kHostUpToCode);
    ASSERT_EQ(describeAll(p.pump.phoneLog), kPhoneUpToCode);
    EXPECT_TRUE(p.host.awaitingPerson());
    EXPECT_TRUE(p.host.pairingActive());
    EXPECT_EQ(p.phone.phase(), PhoneSession::Phase::pairAwaitingConfirm);
    ASSERT_EQ(p.hostCode().size(), 6u);
    EXPECT_EQ(p.hostCode(), p.phoneCode());
    const auto showOnMac = std::get<HostOut::ShowPairingCode>(p.pump.hostLog[2].value);
    EXPECT_EQ(showOnMac.phoneName, kPhoneName);

    if (macFirst) {
      EXPECT_TRUE(p.host.confirmPairing(true).empty());
      p.phoneUser(true);
    } else {
      p.phoneUser(true);
      EXPECT_TRUE(p.host.awaitingPerson());
      p.mac(true);
    }
    EXPECT_EQ(describeAll(p.pump.hostLog),
              concat(kHostUpToCode, {"paired " + kPhoneName, "send pairConfirmed ok",
                                     "close: paired; phone reconnects with the new key"}));
    EXPECT_EQ(describeAll(p.pump.phoneLog),
              concat(kPhoneUpToCode, {"send pairPhoneConfirmed ok", "paired with Studio-Mac"}));

    const PairedDevice device = std::get<HostOut::Paired>(p.pump.hostLog[4].value).device;
    const DeviceIdentity phone = phoneIdentity();
    EXPECT_EQ(device, (PairedDevice{phone.id(), kPhoneName, raw(phone.publicKey()), device.psk,
                                    kNow, std::nullopt}));
    EXPECT_EQ(device.psk.size(), 32u);
    EXPECT_EQ(
        p.pump.phoneLog.back(),
        (PhoneOut{PhoneOut::Paired{device.psk, raw(macIdentity().publicKey()), "Studio-Mac"}}));
    EXPECT_EQ(p.host.ownTrust(), storeWith(device));
    EXPECT_TRUE(p.host.isClosed());
    EXPECT_EQ(p.phone.phase(), PhoneSession::Phase::closed);
  }
}

TEST(SessionPairing, EitherUserRejecting) {
  struct Case {
    const char* name;
    bool macFirst;
    bool macOk, phoneOk;
    Strings phoneTail;
  };
  const Strings macNo = {"failed: The computer said the codes didn't match"};
  const Strings phoneNo = {"send pairPhoneConfirmed not ok",
                           "failed: You said the codes didn't match. Nothing was saved."};
  const Case cases[] = {
      {"Mac says no first", true, false, true, macNo},
      {"Mac says no after the phone's yes",
       false,
       false,
       true,
       {"send pairPhoneConfirmed ok", macNo[0]}},
      {"phone says no first", false, true, false, phoneNo},
      {"phone says no after the Mac's yes", true, true, false, phoneNo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pairing p(host());
    if (c.macFirst) {
      p.mac(c.macOk);
      p.phoneUser(c.phoneOk);
    } else {
      p.phoneUser(c.phoneOk);
      p.mac(c.macOk);
    }
    EXPECT_EQ(describeAll(p.pump.hostLog),
              concat(kHostUpToCode,
                     {"send pairConfirmed not ok", "pairingFailed", "close: codes didn't match"}));
    EXPECT_EQ(describeAll(p.pump.phoneLog), concat(kPhoneUpToCode, c.phoneTail));
    EXPECT_TRUE(p.host.ownTrust().devices().empty());
    EXPECT_TRUE(p.host.isClosed());
    EXPECT_EQ(p.phone.phase(), PhoneSession::Phase::closed);
  }
}

TEST(SessionPairing, RefusedBeforeAnyKeyIsExchanged) {
  DeviceIdentity phone = phoneIdentity();
  TrustStore switchedOff;
  switchedOff.setKillSwitch(true);
  PairedDevice sameKeyOtherId = pairedPhone(Bytes(32, 9));
  sameKeyOtherId.id = macIdentity().id();
  struct Case {
    const char* name;
    HostSession host;
    std::string reason;
    std::string text;  // sent in `refused`, and what the phone shows
  };
  Case cases[] = {
      {"pairing window closed", fixtures::host({}, std::nullopt), "pairing closed",
       std::string(HostSession::pairRefusal)},
      {"stale secret from an earlier window", fixtures::host({}, std::string(kOtherSecret)),
       "start tag invalid", std::string(HostSession::pairRefusal)},
      {"switched off", fixtures::host(switchedOff), "Lumenbrook is switched off on this Mac",
       "Lumenbrook is switched off on this Mac"},
      {"phone already paired", fixtures::host(storeWith(pairedPhone(Bytes(32, 9)))),
       "This phone is already paired. Remove it on the Mac first.",
       "This phone is already paired. Remove it on the Mac first."},
      {"its key already paired under another id", fixtures::host(storeWith(sameKeyOtherId)),
       "This phone is already paired. Remove it on the Mac first.",
       "This phone is already paired. Remove it on the Mac first."},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pairing p(std::move(c.host));
    EXPECT_EQ(p.pump.hostLog, (std::vector<HostOut>{
                                  HostOut{HostOut::Send{Wire{Wire::Refused{c.text}}}},
                                  HostOut{HostOut::Close{c.reason}},
                              }));
    EXPECT_EQ(describeAll(p.pump.phoneLog), (Strings{"send pairStart", "failed: " + c.text}));
  }
}

TEST(SessionPairing, PhonePresentingTheMacsOwnKeyCountsAsFailed) {
  Pairing p(host(), impostorIdentity());
  EXPECT_EQ(p.pump.hostLog, (std::vector<HostOut>{HostOut{HostOut::PairingFailed{}},
                                                  HostOut{HostOut::Close{"bad pairStart"}}}));
  EXPECT_EQ(describeAll(p.pump.phoneLog), Strings{"send pairStart"});
}

TEST(SessionPairing, StoreThatGainedThePhoneMeanwhileRefusesAtTheEnd) {
  // Another connection paired the same phone while this one waited for the users.
  TrustStore live;
  HostSession h = HostSession::withLiveTrust(
      macIdentity(), [&live] { return live; }, [] { return std::string(kSecret); }, fixedNow);
  Pairing p(std::move(h));
  live = storeWith(pairedPhone(Bytes(32, 5)));
  p.mac(true);
  p.phoneUser(true);
  EXPECT_EQ(describeAll(p.pump.hostLog),
            concat(kHostUpToCode,
                   {"send refused: This phone is already paired", "close: already paired"}));
  EXPECT_EQ(describeAll(p.pump.phoneLog),
            concat(kPhoneUpToCode,
                   {"send pairPhoneConfirmed ok", "failed: This phone is already paired"}));
}

TEST(SessionPairing, LiveStoreIsOnlyReportedToTheOwner) {
  TrustStore live;
  HostSession h = HostSession::withLiveTrust(
      macIdentity(), [&live] { return live; }, [] { return std::string(kSecret); }, fixedNow);
  Pairing p(std::move(h));
  p.mac(true);
  p.phoneUser(true);
  ASSERT_EQ(p.pump.hostLog.size(), 7u);
  EXPECT_TRUE(std::holds_alternative<HostOut::Paired>(p.pump.hostLog[4].value));
  EXPECT_TRUE(p.host.ownTrust().devices().empty());
  EXPECT_TRUE(live.devices().empty());
  EXPECT_EQ(describe(p.pump.phoneLog.back()), "paired with Studio-Mac");
}

// --- login and sealed traffic ---------------------------------------------------------

// A paired phone logged in on a fresh connection.
struct Login {
  Bytes psk = Bytes(32, 0x5a);
  HostSession host = fixtures::host(storeWith(pairedPhone(psk)), std::nullopt);
  PhoneSession phone{phoneIdentity()};
  Pump pump{host, phone};

  Login() {
    pump.fromPhone(phone.connect(psk));
    pump.run();
  }
};

TEST(SessionLogin, PairedThenLoggedInWithTheStoredKey) {
  Pairing p(host());
  p.mac(true);
  p.phoneUser(true);
  const auto paired = std::get<PhoneOut::Paired>(p.pump.phoneLog.back().value);

  HostSession host = fixtures::host(p.host.ownTrust(), std::nullopt);
  PhoneSession phone(phoneIdentity());
  Pump pump{host, phone};
  pump.fromPhone(phone.connect(paired.psk));
  pump.run();
  EXPECT_EQ(describeAll(pump.hostLog),
            (Strings{"send serverHello", "connected " + phoneIdentity().id().text()}));
  EXPECT_EQ(describeAll(pump.phoneLog),
            (Strings{"send clientHello", "send clientFinish", "connected"}));
  EXPECT_TRUE(host.authenticated());
  EXPECT_TRUE(phone.connected());
  EXPECT_EQ(host.deviceID(), phoneIdentity().id());
  EXPECT_FALSE(host.pairingActive());
}

TEST(SessionLogin, EnvelopesTravelSealedBothWays) {
  Login l;
  ASSERT_TRUE(l.host.authenticated());
  ASSERT_TRUE(l.phone.connected());

  for (std::uint32_t i = 1; i <= 3; ++i) {
    auto toHost = l.phone.seal(pointer(i));
    ASSERT_TRUE(toHost);
    EXPECT_EQ(l.host.receive(*toHost),
              (std::vector<HostOut>{HostOut{HostOut::Envelope{pointer(i)}}}));
    auto toPhone = l.host.seal(ping(i));
    ASSERT_TRUE(toPhone);
    EXPECT_EQ(l.phone.receive(*toPhone),
              (std::vector<PhoneOut>{PhoneOut{PhoneOut::Envelope{ping(i)}}}));
  }
  // A session's own sealed frame does not open as the other direction's.
  auto own = l.host.seal(ping(9));
  ASSERT_TRUE(own);
  EXPECT_EQ(l.host.receive(*own),
            (std::vector<HostOut>{HostOut{HostOut::Close{"bad sealed frame"}}}));
}

TEST(SessionLogin, DatagramSealersAndOpenersPairUpPerStream) {
  Login l;
  auto hostSealer = l.host.makeDatagramSealer(7);
  auto hostOpener = l.host.makeDatagramOpener(7);
  auto phoneSealer = l.phone.makeDatagramSealer(7);
  auto phoneOpener = l.phone.makeDatagramOpener(7);
  auto phoneOpener8 = l.phone.makeDatagramOpener(8);
  auto hostOpener8 = l.host.makeDatagramOpener(8);
  ASSERT_TRUE(hostSealer && hostOpener && phoneSealer && phoneOpener && phoneOpener8 &&
              hostOpener8);

  const Bytes fragment = toBytes("fragment of frame 1");
  auto down = hostSealer->seal(fragment);
  auto up = phoneSealer->seal(fragment);
  ASSERT_TRUE(down && up);
  EXPECT_EQ(phoneOpener8->open(*down).error(), SecureChannelError::badMessage);
  EXPECT_EQ(hostOpener8->open(*up).error(), SecureChannelError::badMessage);
  EXPECT_EQ(phoneOpener->open(*down).value(), fragment);
  EXPECT_EQ(hostOpener->open(*up).value(), fragment);
  // Each side's sealer seals one direction only.
  auto down2 = hostSealer->seal(fragment);
  ASSERT_TRUE(down2);
  EXPECT_EQ(hostOpener->open(*down2).error(), SecureChannelError::badMessage);

  // The control stream's keys are not a datagram stream's.
  auto control = l.host.seal(ping(1));
  ASSERT_TRUE(control);
  auto fresh = l.phone.makeDatagramOpener(9);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->open(std::get<Wire::Sealed>(control->value).payload).error(),
            SecureChannelError::badMessage);
}

}  // namespace
}  // namespace lumenbrook
