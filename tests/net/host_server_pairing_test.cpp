// Pairing through the host server with the phone client engine: the window, the code
// comparison, lock-out, time-outs, and the trust decisions that close connections.

#include "net/host_server.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/session/host_session.h"
#include "tests/net/host_server_fixture.h"

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;
using testing::connectFrom;
using testing::kTestNow;
using testing::PeerSocket;
using testing::PhoneHarness;
using testing::ServerHarness;
using testing::ServerOptions;

const std::string kPairRefusal(HostSession::pairRefusal);
const std::string kLocked = "pairing locked after 3 failed attempts; reopen Pair a phone";

// Brings `phone` to the code comparison on the server's open window; returns the code.
std::string comparisonCode(ServerHarness& s, PhoneHarness& phone, const std::string& code) {
  return testing::toComparison(s, phone, code).value_or("");
}

TEST(HostServerPairing, PairsThenLogsInAndExchangesSealedTraffic) {
  ServerHarness s;
  const std::uint16_t port = s.start();
  PhoneHarness phone("Zo\xC3\xAB's phone");

  const std::string code = s.openPairing(120);
  auto qr = QRPayload::parse(code, {});
  ASSERT_TRUE(qr);
  EXPECT_EQ(qr->hostName, "127.0.0.1");
  EXPECT_EQ(qr->port, port);
  EXPECT_EQ(qr->hostFingerprint, s.identity.fingerprint());
  EXPECT_EQ(qr->secret.size(), 32u);

  ASSERT_TRUE(phone.pair(code));
  auto macCode = s.lastCode.waitNth(1);
  auto phoneCode = phone.codes.waitNth(1);
  ASSERT_TRUE(macCode && phoneCode);
  EXPECT_EQ(*macCode, *phoneCode);
  EXPECT_EQ(s.codes.items(), std::vector<std::string>{*macCode + " Zo\xC3\xAB's phone"});

  s.server->confirm(*macCode, true);
  phone.confirm(true);
  auto pairing = phone.paired.waitNth(1);
  ASSERT_TRUE(pairing);
  EXPECT_EQ(pairing->hostName, "Test-Mac");
  EXPECT_EQ(pairing->mac, (Endpoint{"127.0.0.1", port}));
  EXPECT_EQ(pairing->hostFingerprint, s.identity.fingerprint());

  ASSERT_TRUE(s.paired.waitNth(1));
  const PairedDevice device = s.paired.items()[0];
  EXPECT_EQ(device.id, phone.identity.id());
  EXPECT_EQ(device.name, "Zo\xC3\xAB's phone");
  EXPECT_EQ(device.psk, pairing->psk);
  EXPECT_EQ(device.pairedAt, kTestNow);
  TrustStore expected;
  ASSERT_TRUE(expected.add(device));
  ASSERT_TRUE(s.trust.waitNth(1));
  EXPECT_EQ(s.trust.items(), std::vector<TrustStore>{expected});
  EXPECT_TRUE(s.log.waitFor("close: paired; phone reconnects with the new key"));

  // The completed pairing closed the window: the same code no longer starts a pairing.
  PhoneHarness late;
  ASSERT_TRUE(late.pair(code));
  EXPECT_TRUE(late.failed.waitFor(kPairRefusal));

  ASSERT_TRUE(testing::loginPhone(phone, port, *pairing));
  ASSERT_TRUE(s.connected.waitNth(1));
  EXPECT_EQ(s.connected.items()[0], phone.identity.id());
  auto welcome = phone.envelopes.waitNth(1);
  ASSERT_TRUE(welcome);
  EXPECT_EQ(*welcome,
            (Envelope{ControlMessage{ControlMessage::Welcome{"Test-Mac", 1920, 1080, 60}}}));

  const InputEvent move{InputEvent::PointerMove{3.5, -2}};
  const InputEvent key{InputEvent::Key{36, true, 0, "a"}};
  ASSERT_TRUE(phone.send(Envelope{move}));
  ASSERT_TRUE(phone.send(Envelope{key}));
  ASSERT_TRUE(s.input.waitNth(2));
  EXPECT_EQ(s.input.items(), (std::vector<InputEvent>{move, key}));

  phone.close();
  EXPECT_TRUE(s.disconnected.waitFor(phone.identity.id()));
}

TEST(HostServerPairing, TheWelcomeCarriesTheConfiguredNameAndStream) {
  ServerOptions options;
  options.config = HostServer::Config("Atelier", "127.0.0.1");
  options.config.width = 1280;
  options.config.height = 720;
  options.config.fps = 30;
  ServerHarness s(options);
  const std::uint16_t port = s.start();
  PhoneHarness phone;
  auto pairing = testing::pairPhone(s, phone);
  ASSERT_TRUE(pairing);
  ASSERT_TRUE(testing::loginPhone(phone, port, *pairing));
  auto welcome = phone.envelopes.waitNth(1);
  ASSERT_TRUE(welcome);
  EXPECT_EQ(*welcome, (Envelope{ControlMessage{ControlMessage::Welcome{"Atelier", 1280, 720, 30}}}));
}

