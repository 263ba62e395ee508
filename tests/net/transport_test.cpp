#include "net/transport.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/udp_socket.h"
#include "tests/net/net_test_support.h"

namespace lumenbrook {
namespace {

using ::testing::AnyOf;
using ::testing::ElementsAre;
using testing::PeerListener;
using testing::PeerSocket;
using testing::Recorder;

using ListenerEvent = std::pair<TcpListener::State, std::string>;
using ConnectionEvent = std::pair<ConnectionState, std::string>;

struct Received {
  Bytes content;
  bool isComplete = false;
  std::optional<std::string> error;
};

// Everything bound to the loop is created, used and released on the loop thread.
class TransportTest : public ::testing::Test {
 protected:
  void TearDown() override {
    loop.postAndWait([&] {
      listeners.clear();
      connections.clear();
      accepted.clear();
    });
  }

  std::shared_ptr<TcpListener> listen(std::uint16_t port, Recorder<ListenerEvent>& events) {
    return loop.postAndWait([&] {
      auto l = TcpListener::make(loop, port);
      l->setStateHandler([&events](TcpListener::State s, const std::string& e) { events.add({s, e}); });
      l->setNewConnectionHandler([this](std::shared_ptr<TcpConnection> c) { accepted.add(std::move(c)); });
      l->start();
      listeners.push_back(l);
      return l;
    });
  }

  // Listens on any port and returns it once ready.
  std::uint16_t listenAnywhere() {
    auto l = listen(0, listenerEvents);
    auto events = listenerEvents.waitFor(1);
    EXPECT_THAT(events, ElementsAre(ListenerEvent{TcpListener::State::ready, ""}));
    return loop.postAndWait([&] { return l->port().value_or(0); });
  }

  // Starts a connection with a recording state handler and waits until it is ready.
  void startAndWaitReady(const std::shared_ptr<TcpConnection>& c) {
    loop.postAndWait([&] {
      connections.push_back(c);
      c->setStateHandler([this](ConnectionState s, const std::string& e) { states.add({s, e}); });
      c->start();
    });
    EXPECT_THAT(states.waitFor(1), ElementsAre(ConnectionEvent{ConnectionState::ready, ""}));
  }

  void receiveInto(const std::shared_ptr<TcpConnection>& c, Recorder<Received>& into) {
    loop.postAndWait([&, c] {
      c->receive(1, 65536, [&into](std::optional<Bytes> content, bool complete,
                                   std::optional<std::string> error) {
        into.add(Received{content.value_or(Bytes{}), complete, std::move(error)});
      });
    });
  }

  std::shared_ptr<TcpConnection> acceptOne() {
    auto got = accepted.waitFor(1);
    return got.empty() ? nullptr : got.front();
  }

