#include "net/framed_link.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/net/net_test_support.h"

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::framed;
using testing::PeerListener;
using testing::PeerSocket;
using testing::Recorder;
using testing::refusedWire;
using testing::ScriptedConnection;

// Records the link's callbacks in one ordered log: "ready", "wire:<reason>", "close:<reason>".
void recordInto(FramedLink& link, Recorder<std::string>& log) {
  link.onReady = [&log] { log.add("ready"); };
  link.onWire = [&log](const Wire& w) {
    const auto* r = std::get_if<Wire::Refused>(&w.value);
    log.add("wire:" + (r ? r->reason : std::string(w.kindName())));
  };
  link.onClose = [&log](const std::string& reason) { log.add("close:" + reason); };
}

Bytes header(std::uint32_t length) {
  Bytes b(4);
  storeU32BE(b.data(), length);
  return b;
}

// The link over a scripted connection: each receive completion is produced by the test, on
// the loop thread, so the cases below are exact about what arrives in which completion.
class FramedLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.postAndWait([&] {
      connection = std::make_shared<ScriptedConnection>(loop);
      link = std::make_shared<FramedLink>(connection, loop);
      recordInto(*link, log);
      link->start();
    });
  }
  void TearDown() override {
    loop.postAndWait([&] {
      link.reset();
      connection.reset();
    });
  }
  // Lets everything already queued on the loop run, then returns the log.
  std::vector<std::string> settled() {
    loop.postAndWait([] {});
    return log.items();
  }
  void complete(std::optional<Bytes> content, bool isComplete = false,
                std::optional<std::string> error = std::nullopt) {
    loop.postAndWait([&] { connection->complete(std::move(content), isComplete, std::move(error)); });
  }

  EventLoop loop{"host-server"};
  std::shared_ptr<ScriptedConnection> connection;
  std::shared_ptr<FramedLink> link;
  Recorder<std::string> log;
};

TEST_F(FramedLinkTest, StartInstallsTheHandlerStartsOnceAndAsksForUpTo65536Bytes) {
  loop.postAndWait([&] {
    EXPECT_TRUE(connection->onState);
    EXPECT_EQ(connection->starts, 1);
    EXPECT_EQ(connection->receives, 1);
    EXPECT_EQ(connection->lastMinimum, 1u);
    EXPECT_EQ(connection->lastMaximum, 65536u);
    connection->report(ConnectionState::ready);
  });
  EXPECT_THAT(settled(), ElementsAre("ready"));
}

TEST_F(FramedLinkTest, ThreeFramesInOneReadArriveInOrderAndTheNextReceiveFollows) {
  complete(framed({refusedWire("a"), refusedWire("b"), refusedWire("c")}));
  EXPECT_THAT(settled(), ElementsAre("wire:a", "wire:b", "wire:c"));
  EXPECT_EQ(loop.postAndWait([&] { return connection->receives; }), 2);
}

TEST_F(FramedLinkTest, CloseInsideTheFirstMessageStopsTheRestAndReportsClosedLater) {
  loop.postAndWait([&] {
    link->onWire = [&](const Wire&) {
      log.add("wire");
      link->close();
      EXPECT_THAT(log.items(), ElementsAre("wire"));  // nothing reported from inside close()
    };
    connection->complete(framed({refusedWire("a"), refusedWire("b"), refusedWire("c")}));
  });
  EXPECT_THAT(settled(), ElementsAre("wire", "close:closed"));
  loop.postAndWait([&] {
    EXPECT_EQ(connection->receives, 1);  // no further receive
    EXPECT_GE(connection->cancels, 1);
  });
}

TEST_F(FramedLinkTest, CloseDuringTheLastMessageOfAnEndingStreamStillReportsClosed) {
  loop.postAndWait([&] {
    link->onWire = [&](const Wire&) { link->close(); };
    connection->complete(framed(refusedWire("a")), /*isComplete=*/true);
  });
  EXPECT_THAT(settled(), ElementsAre("close:closed"));
}

