// The phone client engine on its own: codes it refuses, a Mac it cannot reach, and a scripted
// Mac that refuses the login. Its pairing and login against the real host server are tested
// with the server.

#include "phone/phone_client.h"

#include <string>

#include <gtest/gtest.h>

#include "core/messages/wire_codec.h"
#include "core/security/secure_channel.h"
#include "core/security/trust_store.h"
#include "tests/net/host_server_fixture.h"

namespace lumenbrook {
namespace {

using testing::PeerListener;
using testing::PhoneHarness;

const std::string kFingerprint(32, 'a');

TEST(PhoneClient, RefusesTextThatIsNotAPairingCode) {
  const std::string cases[] = {
      "",
      "hello",
      "LUMENBROOK-PAIR-1:h=example.com&p=51000&fp=" + kFingerprint,  // not a local host
      "LUMENBROOK-PAIR-1:h=127.0.0.1&p=0&fp=" + kFingerprint,        // no port
      "LUMENBROOK-PAIR-1:h=127.0.0.1&p=51000&fp=abc",                 // short fingerprint
  };
  PhoneHarness phone;
  for (const std::string& code : cases) {
    EXPECT_FALSE(phone.pair(code)) << code;
  }
  EXPECT_EQ(phone.phase(), PhoneSession::Phase::fresh);
  EXPECT_EQ(phone.failed.size(), 0u);
  EXPECT_EQ(phone.closed.size(), 0u);
}

TEST(PhoneClient, ACodeWithoutASecretFailsWithoutDialling) {
  PhoneHarness phone;
  // Nothing listens there; a connection attempt would end in onClosed.
  ASSERT_TRUE(phone.pair("LUMENBROOK-PAIR-1:h=127.0.0.1&p=9&fp=" + kFingerprint));
  EXPECT_EQ(phone.failed.items(),
            std::vector<std::string>{
                "This link can't pair. Open Pair a phone on the computer and scan again."});
  phone.loop.postAndWait([] {});
  EXPECT_EQ(phone.closed.size(), 0u);
}

TEST(PhoneClient, AMacThatCannotBeReachedEndsTheAttempt) {
  std::uint16_t unused = 0;
  {
    PeerListener listener;  // closed again at once: nothing listens on its port afterwards
    unused = listener.port();
  }
  PhoneHarness phone;
  phone.login(unused, Bytes(32, 7));
  auto reason = phone.closed.waitNth(1);
  ASSERT_TRUE(reason);
  EXPECT_EQ(reason->rfind("can't reach the computer: ", 0), 0u) << *reason;
  EXPECT_EQ(phone.connected.size(), 0u);
  EXPECT_FALSE(phone.send(Envelope{InputEvent{InputEvent::Zoom{2}}}));
}

TEST(PhoneClient, ARefusalFromTheMacIsReportedThenTheConnectionEnds) {
  PeerListener mac;
  PhoneHarness phone;
  phone.login(mac.port(), Bytes(32, 7));
  auto peer = mac.accept();
  ASSERT_TRUE(peer.valid());
  // The client hello arrives first, as one frame.
  Bytes header = peer.read(4);
  ASSERT_EQ(header.size(), 4u);
  Bytes body = peer.read(loadU32BE(header.data()));
  Bytes frame = header;
  append(frame, body);
  auto hello = WireCodec::unframe(frame, 1);
  ASSERT_TRUE(hello.ok());
  ASSERT_EQ(hello.value().size(), 1u);
  EXPECT_TRUE(std::holds_alternative<Wire::ClientHello>(hello.value()[0].value));

  const std::string refusal(TrustStore::refusal);
  ASSERT_TRUE(peer.writeAll(testing::framed(Wire{Wire::Refused{refusal}})));
  EXPECT_TRUE(phone.failed.waitFor(refusal));
  EXPECT_TRUE(peer.readsEndOfStream());
  EXPECT_TRUE(phone.closed.waitNth(1));
  EXPECT_EQ(phone.connected.size(), 0u);
}

// A computer that hangs up: explained when it never said a word, the link's own reason once it
// answered.
TEST(PhoneClient, AHangUpBeforeAnyAnswerIsExplained) {
  for (bool answered : {false, true}) {
    SCOPED_TRACE(answered ? "after an answer" : "before any answer");
    const Bytes psk(32, 7);
    PeerListener mac;
    PhoneHarness phone;
    phone.login(mac.port(), psk);
    auto peer = mac.accept();
    ASSERT_TRUE(peer.valid());
    auto hello = testing::readWire(peer);
    ASSERT_TRUE(hello);
    const auto* clientHello = std::get_if<Wire::ClientHello>(&hello->value);
    ASSERT_TRUE(clientHello);
    if (answered) {
      const Handshake::HostReply reply =
          Handshake::hostReply(psk, phone.identity.id(), clientHello->nonce, Handshake::nonce());
      ASSERT_TRUE(
          peer.writeAll(testing::framed(Wire{Wire::ServerHello{reply.nonceH, reply.macH}})));
      ASSERT_TRUE(phone.connected.waitNth(1));
      ASSERT_TRUE(testing::readWire(peer));  // the client finish: nothing is left unread
    }
    peer = testing::PeerSocket();
    auto reason = phone.closed.waitNth(1);
    ASSERT_TRUE(reason);
    EXPECT_EQ(*reason, answered ? std::string("closed by the other side")
                                : std::string(PhoneClient::closedBeforeAnswering));
    EXPECT_EQ(phone.failed.size(), 0u);
  }
}

}  // namespace
}  // namespace lumenbrook
