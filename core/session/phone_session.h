#pragma once
// The phone's protocol state machine for one connection, the counterpart of HostSession. It
// starts a pairing from a scanned code or a login with a stored pairing key, takes each Wire
// message from the Mac and the phone user's verdict on the code, and returns the ordered
// actions for the phone application; it does no I/O itself.
//
//   startPairing --> pairStarted --pairMacCommit--> pairRevealed --pairMacReveal--> (result)
//       --pairCodeShown--> pairAwaitingConfirm --confirmOnPhone(true), pairConfirmed(true)-->
//       closed with `paired`; the phone then reconnects and calls connect(psk)
//   connect --> helloSent --serverHello--> connected --sealed...
//
// startPairing and connect may be called in any phase; each begins a new attempt and drops
// everything the previous one left. Every failure ends in `closed` with one `failed` text.
//
// Not thread-safe: one queue of use.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/messages/envelope.h"
#include "core/messages/wire.h"
#include "core/security/device_identity.h"
#include "core/security/pairing.h"
#include "core/security/qr_payload.h"
#include "core/security/secure_channel.h"
#include "core/session/host_session.h"
#include "core/util/bytes.h"
#include "core/util/result.h"

namespace lumenbrook {

class PhoneSession {
 public:
  enum class Phase {
    fresh,
    pairStarted,
    pairRevealed,
    pairAwaitingConfirm,
    helloSent,
    connected,
    closed,
  };

  struct Output {
    struct Send {
      Wire message;
      friend bool operator==(const Send&, const Send&) = default;
    };
    // Show the code for the user to compare with the Mac's.
    struct ShowPairingCode {
      std::string code;
      friend bool operator==(const ShowPairingCode&, const ShowPairingCode&) = default;
    };
    // Pairing succeeded: store these for later logins.
    struct Paired {
      Bytes psk;
      Bytes hostIdentityKey;
      std::string hostName;
      friend bool operator==(const Paired&, const Paired&) = default;
    };
    // A control message from the Mac.
    struct Envelope {
      lumenbrook::Envelope envelope;
      friend bool operator==(const Envelope&, const Envelope&) = default;
    };
    // Show the text; the session has ended.
    struct Failed {
      std::string text;
      friend bool operator==(const Failed&, const Failed&) = default;
    };
    // Login completed; sealed traffic may flow.
    struct Connected {
      friend bool operator==(const Connected&, const Connected&) = default;
    };

    using Value = std::variant<Send, ShowPairingCode, Paired, Envelope, Failed, Connected>;
    Value value;

    friend bool operator==(const Output&, const Output&) = default;
  };

  // Shown instead of a refusal text the phone does not recognise.
  static constexpr std::string_view refusedText =
      "The computer didn't accept this phone. Check Lumenbrook is on there, or pair again.";
  // The texts a Mac may send in `refused`, shown as they stand.
  static constexpr auto knownRefusals = HostSession::refusals;
  static bool isKnownRefusal(std::string_view text);

  explicit PhoneSession(DeviceIdentity identity);

  PhoneSession(PhoneSession&&) = default;
  PhoneSession& operator=(PhoneSession&&) = default;

  // Begins a pairing with a scanned code; fails at once, sending nothing, unless its secret
  // is 32 hexadecimal characters.
  std::vector<Output> startPairing(const QRPayload& qr);
  // Begins a login with the pairing key stored after a successful pairing.
  std::vector<Output> connect(ByteView psk);
  // The phone user's verdict on the code (true when the codes match). Nothing unless the
  // session awaits it and it was not given yet.
  std::vector<Output> confirmOnPhone(bool ok);
  // One message from the Mac; the outputs, possibly none.
  std::vector<Output> receive(const Wire& message);

  // The `sealed` message carrying one envelope to the Mac. badMessage unless connected or
  // when the envelope cannot be encoded; exhausted when the control sealer has run out. A
  // failure leaves the session unchanged.
  Result<Wire, SecureChannelError> seal(const lumenbrook::Envelope& envelope);

  // The sealer and opener of video datagram stream `stream`, while connected; nothing
  // otherwise. One sealer per stream number and login, as on the host.
  std::optional<Sealer> makeDatagramSealer(std::uint32_t stream);
  std::optional<Opener> makeDatagramOpener(std::uint32_t stream) const;

  Phase phase() const { return phase_; }
  bool connected() const { return phase_ == Phase::connected; }

 private:
  void reset();
  std::vector<Output> fail(std::string_view text);
  std::vector<Output> onRefused(const Wire::Refused& m);
  std::vector<Output> onPairMacCommit(const Wire::PairMacCommit& m);
  std::vector<Output> onPairMacReveal(const Wire::PairMacReveal& m);
  std::vector<Output> onPairCodeShown();
  std::vector<Output> onPairConfirmed(const Wire::PairConfirmed& m);
  std::vector<Output> onServerHello(const Wire::ServerHello& m);
  std::vector<Output> onSealed(const Wire::Sealed& m);

  DeviceIdentity identity_;
  Phase phase_ = Phase::fresh;
  std::optional<PhonePairing> pairing_;
  std::optional<PairingResult> pairResult_;
  std::optional<Bytes> hostKey_;
  std::optional<std::string> hostName_;
  bool phoneConfirmed_ = false;
  std::optional<Bytes> psk_;
  std::optional<Bytes> nonceP_;
  std::optional<Sealer> sealer_;
  std::optional<Opener> opener_;
  std::optional<HandshakeKeys> keys_;
  std::set<std::uint32_t> sealedStreams_;
};

}  // namespace lumenbrook
