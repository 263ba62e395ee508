// The host server's listener, admission of connections, the table of clients and the
// threading contract of its public operations, over loopback sockets.

#include "net/host_server.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/security/hex.h"
#include "tests/net/host_server_fixture.h"

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::connectFrom;
using testing::PeerSocket;
using testing::PhoneHarness;
using testing::ScriptedConnection;
using testing::ServerHarness;
using testing::ServerOptions;

TEST(HostServer, StartsListeningReportsItsPairingBaseAndAdvertises) {
  ServerHarness s;
  EXPECT_FALSE(s.server->listening());
  const std::uint16_t port = s.start();
  ASSERT_NE(port, 0);
  EXPECT_TRUE(s.server->listening());
  EXPECT_EQ(s.listening.items(),
            (std::vector<QRPayload>{{"127.0.0.1", port, s.identity.fingerprint(), ""}}));
  EXPECT_THAT(s.advertiser.items(),
              ElementsAre("record Test-Mac _lumenbrook._tcp fp=" + s.identity.fingerprint(),
                          "publish " + std::to_string(port)));
}

TEST(HostServer, WithTheKillSwitchOnNothingListensAndConnectionsAreRefused) {
  ServerOptions options;
  options.trust.setKillSwitch(true);
  ServerHarness s(options);
  s.server->start(0);
  EXPECT_FALSE(s.server->listening());
  EXPECT_EQ(s.server->openPairing(120), std::nullopt);

  auto connection = std::make_shared<ScriptedConnection>(s.server->loop(),
                                                         Endpoint{"192.168.1.20", 50000});
  s.server->loop().postAndWait([&] { s.server->admit(connection); });
  EXPECT_EQ(connection->cancels, 1);
  EXPECT_EQ(connection->starts, 0);
  EXPECT_THAT(s.log.items(), ElementsAre("refused 192.168.1.20: the kill switch is on"));
  EXPECT_TRUE(s.listening.items().empty());
}

TEST(HostServer, OpenPairingBeforeTheListenerIsReadyGivesNothing) {
  ServerHarness s;
  EXPECT_EQ(s.server->openPairing(120), std::nullopt);
}

TEST(HostServer, AdmitsOnlyLocalNetworkAddresses) {
  const Bytes ownV6 = hexDecode("20010db8000000000000000000000001").value();
  struct Case {
    std::string host;
    bool admitted;
    std::string refusal = {};  // logged when not admitted
  };
  const Case cases[] = {
      {"192.168.1.20", true},
      {"10.0.0.7", true},
      {"127.0.0.1", true},
      {"FE80::1%en0", true},
      {"::ffff:172.16.4.4", true},
      {"fd12::9", true},
      {"2001:db8::5", true},
      {"100.64.0.1", false, "refused 100.64.0.1: not a local-network address"},
      {"8.8.8.8", false, "refused 8.8.8.8: not a local-network address"},
      {"2001:db9::5", false, "refused 2001:db9::5: not a local-network address"},
      {"::ffff:8.8.4.4", false, "refused 8.8.4.4: not a local-network address"},
      {"mac.local", false, "refused mac.local: not a local-network address"},
      {"", false, "refused (no address): not a local-network address"},
  };
  ServerOptions options;
  options.ownIPv6 = {ownV6};
  ServerHarness s(options);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    std::size_t logged = s.log.size();
    auto connection =
        std::make_shared<ScriptedConnection>(s.server->loop(), Endpoint{c.host, 50000});
    s.server->loop().postAndWait([&] { s.server->admit(connection); });
    EXPECT_EQ(connection->starts, c.admitted ? 1 : 0);
    EXPECT_EQ(connection->cancels, c.admitted ? 0 : 1);
    auto lines = s.log.items();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(logged), lines.end()),
              c.admitted ? std::vector<std::string>{} : std::vector<std::string>{c.refusal});
  }
}

// A connection whose own end sits on no interface of this machine.
class OffLanConnection : public ScriptedConnection {
 public:
  using ScriptedConnection::ScriptedConnection;
  std::optional<Endpoint> localEndpoint() const override { return Endpoint{"203.0.113.9", 1}; }
};

TEST(HostServer, ClosesALinkThatIsNotOnALocalInterface) {
  ServerHarness s;
  auto connection =
      std::make_shared<OffLanConnection>(s.server->loop(), Endpoint{"192.168.1.20", 50000});
  s.server->loop().postAndWait([&] {
    s.server->admit(connection);
    connection->report(ConnectionState::ready);
  });
  ASSERT_TRUE(s.disconnected.waitNth(1));
  EXPECT_GE(connection->cancels, 1);
  EXPECT_THAT(s.log.items(),
              ElementsAre("refused: not on a local interface", "link closed: closed"));
  EXPECT_EQ(s.disconnected.items(), std::vector<std::optional<Uuid>>{std::nullopt});
  EXPECT_EQ(s.server->clientCount(), 0u);
}