TEST(HostServerPairing, ASecondConcurrentPairingIsRefused) {
  ServerHarness s;
  s.start();
  const std::string code = s.openPairing();
  PhoneHarness first("First");
  const std::string firstCode = comparisonCode(s, first, code);
  ASSERT_FALSE(firstCode.empty());

  PhoneHarness second("Second");
  ASSERT_TRUE(second.pair(code));
  EXPECT_TRUE(s.log.waitFor("refused: another pairing is in progress"));
  EXPECT_TRUE(second.closed.waitNth(1));
  EXPECT_EQ(s.lastCode.size(), 1u);  // the second phone never reached a code

  s.server->confirm(firstCode, true);
  first.confirm(true);
  EXPECT_TRUE(first.paired.waitNth(1));
  ASSERT_TRUE(s.paired.waitNth(1));
  EXPECT_EQ(s.paired.items()[0].id, first.identity.id());
}

TEST(HostServerPairing, TheThirdFailureLocksTheWindowUntilItIsReopened) {
  ServerHarness s;
  s.start();
  std::string code = s.openPairing();
  // Failures by either user count alike.
  const bool macRejects[] = {false, true, false};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    PhoneHarness phone;
    const std::string shown = comparisonCode(s, phone, code);
    ASSERT_FALSE(shown.empty());
    const std::size_t ended = s.disconnected.size();
    if (macRejects[i]) {
      s.server->confirm(shown, false);
      EXPECT_TRUE(phone.failed.waitFor("The computer said the codes didn't match"));
      s.server->confirm(shown, false);  // the code was cleared: nothing happens
    } else {
      phone.confirm(false);
    }
    ASSERT_TRUE(s.disconnected.waitNth(ended + 1));
    EXPECT_EQ(s.locked.size(), i == 2 ? 1u : 0u);
    EXPECT_EQ(s.log.count(kLocked), i == 2 ? 1u : 0u);
  }
  EXPECT_TRUE(s.paired.items().empty());

  PhoneHarness afterLock;
  ASSERT_TRUE(afterLock.pair(code));
  EXPECT_TRUE(afterLock.failed.waitFor(kPairRefusal));

  // Reopening starts the count again: two failures do not lock, and a pairing completes.
  code = s.openPairing();
  for (int i = 0; i < 2; ++i) {
    PhoneHarness phone;
    ASSERT_FALSE(comparisonCode(s, phone, code).empty());
    const std::size_t ended = s.disconnected.size();
    phone.confirm(false);
    ASSERT_TRUE(s.disconnected.waitNth(ended + 1));
  }
  EXPECT_EQ(s.locked.size(), 1u);
  PhoneHarness good;
  ASSERT_TRUE(testing::pairPhone(s, good));
  EXPECT_EQ(s.locked.size(), 1u);
}

TEST(HostServerPairing, ReopeningReplacesTheSecret) {
  ServerHarness s;
  s.start();
  const std::string firstCode = s.openPairing();
  const std::string secondCode = s.openPairing();
  EXPECT_NE(QRPayload::parse(firstCode, {})->secret, QRPayload::parse(secondCode, {})->secret);
  PhoneHarness stale;
  ASSERT_TRUE(stale.pair(firstCode));
  EXPECT_TRUE(stale.failed.waitFor(kPairRefusal));
  PhoneHarness fresh;
  EXPECT_FALSE(comparisonCode(s, fresh, secondCode).empty());
}

TEST(HostServerPairing, AnExpiredWindowClosesWaitingPhonesAndRefusesNewOnes) {
  ServerHarness s;
  s.start();
  const std::string code = s.openPairing();
  PhoneHarness waiting;
  ASSERT_FALSE(comparisonCode(s, waiting, code).empty());

  // Reopening restarts the deadline; the waiting phone keeps the secret it started with.
  const std::string shortCode = s.openPairing(0.05);
  EXPECT_TRUE(s.log.waitFor("pairing window expired"));
  EXPECT_TRUE(waiting.closed.waitNth(1));
  EXPECT_TRUE(s.log.waitFor("link closed: closed"));

  PhoneHarness late;
  ASSERT_TRUE(late.pair(shortCode));
  EXPECT_TRUE(late.failed.waitFor(kPairRefusal));
}

TEST(HostServerPairing, ClosePairingClosesPairingConnectionsButNotLoggedInOnes) {
  ServerHarness s;
  const std::uint16_t port = s.start();
  PhoneHarness member;
  auto pairing = testing::pairPhone(s, member);
  ASSERT_TRUE(pairing);
  ASSERT_TRUE(testing::loginPhone(member, port, *pairing));

  PhoneHarness waiting;
  ASSERT_FALSE(comparisonCode(s, waiting, s.openPairing()).empty());
  s.server->closePairing();
  EXPECT_TRUE(waiting.closed.waitNth(1));
  ASSERT_TRUE(member.send(Envelope{InputEvent{InputEvent::Zoom{1.5}}}));
  EXPECT_TRUE(s.input.waitNth(1));
}

