#pragma once
// The Mac's protocol state machine for one phone connection. It takes each Wire message from
// the phone, and the Mac user's verdict on a pairing code, and returns the ordered actions its
// owner carries out; it does no I/O, starts no timers and holds no network references.
//
// A session covers either one pairing, which always ends closed (the phone then reconnects and
// logs in with the new key), or one login followed by sealed traffic:
//
//   fresh --pairStart--> pairCommitted --pairReveal--> pairRevealed --pairPhoneProof-->
//         pairAwaitingPerson --both verdicts true, or either false--> closed
//   fresh --clientHello--> handshaking --clientFinish--> authenticated --sealed...
//
// Any failure, any message out of place and abort() end in `closed`, which is final and
// ignores every further message.
//
// Not thread-safe: use it on its owner's serial queue only. The trust, secret and clock
// functions are called synchronously from the calls below.

#include <array>
#include <cstdint>
#include <functional>
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
#include "core/security/secure_channel.h"
#include "core/security/trust_store.h"
#include "core/util/bytes.h"
#include "core/util/date.h"
#include "core/util/result.h"
#include "core/util/uuid.h"

namespace lumenbrook {

namespace session_detail {
// The texts of several fixed lists as one, in order.
template <std::size_t... N>
constexpr auto join(const std::array<std::string_view, N>&... parts) {
  std::array<std::string_view, (N + ... + 0)> all{};
  std::size_t i = 0;
  (
      [&] {
        for (std::string_view s : parts) all[i++] = s;
      }(),
      ...);
  return all;
}
}  // namespace session_detail

class HostSession {
 public:
  enum class Phase {
    fresh,
    pairCommitted,
    pairRevealed,
    pairAwaitingPerson,
    handshaking,
    authenticated,
    closed,
  };

  // One action for the owner, to be carried out in list order.
  struct Output {
    struct Send {
      Wire message;
      friend bool operator==(const Send&, const Send&) = default;
    };
    // Show the code and the phone's name to the Mac user.
    struct ShowPairingCode {
      std::string code;
      std::string phoneName;
      friend bool operator==(const ShowPairingCode&, const ShowPairingCode&) = default;
    };
    // Store the newly paired phone in the trust store.
    struct Paired {
      PairedDevice device;
      friend bool operator==(const Paired&, const Paired&) = default;
    };
    // The device has logged in.
    struct Connected {
      Uuid deviceID;
      friend bool operator==(const Connected&, const Connected&) = default;
    };
    // A control message or input event from the logged-in phone.
    struct Envelope {
      lumenbrook::Envelope envelope;
      friend bool operator==(const Envelope&, const Envelope&) = default;
    };
    // Close the connection after sending what is queued.
    struct Close {
      std::string reason;
      friend bool operator==(const Close&, const Close&) = default;
    };
    // Count one failed pairing attempt.
    struct PairingFailed {
      friend bool operator==(const PairingFailed&, const PairingFailed&) = default;
    };

    using Value =
        std::variant<Send, ShowPairingCode, Paired, Connected, Envelope, Close, PairingFailed>;
    Value value;

    friend bool operator==(const Output&, const Output&) = default;
  };

  using TrustFunction = std::function<TrustStore()>;
  // The open pairing window's secret (32 hexadecimal digits), or nothing while pairing is
  // closed.
  using SecretFunction = std::function<std::optional<std::string>()>;
  // Now, for the dates the session writes into the trust store (pairedAt, revokedAt).
  using Clock = std::function<Date()>;

  // Texts this session sends in `refused`, besides the trust store's. The phone shows them
  // as they stand, so they are part of the user interface.
  static constexpr std::string_view pairRefusal =
      "This Mac isn't expecting this phone. On the Mac, choose Pair a phone and scan the new "
      "code.";
  static constexpr std::string_view alreadyPairedRefusal = "This phone is already paired";
  static constexpr std::string_view pairCheckRefusal = "Pairing check failed";
  static constexpr std::string_view phoneProofRefusal =
      "This phone couldn't prove it scanned this Mac's code";
  static constexpr std::string_view loginProofRefusal = "Couldn't prove the pairing key";
  // Every text a host session can send in `refused`: its own and the trust store's.
  static constexpr auto refusals =
      session_detail::join(std::array{pairRefusal, alreadyPairedRefusal, pairCheckRefusal,
                                      phoneProofRefusal, loginProofRefusal},
                           std::array{TrustStore::refusal}, TrustStore::pairRefusals);