class SplitFrameTest : public FramedLinkTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(SplitFrameTest, AFrameSplitAcrossReadsIsDeliveredOnceAfterItsLastByte) {
  Bytes frame = framed(refusedWire("split"));
  std::size_t cut = std::min(GetParam(), frame.size() - 1);
  complete(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut)));
  EXPECT_THAT(settled(), IsEmpty());
  complete(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(cut), frame.end()));
  EXPECT_THAT(settled(), ElementsAre("wire:split"));
  complete(std::nullopt, /*isComplete=*/true);
  EXPECT_THAT(settled(), ElementsAre("wire:split", "close:closed by the other side"));
}

// Inside the header, at its end, inside the body, one byte short.
INSTANTIATE_TEST_SUITE_P(Cuts, SplitFrameTest, ::testing::Values(1, 3, 4, 5, 12, 1000));

TEST_F(FramedLinkTest, ByteByByteDeliveryStillYieldsEachMessageOnce) {
  Bytes both = framed({refusedWire("x"), refusedWire("y")});
  for (std::uint8_t b : both) complete(Bytes{b});
  EXPECT_THAT(settled(), ElementsAre("wire:x", "wire:y"));
}

struct EndingCase {
  std::string name;
  bool isComplete;
  std::optional<std::string> error;
  std::string reason;
};

class EndingTest : public FramedLinkTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(EndingTest, MessagesBeforeTheEndAreDeliveredThenTheEndIsReportedOnce) {
  const auto& c = GetParam();
  complete(framed({refusedWire("a"), refusedWire("b")}), c.isComplete, c.error);
  EXPECT_THAT(settled(), ElementsAre("wire:a", "wire:b", "close:" + c.reason));
  // The link cancelled the connection; its cancelled state must not report a second time.
  loop.postAndWait([&] {
    EXPECT_EQ(connection->cancels, 1);
    EXPECT_EQ(connection->receives, 1);
    link->close();  // after the end: reports nothing
  });
  EXPECT_THAT(settled(), ElementsAre("wire:a", "wire:b", "close:" + c.reason));
}

INSTANTIATE_TEST_SUITE_P(
    Ends, EndingTest,
    ::testing::Values(EndingCase{"PeerFinished", true, std::nullopt, "closed by the other side"},
                      EndingCase{"ReceiveError", false, "Connection reset by peer",
                                 "closed: Connection reset by peer"},
                      EndingCase{"ErrorWinsOverEnd", true, "Broken pipe", "closed: Broken pipe"}),
    [](const auto& info) { return info.param.name; });

struct BadDataCase {
  std::string name;
  Bytes bytes;
};

class BadDataTest : public FramedLinkTest, public ::testing::WithParamInterface<BadDataCase> {};

TEST_P(BadDataTest, EndsTheLinkAtOnceWithoutDeliveringAnythingFromThatRead) {
  complete(GetParam().bytes);
  EXPECT_THAT(settled(), ElementsAre("close:bad data from the other side"));
  loop.postAndWait([&] {
    EXPECT_EQ(connection->receives, 1);
    EXPECT_EQ(connection->cancels, 1);
  });
}

Bytes goodThenBad() {
  Bytes b = framed(refusedWire("good"));
  append(b, header(4));
  append(b, toBytes("nope"));
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BadDataTest,
    ::testing::Values(BadDataCase{"HeaderOverTheLimitWithoutBody", header(65537)},
                      BadDataCase{"HugeHeader", header(0xFFFFFFFF)},
                      BadDataCase{"EmptyBody", header(0)},
                      BadDataCase{"BodyNotAMessage", goodThenBad()}),
    [](const auto& info) { return info.param.name; });