TEST(HostServer, ABusyFixedPortFallsBackToAnyFreePort) {
  ServerHarness first;
  const std::uint16_t busy = first.start();
  ASSERT_NE(busy, 0);

  ServerHarness s;
  const std::uint16_t port = s.start(busy);
  ASSERT_NE(port, 0);
  EXPECT_NE(port, busy);
  auto lines = s.log.items();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("listener failed: ", 0), 0u) << lines[0];
  EXPECT_GT(lines[0].size(), std::string("listener failed: ").size());
  EXPECT_EQ(s.listening.items().back().port, port);
  EXPECT_TRUE(PeerSocket::connectTo("127.0.0.1", port).valid());
}

TEST(HostServer, AFourthUnsettledConnectionFromOneHostIsRefusedAndLogged) {
  ServerHarness s;
  const std::uint16_t port = s.start();
  // A logged-in connection from 127.0.0.1 does not count against the host.
  PhoneHarness phone;
  auto pairing = testing::pairPhone(s, phone);
  ASSERT_TRUE(pairing);
  ASSERT_TRUE(testing::loginPhone(phone, port, *pairing));
  ASSERT_TRUE(s.waitForClients(1));

  std::vector<PeerSocket> unsettled;
  for (int i = 0; i < 3; ++i) unsettled.push_back(connectFrom(1, port));
  ASSERT_TRUE(s.waitForClients(4));
  const std::size_t logged = s.log.size();

  PeerSocket fourth = connectFrom(1, port);
  ASSERT_TRUE(fourth.valid());
  EXPECT_TRUE(fourth.readsEndOfStream());
  PeerSocket otherHost = connectFrom(2, port);
  ASSERT_TRUE(s.waitForClients(5));
  s.settle();
  auto lines = s.log.items();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(logged), lines.end()),
            std::vector<std::string>{
                "refused 127.0.0.1: 3 connections from there have not logged in yet"});
}

TEST(HostServer, AFullTableOfSettledClientsRefusesAndLogsWhy) {
  ServerHarness s;
  const std::uint16_t port = s.start();
  PhoneHarness pairer;
  auto pairing = testing::pairPhone(s, pairer);
  ASSERT_TRUE(pairing);
  // One paired phone may hold several logged-in connections.
  std::vector<std::unique_ptr<PhoneHarness>> phones;
  for (std::size_t i = 0; i < HostServer::maxClients; ++i) {
    phones.push_back(std::make_unique<PhoneHarness>(pairer.identity));
    ASSERT_TRUE(testing::loginPhone(*phones.back(), port, *pairing)) << i;
  }
  ASSERT_TRUE(s.waitForClients(HostServer::maxClients));
  const std::size_t logged = s.log.size();
  const std::size_t disconnects = s.disconnected.size();

  PeerSocket ninth = connectFrom(2, port);
  ASSERT_TRUE(ninth.valid());
  EXPECT_TRUE(ninth.readsEndOfStream());
  EXPECT_EQ(s.server->clientCount(), HostServer::maxClients);
  s.settle();
  auto lines = s.log.items();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(logged), lines.end()),
            std::vector<std::string>{
                "refused 127.0.0.2: all 8 connections are logged in or pairing"});
  EXPECT_EQ(s.disconnected.size(), disconnects);
}

TEST(HostServer, AFullTableEvictsTheOldestUnsettledClient) {
  ServerHarness s;
  const std::uint16_t port = s.start();
  PhoneHarness pairer;
  auto pairing = testing::pairPhone(s, pairer);
  ASSERT_TRUE(pairing);
  std::vector<std::unique_ptr<PhoneHarness>> phones;
  for (int i = 0; i < 6; ++i) {
    phones.push_back(std::make_unique<PhoneHarness>(pairer.identity));
    ASSERT_TRUE(testing::loginPhone(*phones.back(), port, *pairing));
  }
  PeerSocket older = connectFrom(2, port);
  ASSERT_TRUE(s.waitForClients(7));
  PeerSocket younger = connectFrom(3, port);
  ASSERT_TRUE(s.waitForClients(8));
  const std::size_t disconnects = s.disconnected.size();

  PeerSocket newcomer = connectFrom(4, port);
  ASSERT_TRUE(newcomer.valid());
  EXPECT_TRUE(older.readsEndOfStream());
  // The evicted client left the table at once; its link's end is still reported.
  ASSERT_TRUE(s.disconnected.waitNth(disconnects + 1));
  EXPECT_EQ(s.disconnected.items().back(), std::nullopt);
  EXPECT_TRUE(s.log.waitFor("link closed: closed"));
  EXPECT_EQ(s.server->clientCount(), HostServer::maxClients);

  // The younger one was kept: its own end is reported only when it hangs up now.
  younger = PeerSocket();
  EXPECT_TRUE(s.log.waitFor("link closed: closed by the other side"));
  ASSERT_TRUE(s.waitForClients(HostServer::maxClients - 1));
}