TEST(HostServerPairing, AConnectionThatDoesNotLogInInTimeIsClosed) {
  ServerOptions options;
  options.timing.loginCheck = 500ms;
  ServerHarness s(options);
  const std::uint16_t port = s.start();
  PhoneHarness phone;
  auto pairing = testing::pairPhone(s, phone);
  ASSERT_TRUE(pairing);
  ASSERT_TRUE(testing::loginPhone(phone, port, *pairing));

  PeerSocket silent = connectFrom(2, port);
  EXPECT_TRUE(silent.readsEndOfStream());
  EXPECT_TRUE(s.log.waitFor("closing: no login within 10 s"));
  EXPECT_EQ(s.log.count("closing: no login within 10 s"), 1u);
  // The logged-in phone, admitted earlier, passed its check.
  ASSERT_TRUE(phone.send(Envelope{InputEvent{InputEvent::Zoom{2}}}));
  EXPECT_TRUE(s.input.waitNth(1));
}

TEST(HostServerPairing, AnUnansweredCodeComparisonIsClosed) {
  ServerOptions options;
  // The login check passes over the waiting phone first.
  options.timing.loginCheck = 600ms;
  options.timing.promptCheck = 1200ms;
  ServerHarness s(options);
  s.start();
  PhoneHarness phone;
  ASSERT_FALSE(comparisonCode(s, phone, s.openPairing()).empty());
  EXPECT_TRUE(s.log.waitFor("closing: pairing prompt unanswered"));
  EXPECT_TRUE(phone.closed.waitNth(1));
  EXPECT_EQ(s.log.count("closing: no login within 10 s"), 0u);
  EXPECT_EQ(s.log.count("closing: pairing prompt unanswered"), 1u);
  EXPECT_TRUE(s.paired.items().empty());
}

// Two logged-in phones and one connection that has not logged in; `revoke` or `forget` of the
// first phone closes it and the unsettled one, and leaves the other phone connected.
TEST(HostServerPairing, RevokeAndForgetCloseTheDeviceAndEveryConnectionNotLoggedIn) {
  for (bool revoke : {true, false}) {
    SCOPED_TRACE(revoke ? "revoke" : "forget");
    ServerHarness s;
    const std::uint16_t port = s.start();
    PhoneHarness target("Target"), other("Other");
    auto targetPairing = testing::pairPhone(s, target);
    auto otherPairing = testing::pairPhone(s, other);
    ASSERT_TRUE(targetPairing && otherPairing);
    ASSERT_TRUE(testing::loginPhone(target, port, *targetPairing));
    ASSERT_TRUE(testing::loginPhone(other, port, *otherPairing));
    PeerSocket unsettled = connectFrom(2, port);
    ASSERT_TRUE(s.waitForClients(3));
    const std::size_t trustEvents = s.trust.size();

    const Uuid id = target.identity.id();
    if (revoke) {
      s.server->revoke(id);
    } else {
      s.server->forget(id);
    }
    ASSERT_EQ(s.trust.size(), trustEvents + 1);
    const TrustStore after = s.trust.items().back();
    if (revoke) {
      ASSERT_EQ(after.devices().count(id), 1u);
      EXPECT_EQ(after.devices().at(id).revokedAt, kTestNow);
    } else {
      EXPECT_EQ(after.devices().count(id), 0u);
    }
    EXPECT_FALSE(after.devices().at(other.identity.id()).revokedAt);

    EXPECT_TRUE(s.disconnected.waitFor(id));
    EXPECT_TRUE(unsettled.readsEndOfStream());
    ASSERT_TRUE(other.send(Envelope{InputEvent{InputEvent::Scroll{0, 4}}}));
    EXPECT_TRUE(s.input.waitNth(1));
    EXPECT_EQ(s.disconnected.count(other.identity.id()), 0u);

    target.login(port, targetPairing->psk);
    EXPECT_TRUE(target.failed.waitFor(std::string(TrustStore::refusal)));
  }
}

TEST(HostServerPairing, ForgettingAnUnknownDeviceStillClosesUnsettledConnections) {
  ServerHarness s;
  const std::uint16_t port = s.start();
  PeerSocket unsettled = connectFrom(2, port);
  ASSERT_TRUE(s.waitForClients(1));
  s.server->forget(testing::newIdentity("nobody").id());
  EXPECT_EQ(s.trust.items(), std::vector<TrustStore>{TrustStore{}});
  EXPECT_TRUE(unsettled.readsEndOfStream());
}

}  // namespace
}  // namespace lumenbrook