TEST_F(FramedLinkTest, AHeaderAtTheLimitWaitsForItsBody) {
  Bytes partial = header(65536);
  partial.resize(partial.size() + 1000, '{');
  complete(partial);
  EXPECT_THAT(settled(), IsEmpty());
  EXPECT_EQ(loop.postAndWait([&] { return connection->receives; }), 2);
}

struct StateCase {
  std::string name;
  ConnectionState state;
  std::string error;
  std::string reason;
};

class StateTest : public FramedLinkTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateTest, EachEndingStateIsReportedOnceWithItsReason) {
  const auto& c = GetParam();
  loop.postAndWait([&] { connection->report(c.state, c.error); });
  EXPECT_THAT(settled(), ElementsAre("close:" + c.reason));
  loop.postAndWait([&] {
    connection->report(ConnectionState::cancelled);
    connection->report(ConnectionState::failed, "again");
    link->close();
  });
  EXPECT_THAT(settled(), ElementsAre("close:" + c.reason));
}

INSTANTIATE_TEST_SUITE_P(
    States, StateTest,
    ::testing::Values(
        StateCase{"Waiting", ConnectionState::waiting, "Connection refused",
                  "can't reach the computer: Connection refused"},
        StateCase{"Failed", ConnectionState::failed, "Connection reset by peer",
                  "connection failed: Connection reset by peer"},
        StateCase{"CancelledElsewhere", ConnectionState::cancelled, "", "closed"}),
    [](const auto& info) { return info.param.name; });

TEST_F(FramedLinkTest, SendFramesEachMessageAndDropsOneThatCannotBeFramed) {
  loop.postAndWait([&] {
    link->send(refusedWire("one"));
    link->send(refusedWire("\xff not UTF-8"));
    link->send(refusedWire("two"));
    EXPECT_THAT(connection->sent, ElementsAre(framed(refusedWire("one")), framed(refusedWire("two"))));
  });
  EXPECT_THAT(settled(), IsEmpty());
}

// A send that would leave more than the limit waiting is dropped, as is everything after it,
// and the end is reported from the loop, not inside the owner's send.
TEST_F(FramedLinkTest, ASendBeyondTheQueueLimitEndsTheLinkLater) {
  const std::size_t one = framed(refusedWire("one")).size();
  loop.postAndWait([&] {
    connection->queued = FramedLink::kMaxQueuedBytes - one;
    link->send(refusedWire("one"));  // exactly at the limit: still sent
    connection->queued = FramedLink::kMaxQueuedBytes - one + 1;
    link->send(refusedWire("two"));
    connection->queued = 0;
    link->send(refusedWire("three"));
    EXPECT_THAT(connection->sent, ElementsAre(framed(refusedWire("one"))));
    EXPECT_THAT(log.items(), IsEmpty());
  });
  EXPECT_THAT(settled(), ElementsAre("close:the other side stopped reading"));
  EXPECT_GE(loop.postAndWait([&] { return connection->cancels; }), 1);
}

TEST_F(FramedLinkTest, CloseAfterSendingCancelsTheDelayAfterTheEndWentOut) {
  loop.postAndWait([&] {
    link->setCloseAfterSendingDelay(5ms);
    link->closeAfterSending();
    ASSERT_TRUE(connection->endOfStreamProcessed);
    EXPECT_EQ(connection->cancels, 0);  // nothing happens before the marker went out
    connection->endOfStreamProcessed();
    EXPECT_EQ(connection->cancels, 0);  // and not at once after it either
  });
  EXPECT_THAT(log.waitFor(1), ElementsAre("close:closed"));
  EXPECT_GE(loop.postAndWait([&] { return connection->cancels; }), 1);
}

TEST_F(FramedLinkTest, CloseAfterSendingStillDeliversAndThePeersEndWinsWhenFirst) {
  loop.postAndWait([&] {
    link->setCloseAfterSendingDelay(1h);
    link->closeAfterSending();
    connection->endOfStreamProcessed();
    connection->complete(framed(refusedWire("reply")), /*isComplete=*/true);
  });
  EXPECT_THAT(settled(), ElementsAre("wire:reply", "close:closed by the other side"));
}

