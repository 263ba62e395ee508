// What admission costs and whom it favours: ended connections leave nothing behind, new
// connections are paced, refusals are logged without flooding the log, and a phone that is
// logging in is not evicted by strangers.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/security/secure_channel.h"
#include "net/host_server.h"
#include "tests/net/host_server_fixture.h"

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;
using testing::connectFrom;
using testing::PeerSocket;
using testing::PhoneHarness;
using testing::ScriptedConnection;
using testing::ServerHarness;
using testing::ServerOptions;

// Admissions limited by nothing but the table.
ServerOptions unpaced() {
  ServerOptions options;
  options.timing.admissionBurst = 100'000;
  options.timing.admissionInterval = 1ns;
  return options;
}

// Hands a scripted connection from `host` to admission; whether it was admitted.
bool admitFrom(ServerHarness& s, const std::string& host) {
  auto connection = std::make_shared<ScriptedConnection>(s.server->loop(), Endpoint{host, 50000});
  s.server->loop().postAndWait([&] { s.server->admit(connection); });
  EXPECT_EQ(connection->starts + connection->cancels, 1) << host;
  return connection->starts == 1;
}

TEST(HostServerAdmission, EndedConnectionsLeaveNoRecordBehind) {
  // Long checks, as in production: whatever they keep would still be there at the end.
  ServerOptions options = unpaced();
  options.timing.loginCheck = 10s;
  options.timing.promptCheck = 130s;
  ServerHarness s(options);
  const std::uint16_t port = s.start();
  {
    PeerSocket one = connectFrom(1, port);
    ASSERT_TRUE(s.waitForClients(1));
    EXPECT_EQ(s.server->clientRecords(), 1u);
  }
  ASSERT_TRUE(s.disconnected.waitNth(1));

  constexpr std::size_t kConnections = 1000;
  for (std::size_t i = 1; i < kConnections; ++i) {
    // Many sources, so that the per-host limit never meets connections still closing.
    PeerSocket peer = connectFrom(1 + static_cast<int>(i % 200), port);
    ASSERT_TRUE(peer.valid()) << i;
  }
  ASSERT_TRUE(s.disconnected.waitUntil(
      [&](const auto& ends) { return ends.size() == kConnections; }));
  s.settle();
  EXPECT_EQ(s.server->clientCount(), 0u);
  EXPECT_EQ(s.server->clientRecords(), 0u);
}

TEST(HostServerAdmission, NewConnectionsArePacedAndARepeatedRefusalIsSummedUp) {
  ServerOptions options;
  options.timing.admissionBurst = 2;
  options.timing.admissionInterval = 1h;  // nothing refills during the test
  options.timing.refusalLogWindow = 200ms;
  ServerHarness s(options);
  const std::string line = "refused: too many new connections at once";

  EXPECT_TRUE(admitFrom(s, "192.168.1.20"));
  EXPECT_TRUE(admitFrom(s, "192.168.1.21"));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(admitFrom(s, "192.168.1.22"));
  EXPECT_EQ(s.log.items(), std::vector<std::string>{line});

  EXPECT_TRUE(s.log.waitFor(line + " \u2026 and 2 more in the last 200 ms"));
  // The window closed: the next refusal is logged at once again.
  EXPECT_FALSE(admitFrom(s, "192.168.1.23"));
  EXPECT_EQ(s.log.count(line), 2u);
}

TEST(HostServerAdmission, UnsettledConnectionsFromOneIPv6SlashSixtyFourCountAsOneHost) {
  ServerHarness s;
  for (const char* host : {"fd12::1", "fd12::2:3", "fd12::ffff:1"}) {
    EXPECT_TRUE(admitFrom(s, host)) << host;
  }
  EXPECT_FALSE(admitFrom(s, "fd12::4"));
  EXPECT_TRUE(s.log.waitFor("refused fd12::/64: 3 connections from there have not logged in yet"));
  // The neighbouring /64 and an IPv4 host are other hosts.
  EXPECT_TRUE(admitFrom(s, "fd12:0:0:1::1"));
  EXPECT_TRUE(admitFrom(s, "192.168.1.20"));
  EXPECT_EQ(s.server->clientCount(), 5u);
}

// A phone whose login handle matched stays while eight strangers churn through the table.
TEST(HostServerAdmission, APhoneLoggingInOutlastsStrangersChurningConnections) {
  ServerHarness s(unpaced());
  const std::uint16_t port = s.start();
  PhoneHarness phone;
  auto pairing = testing::pairPhone(s, phone);
  ASSERT_TRUE(pairing);
  const Uuid id = phone.identity.id();

  // The phone's login, held after the host's answer to its handle.
  PeerSocket held = connectFrom(1, port);
  const Bytes nonceP = Handshake::nonce();
  ASSERT_TRUE(held.writeAll(testing::framed(
      Wire{Wire::ClientHello{Handshake::handle(pairing->psk, id, nonceP), nonceP}})));
  std::optional<Wire> answer = testing::readWire(held);
  ASSERT_TRUE(answer);
  const auto* serverHello = std::get_if<Wire::ServerHello>(&answer->value);
  ASSERT_TRUE(serverHello);

  const std::size_t logged = s.log.size();
  std::vector<PeerSocket> strangers(8);
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 8; ++i) {
      strangers[i] = connectFrom(2 + i, port);
      ASSERT_TRUE(strangers[i].valid());
    }
    ASSERT_TRUE(s.waitForClients(HostServer::maxClients));
  }
  // The table overflowed: the host itself closed strangers to make room.
  EXPECT_TRUE(s.log.waitUntil([&](const std::vector<std::string>& lines) {
    return std::find(lines.begin() + static_cast<long>(logged), lines.end(),
                     "link closed: closed") != lines.end();
  }));

  auto finish = Handshake::phoneFinish(pairing->psk, id, nonceP, serverHello->nonce,
                                       serverHello->mac);
  ASSERT_TRUE(finish.ok());
  ASSERT_TRUE(held.writeAll(testing::framed(Wire{Wire::ClientFinish{finish.value().macP}})));
  EXPECT_TRUE(s.connected.waitFor(id));
}

// A handle that matched settles a connection for admission, not for the login check.
TEST(HostServerAdmission, AMatchedHandleWithoutALoginIsStillClosedByTheLoginCheck) {
  ServerOptions options;
  options.timing.loginCheck = 300ms;
  ServerHarness s(options);
  const std::uint16_t port = s.start();
  PhoneHarness phone;
  auto pairing = testing::pairPhone(s, phone);
  ASSERT_TRUE(pairing);

  PeerSocket held = connectFrom(1, port);
  const Bytes nonceP = Handshake::nonce();
  ASSERT_TRUE(held.writeAll(testing::framed(Wire{
      Wire::ClientHello{Handshake::handle(pairing->psk, phone.identity.id(), nonceP), nonceP}})));
  ASSERT_TRUE(testing::readWire(held));
  EXPECT_TRUE(held.readsEndOfStream());
  EXPECT_TRUE(s.log.waitFor("closing: no login within 10 s"));
}

}  // namespace
}  // namespace lumenbrook