  EventLoop loop{"host-server"};
  Recorder<ListenerEvent> listenerEvents;
  Recorder<std::shared_ptr<TcpConnection>> accepted;
  Recorder<ConnectionEvent> states;
  std::vector<std::shared_ptr<TcpListener>> listeners;
  std::vector<std::shared_ptr<TcpConnection>> connections;
};

TEST_F(TransportTest, ListenerOnAnyPortReportsReadyWithTheBoundPort) {
  EXPECT_NE(listenAnywhere(), 0);
}

TEST_F(TransportTest, BusyFixedPortFailsWithTheSystemsText) {
  std::uint16_t port = listenAnywhere();
  Recorder<ListenerEvent> second;
  auto busy = listen(port, second);
  EXPECT_THAT(second.waitFor(1),
              ElementsAre(ListenerEvent{TcpListener::State::failed, "Address already in use"}));
  EXPECT_FALSE(loop.postAndWait([&] { return busy->port().has_value(); }));
}

TEST_F(TransportTest, FixedPortIsUsedOnceTheListenerBeforeIsCancelled) {
  std::uint16_t port = listenAnywhere();
  loop.postAndWait([&] { listeners.front()->cancel(); });
  EXPECT_THAT(listenerEvents.waitFor(2),
              ElementsAre(ListenerEvent{TcpListener::State::ready, ""},
                          ListenerEvent{TcpListener::State::cancelled, ""}));
  Recorder<ListenerEvent> again;
  auto fixed = listen(port, again);
  EXPECT_THAT(again.waitFor(1), ElementsAre(ListenerEvent{TcpListener::State::ready, ""}));
  EXPECT_EQ(loop.postAndWait([&] { return fixed->port(); }), std::optional<std::uint16_t>(port));
}

struct PeerCase {
  std::string name;
  std::string connectTo;
  std::string dualStackHost;  // how the listener names the peer
};

class AcceptedConnectionTest : public TransportTest,
                               public ::testing::WithParamInterface<PeerCase> {};

TEST_P(AcceptedConnectionTest, KnowsThePeerAndTheLoopbackInterface) {
  std::uint16_t port = listenAnywhere();
  bool dualStack = loop.postAndWait([&] { return listeners.front()->dualStack(); });
  if (!dualStack && GetParam().connectTo.find(':') != std::string::npos) {
    GTEST_SKIP() << "this machine has no IPv6: the listener fell back to IPv4 alone";
  }
  PeerSocket peer = PeerSocket::connectTo(GetParam().connectTo, port);
  ASSERT_TRUE(peer.valid());
  auto c = acceptOne();
  ASSERT_TRUE(c);
  startAndWaitReady(c);

  std::string host = dualStack ? GetParam().dualStackHost : GetParam().connectTo;
  EXPECT_EQ(c->endpoint(), (Endpoint{host, peer.localPort()}));
  EXPECT_EQ(loop.postAndWait([&] { return c->localInterface(); }), std::optional<std::string>("lo"));
  auto path = loop.postAndWait([&] { return c->currentPath(); });
  ASSERT_TRUE(path);
  EXPECT_TRUE(path->usesInterfaceType(LocalNetwork::InterfaceKind::loopback));
}

INSTANTIATE_TEST_SUITE_P(Loopback, AcceptedConnectionTest,
                         ::testing::Values(PeerCase{"IPv4", "127.0.0.1", "::ffff:127.0.0.1"},
                                           PeerCase{"IPv6", "::1", "::1"}),
                         [](const auto& info) { return info.param.name; });

TEST_F(TransportTest, BytesFlowBothWaysAndTheEndFollowsQueuedData) {
  PeerSocket peer = PeerSocket::connectTo("127.0.0.1", listenAnywhere());
  auto c = acceptOne();
  ASSERT_TRUE(c);
  // Sends queued before ready go out once ready, ahead of the end of the stream.
  Recorder<int> processed;
  loop.postAndWait([&] {
    c->send(toBytes("ab"));
    c->send(toBytes("cd"));
    c->sendEndOfStream([&] { processed.add(1); });
    c->send(toBytes("dropped: after the end"));
  });
  startAndWaitReady(c);
  EXPECT_EQ(peer.read(4), toBytes("abcd"));
  EXPECT_TRUE(peer.readsEndOfStream());
  EXPECT_EQ(processed.waitFor(1).size(), 1u);

  Recorder<Received> got;
  receiveInto(c, got);
  ASSERT_TRUE(peer.writeAll(toBytes("ping")));
  auto r = got.waitFor(1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].content, toBytes("ping"));
  EXPECT_FALSE(r[0].isComplete);
  EXPECT_FALSE(r[0].error);
}

TEST_F(TransportTest, EndOfStreamIsReportedAfterTheDataBeforeIt) {
  PeerSocket peer = PeerSocket::connectTo("127.0.0.1", listenAnywhere());
  auto c = acceptOne();
  ASSERT_TRUE(c);
  ASSERT_TRUE(peer.writeAll(toBytes("last words")));
  peer.shutdownWrite();
  startAndWaitReady(c);

  Bytes all;
  std::vector<Received> completions;
  for (int i = 0; i < 16; ++i) {
    Recorder<Received> one;
    receiveInto(c, one);
    auto r = one.waitFor(1);
    ASSERT_EQ(r.size(), 1u);
    completions.push_back(r[0]);
    append(all, r[0].content);
    if (r[0].isComplete || r[0].error) break;
  }
  EXPECT_EQ(all, toBytes("last words"));
  ASSERT_FALSE(completions.empty());
  EXPECT_TRUE(completions.back().isComplete);
  EXPECT_FALSE(completions.back().error);
}

TEST_F(TransportTest, CancelReportsCancelledOnceAndDropsTheOutstandingReceive) {
  PeerSocket peer = PeerSocket::connectTo("127.0.0.1", listenAnywhere());
  auto c = acceptOne();
  ASSERT_TRUE(c);
  startAndWaitReady(c);
  Recorder<Received> got;
  receiveInto(c, got);
  loop.postAndWait([&] {
    c->cancel();
    c->cancel();
    c->send(toBytes("after cancel"));
  });
  EXPECT_TRUE(peer.readsEndOfStream());
  EXPECT_THAT(states.waitFor(2), ElementsAre(ConnectionEvent{ConnectionState::ready, ""},
                                             ConnectionEvent{ConnectionState::cancelled, ""}));
  loop.postAndWait([] {});  // anything still queued on the loop has run
  EXPECT_TRUE(got.items().empty());
  EXPECT_EQ(states.items().size(), 2u);
  EXPECT_FALSE(c->localEndpoint());
}

TEST_F(TransportTest, OutgoingConnectionReachesTheListenerAndNamesWhatItDialled) {
  PeerListener server;
  auto c = loop.postAndWait([&] { return makeTcpConnection(loop, "127.0.0.1", server.port()); });
  EXPECT_EQ(c->endpoint(), (Endpoint{"127.0.0.1", server.port()}));
  startAndWaitReady(c);
  PeerSocket peer = server.accept();
  ASSERT_TRUE(peer.valid());
  loop.postAndWait([&] { c->send(toBytes("hi")); });
  EXPECT_EQ(peer.read(2), toBytes("hi"));
  EXPECT_EQ(loop.postAndWait([&] { return c->localInterface(); }), std::optional<std::string>("lo"));
}

TEST_F(TransportTest, OutgoingConnectionToAClosedPortWaitsWithTheReason) {
  std::uint16_t closedPort = 0;
  {
    PeerListener gone;
    closedPort = gone.port();
  }
  auto c = loop.postAndWait([&] { return makeTcpConnection(loop, "127.0.0.1", closedPort); });
  loop.postAndWait([&] {
    connections.push_back(c);
    c->setStateHandler([this](ConnectionState s, const std::string& e) { states.add({s, e}); });
    c->start();
  });
  EXPECT_THAT(states.waitFor(1),
              ElementsAre(ConnectionEvent{ConnectionState::waiting, "Connection refused"}));
}

TEST(UdpSocketTest, DatagramsArriveWholeWithTheirSenderAndCanBeAnswered) {
  EventLoop loop("t");
  Recorder<std::pair<Bytes, Endpoint>> atB, atA;
  std::shared_ptr<UdpSocket> a, b;
  loop.postAndWait([&] {
    a = UdpSocket::open(loop).value();
    b = UdpSocket::open(loop).value();
    a->startReceiving([&](ByteView d, const Endpoint& from) { atA.add({Bytes(d.begin(), d.end()), from}); });
    b->startReceiving([&](ByteView d, const Endpoint& from) {
      atB.add({Bytes(d.begin(), d.end()), from});
      b->sendTo(toBytes("pong"), from);  // answer whoever sent it, as named
    });
  });
  ASSERT_NE(a->port(), 0);
  ASSERT_NE(b->port(), a->port());

  Bytes big(1400);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  EXPECT_TRUE(loop.postAndWait([&] { return a->sendTo(big, Endpoint{"127.0.0.1", b->port()}); }));
  EXPECT_TRUE(loop.postAndWait([&] { return a->sendTo(toBytes("v6"), Endpoint{"::1", b->port()}); }));

  auto got = atB.waitFor(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].first, big);
  EXPECT_EQ(got[0].second.port, a->port());
  EXPECT_THAT(got[0].second.host, AnyOf("127.0.0.1", "::ffff:127.0.0.1"));
  EXPECT_EQ(got[1].first, toBytes("v6"));
  EXPECT_EQ(got[1].second, (Endpoint{"::1", a->port()}));
  auto answers = atA.waitFor(2);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].first, toBytes("pong"));
  EXPECT_EQ(answers[0].second.port, b->port());

  loop.postAndWait([&] {
    EXPECT_FALSE(a->sendTo(toBytes("x"), Endpoint{"localhost", b->port()}));  // names are not sent to
    a->close();
    EXPECT_FALSE(a->sendTo(toBytes("x"), Endpoint{"127.0.0.1", b->port()}));
    a.reset();
    b.reset();
  });
}

TEST(UdpSocketTest, BusyFixedPortFailsToOpen) {
  EventLoop loop("t");
  loop.postAndWait([&] {
    auto first = UdpSocket::open(loop).value();
    auto second = UdpSocket::open(loop, first->port());
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error(), "Address already in use");
  });
}

}  // namespace
}  // namespace lumenbrook
