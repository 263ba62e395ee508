#include "core/session/host_session.h"

#include <utility>

#include "core/messages/control_codec.h"
#include "core/session/confirmation_tag.h"

namespace lumenbrook {
namespace {

using Output = HostSession::Output;

// Close reasons: they reach the host's log as "close: <reason>".
constexpr std::string_view kBadHello = "bad hello";
constexpr std::string_view kRefused = "refused";
constexpr std::string_view kPairingClosed = "pairing closed";
constexpr std::string_view kStartTagInvalid = "start tag invalid";
constexpr std::string_view kBadPairStart = "bad pairStart";
constexpr std::string_view kCommitmentMismatch = "commitment mismatch";
constexpr std::string_view kPhoneProofFailed = "phone proof failed";
constexpr std::string_view kBadPhoneConfirmation = "bad phone confirmation";
constexpr std::string_view kCodesDidntMatch = "codes didn't match";
constexpr std::string_view kAlreadyPaired = "already paired";
constexpr std::string_view kPaired = "paired; phone reconnects with the new key";
constexpr std::string_view kBadProof = "bad proof";
constexpr std::string_view kNoOpener = "no opener";
constexpr std::string_view kBadSealedFrame = "bad sealed frame";
constexpr std::string_view kUnexpected = "unexpected message";

Output send(Wire::Value message) { return Output{Output::Send{Wire{std::move(message)}}}; }
Output close(std::string_view reason) { return Output{Output::Close{std::string(reason)}}; }

Bytes raw(const crypto::PublicKey& key) { return Bytes(key.begin(), key.end()); }

// Every record of one opened payload, or nothing when any of it is malformed. The payload is
// one authenticated unit, so a trailing partial record can never be completed: it is as bad
// as a broken one.
std::optional<std::vector<Envelope>> decodePayload(Bytes plaintext) {
  auto envelopes = ControlCodec::decode(plaintext);
  if (!envelopes || !plaintext.empty()) return std::nullopt;
  return std::move(envelopes).value();
}

}  // namespace

HostSession::HostSession(DeviceIdentity identity, TrustFunction liveTrust, TrustStore ownTrust,
                         SecretFunction pairingSecret, Clock clock)
    : liveTrust_(std::move(liveTrust)),
      ownTrust_(std::move(ownTrust)),
      identity_(std::move(identity)),
      pairingSecret_(std::move(pairingSecret)),
      clock_(std::move(clock)) {}

HostSession HostSession::withLiveTrust(DeviceIdentity identity, TrustFunction liveTrust,
                                       SecretFunction pairingSecret, Clock clock) {
  return HostSession(std::move(identity), std::move(liveTrust), TrustStore(),
                     std::move(pairingSecret), std::move(clock));
}

HostSession HostSession::withTrust(DeviceIdentity identity, TrustStore trust,
                                   SecretFunction pairingSecret, Clock clock) {
  return HostSession(std::move(identity), nullptr, std::move(trust), std::move(pairingSecret),
                     std::move(clock));
}

HostSession HostSession::withTrust(DeviceIdentity identity, TrustStore trust,
                                   std::optional<std::string> pairingSecret, Clock clock) {
  return withTrust(std::move(identity), std::move(trust),
                   SecretFunction([secret = std::move(pairingSecret)] { return secret; }),
                   std::move(clock));
}

TrustStore HostSession::trust() const { return liveTrust_ ? liveTrust_() : ownTrust_; }

std::vector<Output> HostSession::fail(std::string reason, std::optional<std::string_view> text,
                                      bool counts) {
  phase_ = Phase::closed;
  std::vector<Output> out;
  if (text) out.push_back(send(Wire::Refused{std::string(*text)}));
  if (counts) out.push_back(Output{Output::PairingFailed{}});
  out.push_back(Output{Output::Close{std::move(reason)}});
  return out;
}

std::vector<Output> HostSession::receive(const Wire& message) {
  const Wire::Value& v = message.value;
  switch (phase_) {
    case Phase::closed:
      return {};
    case Phase::fresh:
      if (auto* m = std::get_if<Wire::ClientHello>(&v)) return onClientHello(*m);
      if (auto* m = std::get_if<Wire::PairStart>(&v)) return onPairStart(*m);
      break;
    case Phase::pairCommitted:
      if (auto* m = std::get_if<Wire::PairReveal>(&v)) return onPairReveal(*m);
      break;
    case Phase::pairRevealed:
      if (auto* m = std::get_if<Wire::PairPhoneProof>(&v)) return onPairPhoneProof(*m);
      break;
    case Phase::pairAwaitingPerson:
      if (auto* m = std::get_if<Wire::PairPhoneConfirmed>(&v)) return onPairPhoneConfirmed(*m);
      break;
    case Phase::handshaking:
      if (auto* m = std::get_if<Wire::ClientFinish>(&v)) return onClientFinish(*m);
      break;
    case Phase::authenticated:
      if (auto* m = std::get_if<Wire::Sealed>(&v)) return onSealed(*m);
      break;
  }
  // Counted toward the pairing lock-out only while the key exchange itself is under way.
  const bool counts = phase_ == Phase::pairCommitted || phase_ == Phase::pairRevealed;
  return fail(std::string(kUnexpected), std::nullopt, counts);
}

std::vector<Output> HostSession::onClientHello(const Wire::ClientHello& m) {
  if (m.nonce.size() != Handshake::nonceSize || m.handle.size() != 32) {
    phase_ = Phase::closed;
    return {close(kBadHello)};
  }
  std::optional<PairedDevice> device = trust().device(m.handle, m.nonce);
  if (!device) return fail(std::string(kRefused), TrustStore::refusal, false);

  Handshake::HostReply reply =
      Handshake::hostReply(device->psk, device->id, m.nonce, Handshake::nonce());
  keys_ = std::move(reply.keys);
  hello_ = Hello{device->id, device->identityKey};
  phase_ = Phase::handshaking;
  return {send(Wire::ServerHello{std::move(reply.nonceH), std::move(reply.macH)})};
}

std::vector<Output> HostSession::onPairStart(const Wire::PairStart& m) {
  std::optional<std::string> secret = pairingSecret_ ? pairingSecret_() : std::nullopt;
  if (!secret) return fail(std::string(kPairingClosed), pairRefusal, false);
  if (!MacPairing::validStart(*secret, m.tag, m.deviceID, m.name, m.identityKey, m.commitment)) {
    return fail(std::string(kStartTagInvalid), pairRefusal, false);
  }
  ConnectDecision decision = trust().canPair(m.deviceID, m.identityKey);
  if (!decision.allowed()) return fail(decision.reason(), decision.reason(), false);

  MacPairing pairing(identity_, *secret);
  auto commitM = pairing.start(m.deviceID, m.name, m.identityKey, m.commitment);
  if (!commitM) return fail(std::string(kBadPairStart), std::nullopt, true);

  pairing_.emplace(std::move(pairing));
  phase_ = Phase::pairCommitted;
  return {send(Wire::PairMacCommit{raw(identity_.publicKey()), identity_.name(),
                                   std::move(commitM).value()})};
}

std::vector<Output> HostSession::onPairReveal(const Wire::PairReveal& m) {
  if (pairing_) {
    auto reveal = pairing_->reveal(m.publicKey, m.nonce, identity_.name());
    if (reveal) {
      phase_ = Phase::pairRevealed;
      MacPairing::Reveal& r = reveal.value();
      return {send(Wire::PairMacReveal{std::move(r.ephM), std::move(r.nonceM), std::move(r.sigM),
                                       std::move(r.tagM)})};
    }
  }
  return fail(std::string(kCommitmentMismatch), pairCheckRefusal, true);
}

std::vector<Output> HostSession::onPairPhoneProof(const Wire::PairPhoneProof& m) {
  std::optional<MacPairing::PhoneInfo> phone = pairing_ ? pairing_->phoneInfo() : std::nullopt;
  if (phone) {
    auto result = pairing_->verify(m.signature, m.tag);
    if (result) {
      pendingResult_ = std::move(result).value();
      phase_ = Phase::pairAwaitingPerson;
      return {Output{Output::ShowPairingCode{pendingResult_->code, phone->name}},
              send(Wire::PairCodeShown{})};
    }
  }
  return fail(std::string(kPhoneProofFailed), phoneProofRefusal, true);
}

std::vector<Output> HostSession::onPairPhoneConfirmed(const Wire::PairPhoneConfirmed& m) {
  if (phoneSaid_ || !pendingResult_ ||
      !confirmation::isValid(m.tag, *pendingResult_, confirmation::phoneSide, m.ok)) {
    return fail(std::string(kBadPhoneConfirmation), std::nullopt, true);
  }
  phoneSaid_ = m.ok;
  return settlePairing();
}

std::vector<Output> HostSession::confirmPairing(bool ok) {
  if (phase_ != Phase::pairAwaitingPerson || macSaid_) return {};
  macSaid_ = ok;
  return settlePairing();
}

std::vector<Output> HostSession::settlePairing() {
  std::optional<MacPairing::PhoneInfo> phone = pairing_ ? pairing_->phoneInfo() : std::nullopt;
  if (!pendingResult_ || !phone) return {};

  if (macSaid_ == false || phoneSaid_ == false) {
    Bytes tag = confirmation::tag(*pendingResult_, confirmation::macSide, false);
    phase_ = Phase::closed;
    pendingResult_.reset();
    pairing_.reset();
    return {send(Wire::PairConfirmed{false, std::move(tag)}), Output{Output::PairingFailed{}},
            close(kCodesDidntMatch)};
  }
  if (!macSaid_ || !phoneSaid_) return {};

  PairingResult result = std::move(*pendingResult_);
  phase_ = Phase::closed;
  pendingResult_.reset();
  pairing_.reset();

  PairedDevice device{phone->id, phone->name, phone->key, result.psk, clock_(), std::nullopt};
  TrustStore store = trust();
  if (!store.add(device)) {
    return {send(Wire::Refused{std::string(alreadyPairedRefusal)}), close(kAlreadyPaired)};
  }
  // With a live store the copy is dropped: the owner stores the device when it performs
  // `paired`, and two writers of one store would race.
  if (!liveTrust_) ownTrust_ = std::move(store);
  return {Output{Output::Paired{std::move(device)}},
          send(Wire::PairConfirmed{true, confirmation::tag(result, confirmation::macSide, true)}),
          close(kPaired)};
}

std::vector<Output> HostSession::onClientFinish(const Wire::ClientFinish& m) {
  if (keys_ && hello_ && Handshake::hostVerify(*keys_, m.mac)) {
    opener_.emplace(*keys_, false, false);
    sealer_.emplace(*keys_, false, false);
    phase_ = Phase::authenticated;
    deviceID_ = hello_->id;
    return {Output{Output::Connected{hello_->id}}};
  }
  return fail(std::string(kBadProof), loginProofRefusal, false);
}

std::vector<Output> HostSession::onSealed(const Wire::Sealed& m) {
  if (!opener_) {
    phase_ = Phase::closed;
    return {close(kNoOpener)};
  }
  // The opener changes only when the payload authenticates, and then keeps that change even
  // if the records inside are bad: the counter was used.
  auto plaintext = opener_->open(m.payload);
  std::optional<std::vector<Envelope>> envelopes;
  if (plaintext) envelopes = decodePayload(std::move(plaintext).value());
  if (!envelopes) {
    phase_ = Phase::closed;
    return {close(kBadSealedFrame)};
  }
  std::vector<Output> out;
  out.reserve(envelopes->size());
  for (Envelope& e : *envelopes) out.push_back(Output{Output::Envelope{std::move(e)}});
  return out;
}

Result<Wire, SecureChannelError> HostSession::seal(const Envelope& envelope) {
  if (phase_ != Phase::authenticated || !sealer_) return Failure{SecureChannelError::badMessage};
  auto record = ControlCodec::encode(envelope);
  if (!record) return Failure{SecureChannelError::badMessage};
  auto payload = sealer_->seal(record.value());
  if (!payload) return Failure{payload.error()};
  return Wire{Wire::Sealed{std::move(payload).value()}};
}

std::optional<Sealer> HostSession::makeDatagramSealer(std::uint32_t stream) {
  if (phase_ != Phase::authenticated || !keys_) return std::nullopt;
  if (!sealedStreams_.insert(stream).second) return std::nullopt;
  return Sealer(keys_->stream(stream), false, true);
}

std::optional<Opener> HostSession::makeDatagramOpener(std::uint32_t stream) const {
  if (phase_ != Phase::authenticated || !keys_) return std::nullopt;
  return Opener(keys_->stream(stream), false, true);
}

void HostSession::abort() {
  phase_ = Phase::closed;
  pendingResult_.reset();
  pairing_.reset();
  keys_.reset();
  opener_.reset();
  sealer_.reset();
}

void HostSession::revoke(const Uuid& deviceID) { ownTrust_.revoke(deviceID, clock_()); }

void HostSession::setKillSwitch(bool on) { ownTrust_.setKillSwitch(on); }

}  // namespace lumenbrook