TEST_F(FramedLinkTest, ALinkItsOwnerReleasedReactsToNothing) {
  std::weak_ptr<FramedLink> weak = link;
  loop.postAndWait([&] {
    link->setCloseAfterSendingDelay(1ms);
    link->closeAfterSending();
    link.reset();
    EXPECT_TRUE(weak.expired());  // the connection's handlers hold it weakly
    connection->endOfStreamProcessed();
    connection->complete(framed(refusedWire("late")), true);
    connection->report(ConnectionState::failed, "late");
  });
  // A marker due after the skipped cancellation would have been.
  Recorder<int> marker;
  loop.schedule(20ms, [&] { marker.add(1); });
  marker.waitFor(1);
  EXPECT_THAT(settled(), IsEmpty());
  EXPECT_EQ(loop.postAndWait([&] { return connection->cancels; }), 0);
}

TEST(FramedLinkDialTest, PortZeroDialsPortOne) {
  EventLoop loop("t");
  for (auto [given, dialled] : {std::pair<std::uint16_t, std::uint16_t>{0, 1}, {1, 1}, {7000, 7000}}) {
    auto endpoint = loop.postAndWait([&, given = given] {
      FramedLink link("127.0.0.1", given, loop);
      return link.connection()->endpoint();
    });
    EXPECT_EQ(endpoint, (Endpoint{"127.0.0.1", dialled})) << "given port " << given;
  }
}

// Links over real loopback connections: one accepted by a listener, one dialled out.
class FramedLinkLoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.postAndWait([&] {
      listener = TcpListener::make(loop, 0);
      listener->setStateHandler([&](TcpListener::State s, const std::string&) {
        if (s == TcpListener::State::ready) ports.add(*listener->port());
      });
      listener->setNewConnectionHandler([&](std::shared_ptr<TcpConnection> c) {
        auto link = std::make_shared<FramedLink>(std::move(c), loop);
        recordInto(*link, hostLog);
        links.push_back(link);
        link->start();
        hostLinks.add(link);
      });
      listener->start();
    });
    auto p = ports.waitFor(1);
    ASSERT_EQ(p.size(), 1u);
    port = p[0];
  }
  void TearDown() override {
    loop.postAndWait([&] {
      listener.reset();
      links.clear();
      hostLinks.clear();
    });
  }
  std::shared_ptr<FramedLink> dial(const std::string& host, std::uint16_t to) {
    return loop.postAndWait([&] {
      auto link = std::make_shared<FramedLink>(host, to, loop);
      recordInto(*link, phoneLog);
      links.push_back(link);
      link->start();
      return link;
    });
  }

  EventLoop loop{"host-server"};
  std::shared_ptr<TcpListener> listener;
  Recorder<std::uint16_t> ports;
  std::uint16_t port = 0;
  std::vector<std::shared_ptr<FramedLink>> links;
  Recorder<std::shared_ptr<FramedLink>> hostLinks;
  Recorder<std::string> hostLog, phoneLog;
};

TEST_F(FramedLinkLoopbackTest, MessagesFlowAndAnEndingPhoneClosesBothSidesFromTheOtherSide) {
  auto phone = dial("127.0.0.1", port);
  EXPECT_THAT(phoneLog.waitFor(1), ElementsAre("ready"));
  auto host = hostLinks.waitFor(1);
  ASSERT_EQ(host.size(), 1u);
  EXPECT_THAT(hostLog.waitFor(1), ElementsAre("ready"));

  loop.postAndWait([&] { host[0]->send(refusedWire("from host")); });
  EXPECT_THAT(phoneLog.waitFor(2), ElementsAre("ready", "wire:from host"));
  loop.postAndWait([&] {
    phone->setCloseAfterSendingDelay(1h);  // the host's reaction must end it, not the delay
    phone->send(refusedWire("bye"));
    phone->closeAfterSending();
  });
  EXPECT_THAT(hostLog.waitFor(3), ElementsAre("ready", "wire:bye", "close:closed by the other side"));
  EXPECT_THAT(phoneLog.waitFor(3),
              ElementsAre("ready", "wire:from host", "close:closed by the other side"));
}

