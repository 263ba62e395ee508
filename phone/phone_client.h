#pragma once
// The phone's end of the control connection: a PhoneSession driven over an outgoing
// FramedLink. It pairs from a scanned pairing-code text, logs in with the key a pairing left,
// sends sealed envelopes once logged in and hands every envelope from the Mac to its owner.
//
// One attempt at a time: pair() and login() each dial a new connection and drop the previous
// one, whose events are no longer reported. Otherwise every attempt that dialled ends with
// exactly one onClosed; a pairing code the session refuses outright reports onFailed alone.
//
// Ownership: held by std::shared_ptr (make()); handlers hold it weakly. Threading: every call
// is made on the loop's thread, every callback runs there, and the last reference is dropped
// there too (or after the loop stopped), since the connection belongs to the loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/messages/envelope.h"
#include "core/security/device_identity.h"
#include "core/session/phone_session.h"
#include "core/util/bytes.h"
#include "net/event_loop.h"
#include "net/framed_link.h"
#include "net/transport.h"
#include "phone/stream_client.h"

namespace lumenbrook {

class PhoneClient : public std::enable_shared_from_this<PhoneClient> {
 public:
  // What a completed pairing leaves the phone to keep for its logins.
  struct Pairing {
    Endpoint mac;                 // where the Mac was reached (the code's host, or `via`)
    std::string hostFingerprint;  // from the code
    Bytes psk;                    // the 32-byte pairing key
    Bytes hostIdentityKey;        // the Mac's Ed25519 public key
    std::string hostName;         // the Mac's name as it gave it
    friend bool operator==(const Pairing&, const Pairing&) = default;
  };

  static std::shared_ptr<PhoneClient> make(EventLoop& loop, DeviceIdentity identity);
  PhoneClient(const PhoneClient&) = delete;
  PhoneClient& operator=(const PhoneClient&) = delete;

  // Set before the first attempt; read afresh at every use.
  // The six-digit code to compare with the Mac's; answer with confirmCode(), at once or later.
  std::function<void(const std::string& code)> onPairingCode;
  std::function<void(const Pairing&)> onPaired;
  std::function<void()> onConnected;  // logged in: send() works from now on
  std::function<void(const Envelope&)> onEnvelope;
  // The session ended with this text for the user (a refusal or a protocol failure).
  std::function<void(const std::string& text)> onFailed;
  // The connection ended, with the link's reason ("can't reach the computer: ...", "closed", ...),
  // or closedBeforeAnswering when the other side hung up without having sent anything.
  std::function<void(const std::string& reason)> onClosed;

  // Said instead of the link's "closed by the other side" when not a single message had
  // arrived: the computer hung up on the first words, which is how it turns a connection away.
  static constexpr std::string_view closedBeforeAnswering =
      "the computer closed the connection before answering: it may be switched off, not accept "
      "this network, or have too many connections";

  // Pairs with the Mac a scanned code names. `via` replaces the code's host and port, for a
  // phone that found the Mac some other way. False, and nothing happens, when `code` is not a
  // readable pairing code.
  bool pair(std::string_view code, std::optional<Endpoint> via = std::nullopt);
  // The phone user's verdict on the code. Ignored unless a comparison is pending.
  void confirmCode(bool ok);
  // Logs in at `host` (name or address) and `port` with the key of an earlier pairing.
  void login(const std::string& host, std::uint16_t port, ByteView psk);
  // Seals and sends one envelope; false when not logged in or it cannot be sealed.
  bool send(const Envelope& envelope);
  // Ends the current attempt; its onClosed follows.
  void close();
  // Ends the connection once everything sent so far went out and the Mac, having read it
  // all, closed its side (or after the link's close delay); onClosed follows.
  void finishSending();

  PhoneSession::Phase phase() const { return session_.phase(); }
  bool connected() const { return session_.connected(); }

  // The datagram sealer and opener of video stream `stream`, while logged in; absent
  // otherwise and for a stream number whose sealer was already given out this login.
  std::optional<StreamClient::DatagramKeys> datagramKeys(std::uint32_t stream);
  // The host of the current (or last) connection, as dialled.
  const std::string& remoteHost() const { return mac_.host; }
  const Uuid& deviceID() const { return deviceID_; }
  // A StreamClient's way into this connection, holding the client weakly; its macHost is
  // the host dialled last, so make it once logged in.
  StreamClient::Control streamControl();

  // Tests shorten the link's closing delay.
  void setCloseAfterSendingDelay(EventLoop::Clock::duration delay) { closeDelay_ = delay; }

 private:
  PhoneClient(EventLoop& loop, DeviceIdentity identity);

  void dial(const Endpoint& mac);
  void drop();
  void perform(const std::vector<PhoneSession::Output>& outputs);
  void onLinkClosed(const std::shared_ptr<FramedLink>& link, const std::string& reason);

  EventLoop& loop_;
  Uuid deviceID_;  // before session_, which takes the identity
  PhoneSession session_;
  std::shared_ptr<FramedLink> link_;
  Endpoint mac_;
  std::string fingerprint_;
  std::optional<EventLoop::Clock::duration> closeDelay_;
  bool answered_ = false;  // a message arrived on the current link
};

}  // namespace lumenbrook