TEST(HostServer, KillSwitchStopsListeningAndReturnsToTheSamePort) {
  ServerHarness s;
  const std::uint16_t port = s.start();
  PhoneHarness phone;
  auto pairing = testing::pairPhone(s, phone);
  ASSERT_TRUE(pairing);
  ASSERT_TRUE(testing::loginPhone(phone, port, *pairing));
  const std::size_t trustEvents = s.trust.size();

  s.server->setKillSwitch(true);
  ASSERT_TRUE(s.trust.waitNth(trustEvents + 1));
  EXPECT_TRUE(s.trust.items().back().killSwitch());
  EXPECT_FALSE(s.server->listening());
  EXPECT_EQ(s.server->openPairing(120), std::nullopt);
  EXPECT_TRUE(s.disconnected.waitFor(phone.identity.id()));
  EXPECT_FALSE(PeerSocket::connectTo("127.0.0.1", port).valid());

  s.server->setKillSwitch(false);
  ASSERT_TRUE(s.trust.waitNth(trustEvents + 2));
  EXPECT_FALSE(s.trust.items().back().killSwitch());
  ASSERT_TRUE(s.listening.waitNth(2));
  EXPECT_EQ(s.listening.items().back().port, port);
  EXPECT_TRUE(s.server->listening());
  EXPECT_THAT(s.advertiser.items(),
              ElementsAre(::testing::StartsWith("record "), "publish " + std::to_string(port),
                          "withdraw", "publish " + std::to_string(port)));
  ASSERT_TRUE(testing::loginPhone(phone, port, *pairing));
}

TEST(HostServer, BlockingOperationsRefuseOnTheServerThreadInsteadOfDeadlocking) {
  ServerHarness s;
  s.start();
  const Uuid id = testing::newIdentity("x").id();
  const std::vector<std::pair<const char*, std::function<void()>>> blocking = {
      {"start", [&] { s.server->start(0); }},
      {"stop", [&] { s.server->stop(); }},
      {"listening", [&] { (void)s.server->listening(); }},
      {"clientCount", [&] { (void)s.server->clientCount(); }},
      {"openPairing", [&] { (void)s.server->openPairing(120); }},
      {"forget", [&] { s.server->forget(id); }},
      {"revoke", [&] { s.server->revoke(id); }},
  };
  s.server->loop().postAndWait([&] {
    for (const auto& [name, call] : blocking) {
      EXPECT_THROW(call(), std::logic_error) << name;
    }
    // Queued operations are fine there: they only post.
    EXPECT_NO_THROW(s.server->closePairing());
    EXPECT_NO_THROW(s.server->confirm("123456", true));
  });
  EXPECT_TRUE(s.server->listening());
  EXPECT_TRUE(s.server->openPairing(120).has_value());
}

TEST(HostServer, StopClosesAndDropsEveryClientAndStopsAccepting) {
  ServerHarness s;
  const std::uint16_t port = s.start();
  PeerSocket a = connectFrom(1, port);
  PeerSocket b = connectFrom(2, port);
  ASSERT_TRUE(s.waitForClients(2));
  s.server->stop();
  EXPECT_EQ(s.server->clientCount(), 0u);
  EXPECT_TRUE(a.readsEndOfStream());
  EXPECT_TRUE(b.readsEndOfStream());
  EXPECT_FALSE(PeerSocket::connectTo("127.0.0.1", port).valid());
  EXPECT_EQ(s.advertiser.items().back(), "withdraw");
  // The dropped clients' ends are not reported.
  s.settle();
  EXPECT_TRUE(s.disconnected.items().empty());
  EXPECT_TRUE(s.log.items().empty());
}

TEST(HostServer, ReleasingTheLastReferenceFromItsOwnThreadShutsDownCleanly) {
  auto s = std::make_unique<ServerHarness>();
  const std::uint16_t port = s->start();
  PeerSocket peer = connectFrom(1, port);
  ASSERT_TRUE(s->waitForClients(1));
  std::shared_ptr<HostServer> server = std::move(s->server);
  // The only reference goes to a closure on the server's loop, which drops it there.
  std::weak_ptr<HostServer> weak = server;
  server->loop().post([held = std::move(server)]() mutable { held.reset(); });
  EXPECT_TRUE(peer.readsEndOfStream());
  EXPECT_TRUE(weak.expired());
}

TEST(HostServer, StatusPeriodHasAFallbackAndAFloor) {
  struct Case {
    double interval;
    HostServer::Duration expected;
  };
  const HostServer::Timing standard;
  const Case cases[] = {
      {15.0, 15s},
      {1.0, 10s},
      {10.0, 10s},
      {-4.0, 10s},
      {22.5, 22500ms},
      {std::numeric_limits<double>::quiet_NaN(), 15s},
      {std::numeric_limits<double>::infinity(), 15s},
      {1e300, std::chrono::hours(24 * 365)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HostServer::statusPeriod(c.interval, standard), c.expected) << c.interval;
  }
  HostServer::Timing shortened;
  shortened.statusMinimum = 40ms;
  shortened.statusFallback = 70ms;
  EXPECT_EQ(HostServer::statusPeriod(0.001, shortened), 40ms);
  EXPECT_EQ(HostServer::statusPeriod(std::nan(""), shortened), 70ms);
}

}  // namespace
}  // namespace lumenbrook