TEST_F(FramedLinkLoopbackTest, CloseAfterSendingEndsWithClosedWhenThePeerStaysSilent) {
  // The phone side is a plain socket that reads but never closes.
  PeerSocket peer = PeerSocket::connectTo("127.0.0.1", port);
  ASSERT_TRUE(peer.valid());
  auto accepted = hostLinks.waitFor(1);
  ASSERT_EQ(accepted.size(), 1u);
  EXPECT_THAT(hostLog.waitFor(1), ElementsAre("ready"));
  loop.postAndWait([&] {
    accepted[0]->setCloseAfterSendingDelay(10ms);
    accepted[0]->send(refusedWire("last"));
    accepted[0]->closeAfterSending();
  });
  Bytes expected = framed(refusedWire("last"));
  EXPECT_EQ(peer.read(expected.size()), expected);
  EXPECT_TRUE(peer.readsEndOfStream());
  EXPECT_THAT(hostLog.waitFor(2), ElementsAre("ready", "close:closed"));
}

// A peer that never reads: once the kernel's buffers are full the queue grows to the limit,
// never past it, and the link ends saying why.
TEST_F(FramedLinkLoopbackTest, APeerThatStopsReadingIsClosedOnceTheQueueIsFull) {
  PeerSocket peer = PeerSocket::connectTo("127.0.0.1", port);
  ASSERT_TRUE(peer.valid());
  auto accepted = hostLinks.waitFor(1);
  ASSERT_EQ(accepted.size(), 1u);
  EXPECT_THAT(hostLog.waitFor(1), ElementsAre("ready"));
  const Wire big = refusedWire(std::string(32'000, 'x'));
  std::size_t maxQueued = 0;
  // Far beyond what the kernel buffers on loopback; the loop runs between rounds, so the
  // socket takes what it can.
  for (int round = 0; round < 512 && hostLog.items().size() < 2; ++round) {
    loop.postAndWait([&] {
      for (int i = 0; i < 8; ++i) {
        accepted[0]->send(big);
        maxQueued = std::max(maxQueued, accepted[0]->connection()->queuedBytes());
      }
    });
  }
  EXPECT_THAT(hostLog.waitFor(2), ElementsAre("ready", "close:the other side stopped reading"));
  EXPECT_LE(maxQueued, FramedLink::kMaxQueuedBytes);
  EXPECT_GT(maxQueued, FramedLink::kMaxQueuedBytes / 2);
  EXPECT_EQ(loop.postAndWait([&] { return accepted[0]->connection()->queuedBytes(); }), 0u);
}

TEST_F(FramedLinkLoopbackTest, AnOversizeHeaderClosesTheConnectionWithoutWaitingForItsBody) {
  PeerSocket peer = PeerSocket::connectTo("127.0.0.1", port);
  ASSERT_TRUE(peer.valid());
  ASSERT_TRUE(peer.writeAll(header(65537)));
  EXPECT_THAT(hostLog.waitFor(2), ElementsAre("ready", "close:bad data from the other side"));
  EXPECT_TRUE(peer.readsEndOfStream());
}

TEST_F(FramedLinkLoopbackTest, DiallingAClosedPortCannotReachTheMac) {
  std::uint16_t closedPort = 0;
  {
    PeerListener gone;
    closedPort = gone.port();
  }
  dial("127.0.0.1", closedPort);
  EXPECT_THAT(phoneLog.waitFor(1), ElementsAre("close:can't reach the computer: Connection refused"));
}

}  // namespace
}  // namespace lumenbrook