  // The host server's form: every trust decision reads the store through `liveTrust`, and a
  // new pairing is only reported (`paired`), the owner stores it. The session's own store
  // stays empty. REQUIRES (all forms): `clock` is callable.
  static HostSession withLiveTrust(DeviceIdentity identity, TrustFunction liveTrust,
                                   SecretFunction pairingSecret, Clock clock);
  // With a store of its own, which a successful pairing updates.
  static HostSession withTrust(DeviceIdentity identity, TrustStore trust,
                               SecretFunction pairingSecret, Clock clock);
  // The same with a fixed secret (or none: pairing closed).
  static HostSession withTrust(DeviceIdentity identity, TrustStore trust,
                               std::optional<std::string> pairingSecret, Clock clock);

  HostSession(HostSession&&) = default;
  HostSession& operator=(HostSession&&) = default;

  // One message from the phone; the outputs, possibly none.
  std::vector<Output> receive(const Wire& message);
  // The Mac user's verdict on the code (true when the codes match). Nothing unless the
  // session awaits it and it was not given yet.
  std::vector<Output> confirmPairing(bool ok);

  // The `sealed` message carrying one envelope to the logged-in phone. badMessage before
  // login, after close, or when the envelope cannot be encoded; exhausted when the control
  // sealer has run out. A failure leaves the session unchanged: skip the send.
  Result<Wire, SecureChannelError> seal(const lumenbrook::Envelope& envelope);

  // The sealer and opener of video datagram stream `stream`, while logged in; nothing
  // otherwise. A stream number gets one sealer per login: asking again gives nothing, since a
  // second sealer would repeat the first one's nonces.
  std::optional<Sealer> makeDatagramSealer(std::uint32_t stream);
  std::optional<Opener> makeDatagramOpener(std::uint32_t stream) const;

  // Ends the session at once and drops its pairing and keys; no outputs.
  void abort();
  // Marks the device revoked now in the session's own store (not in a live store).
  void revoke(const Uuid& deviceID);
  // Sets the session's own store's kill switch (not a live store's).
  void setKillSwitch(bool on);

  Phase phase() const { return phase_; }
  bool pairingActive() const {
    return phase_ == Phase::pairCommitted || phase_ == Phase::pairRevealed ||
           phase_ == Phase::pairAwaitingPerson;
  }
  bool awaitingPerson() const { return phase_ == Phase::pairAwaitingPerson; }
  bool authenticated() const { return phase_ == Phase::authenticated; }
  bool isClosed() const { return phase_ == Phase::closed; }
  // The logged-in device, set at login.
  const std::optional<Uuid>& deviceID() const { return deviceID_; }
  // The store trust decisions use: the live one when given, else the session's own.
  TrustStore trust() const;
  const TrustStore& ownTrust() const { return ownTrust_; }

 private:
  struct Hello {
    Uuid id;
    Bytes key;
  };

  HostSession(DeviceIdentity identity, TrustFunction liveTrust, TrustStore ownTrust,
              SecretFunction pairingSecret, Clock clock);

  std::vector<Output> fail(std::string reason, std::optional<std::string_view> text, bool counts);
  std::vector<Output> onClientHello(const Wire::ClientHello& m);
  std::vector<Output> onPairStart(const Wire::PairStart& m);
  std::vector<Output> onPairReveal(const Wire::PairReveal& m);
  std::vector<Output> onPairPhoneProof(const Wire::PairPhoneProof& m);
  std::vector<Output> onPairPhoneConfirmed(const Wire::PairPhoneConfirmed& m);
  std::vector<Output> onClientFinish(const Wire::ClientFinish& m);
  std::vector<Output> onSealed(const Wire::Sealed& m);
  std::vector<Output> settlePairing();

  TrustFunction liveTrust_;
  TrustStore ownTrust_;
  DeviceIdentity identity_;
  SecretFunction pairingSecret_;
  Clock clock_;
  std::optional<bool> macSaid_;
  std::optional<bool> phoneSaid_;
  Phase phase_ = Phase::fresh;
  std::optional<MacPairing> pairing_;
  std::optional<PairingResult> pendingResult_;
  std::optional<HandshakeKeys> keys_;
  std::optional<Hello> hello_;
  std::optional<Opener> opener_;
  std::optional<Sealer> sealer_;
  std::optional<Uuid> deviceID_;
  std::set<std::uint32_t> sealedStreams_;
};

}  // namespace lumenbrook
