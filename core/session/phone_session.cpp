#include "core/session/phone_session.h"

#include <algorithm>
#include <utility>

#include "core/messages/control_codec.h"
#include "core/security/hex.h"
#include "core/session/confirmation_tag.h"

namespace lumenbrook {
namespace {

using Output = PhoneSession::Output;

// Failure texts, shown to the phone's user.
constexpr std::string_view kCantPair =
    "This link can't pair. Open Pair a phone on the computer and scan again.";
constexpr std::string_view kNotTheQRMac = "This isn't the computer from the QR code";
constexpr std::string_view kMacProofFailed =
    "This computer couldn't prove it's the one in the QR code";
constexpr std::string_view kPairingOutOfOrder = "pairing out of order";
constexpr std::string_view kAnswerNotFromMac = "pairing answer wasn't from this computer";
constexpr std::string_view kMacRejected = "The computer said the codes didn't match";
constexpr std::string_view kPhoneRejected = "You said the codes didn't match. Nothing was saved.";
constexpr std::string_view kHandshakeOutOfOrder = "handshake out of order";
constexpr std::string_view kLoginProofFailed =
    "This computer couldn't prove it's the one you paired with";
constexpr std::string_view kNoOpener = "no opener";
constexpr std::string_view kBadSealedFrame = "bad sealed frame";
constexpr std::string_view kUnexpected = "unexpected message";

constexpr std::size_t kSecretHexLength = 32;

Output send(Wire::Value message) { return Output{Output::Send{Wire{std::move(message)}}}; }

Bytes raw(const crypto::PublicKey& key) { return Bytes(key.begin(), key.end()); }

// As on the host: a payload is one authenticated unit, so a partial trailing record is bad.
std::optional<std::vector<Envelope>> decodePayload(Bytes plaintext) {
  auto envelopes = ControlCodec::decode(plaintext);
  if (!envelopes || !plaintext.empty()) return std::nullopt;
  return std::move(envelopes).value();
}

}  // namespace

bool PhoneSession::isKnownRefusal(std::string_view text) {
  return std::ranges::find(knownRefusals, text) != knownRefusals.end();
}

PhoneSession::PhoneSession(DeviceIdentity identity) : identity_(std::move(identity)) {}

void PhoneSession::reset() {
  pairing_.reset();
  pairResult_.reset();
  hostKey_.reset();
  hostName_.reset();
  phoneConfirmed_ = false;
  psk_.reset();
  nonceP_.reset();
  sealer_.reset();
  opener_.reset();
  keys_.reset();
  sealedStreams_.clear();
}

std::vector<Output> PhoneSession::fail(std::string_view text) {
  phase_ = Phase::closed;
  return {Output{Output::Failed{std::string(text)}}};
}

std::vector<Output> PhoneSession::startPairing(const QRPayload& qr) {
  reset();
  if (qr.secret.size() != kSecretHexLength || !hexDecode(qr.secret)) return fail(kCantPair);
  pairing_.emplace(identity_, qr);
  phase_ = Phase::pairStarted;
  return {send(Wire::PairStart{identity_.id(), identity_.name(), raw(identity_.publicKey()),
                               pairing_->commitment(), pairing_->startTag()})};
}

std::vector<Output> PhoneSession::connect(ByteView psk) {
  reset();
  psk_ = Bytes(psk.begin(), psk.end());
  nonceP_ = Handshake::nonce();
  phase_ = Phase::helloSent;
  return {send(Wire::ClientHello{Handshake::handle(*psk_, identity_.id(), *nonceP_), *nonceP_})};
}

std::vector<Output> PhoneSession::confirmOnPhone(bool ok) {
  if (phase_ != Phase::pairAwaitingConfirm || phoneConfirmed_ || !pairResult_) return {};
  Bytes tag = confirmation::tag(*pairResult_, confirmation::phoneSide, ok);
  if (ok) {
    phoneConfirmed_ = true;
    return {send(Wire::PairPhoneConfirmed{true, std::move(tag)})};
  }
  phase_ = Phase::closed;
  return {send(Wire::PairPhoneConfirmed{false, std::move(tag)}),
          Output{Output::Failed{std::string(kPhoneRejected)}}};
}

std::vector<Output> PhoneSession::receive(const Wire& message) {
  const Wire::Value& v = message.value;
  if (auto* m = std::get_if<Wire::Refused>(&v)) {
    // Ignored once logged in: a Mac that turns a login down after all closes the connection.
    if (phase_ == Phase::connected) return {};
    return onRefused(*m);
  }
  switch (phase_) {
    case Phase::closed:
      return {};
    case Phase::fresh:
      break;
    case Phase::pairStarted:
      if (auto* m = std::get_if<Wire::PairMacCommit>(&v)) return onPairMacCommit(*m);
      break;
    case Phase::pairRevealed:
      if (auto* m = std::get_if<Wire::PairMacReveal>(&v)) return onPairMacReveal(*m);
      if (std::holds_alternative<Wire::PairCodeShown>(v)) return onPairCodeShown();
      break;
    case Phase::pairAwaitingConfirm:
      if (auto* m = std::get_if<Wire::PairConfirmed>(&v)) return onPairConfirmed(*m);
      break;
    case Phase::helloSent:
      if (auto* m = std::get_if<Wire::ServerHello>(&v)) return onServerHello(*m);
      break;
    case Phase::connected:
      if (auto* m = std::get_if<Wire::Sealed>(&v)) return onSealed(*m);
      break;
  }
  return fail(kUnexpected);
}

std::vector<Output> PhoneSession::onRefused(const Wire::Refused& m) {
  return fail(isKnownRefusal(m.reason) ? std::string_view(m.reason) : refusedText);
}

std::vector<Output> PhoneSession::onPairMacCommit(const Wire::PairMacCommit& m) {
  if (!pairing_ || !pairing_->receive(m.identityKey, m.hostName, m.commitment)) {
    return fail(kNotTheQRMac);
  }
  hostKey_ = m.identityKey;
  hostName_ = m.hostName;
  phase_ = Phase::pairRevealed;
  PhonePairing::Reveal reveal = pairing_->reveal();
  return {send(Wire::PairReveal{std::move(reveal.publicKey), std::move(reveal.nonce)})};
}

std::vector<Output> PhoneSession::onPairMacReveal(const Wire::PairMacReveal& m) {
  if (!pairing_) return fail(kMacProofFailed);
  auto finish = pairing_->finish(m.publicKey, m.nonce, m.signature, m.tag);
  if (!finish) return fail(kMacProofFailed);
  pairResult_ = std::move(finish->result);
  return {send(Wire::PairPhoneProof{std::move(finish->sigP), std::move(finish->tagP)})};
}

std::vector<Output> PhoneSession::onPairCodeShown() {
  if (!pairResult_) return fail(kPairingOutOfOrder);
  phase_ = Phase::pairAwaitingConfirm;
  return {Output{Output::ShowPairingCode{pairResult_->code}}};
}

std::vector<Output> PhoneSession::onPairConfirmed(const Wire::PairConfirmed& m) {
  if (!pairResult_ || !confirmation::isValid(m.tag, *pairResult_, confirmation::macSide, m.ok)) {
    return fail(kAnswerNotFromMac);
  }
  if (!m.ok) return fail(kMacRejected);
  if (!phoneConfirmed_ || !hostKey_ || !hostName_) return fail(kPairingOutOfOrder);
  phase_ = Phase::closed;
  pairing_.reset();
  return {Output{Output::Paired{pairResult_->psk, *hostKey_, *hostName_}}};
}

std::vector<Output> PhoneSession::onServerHello(const Wire::ServerHello& m) {
  if (!psk_ || !nonceP_ || m.nonce.size() != Handshake::nonceSize) {
    return fail(kHandshakeOutOfOrder);
  }
  auto finish = Handshake::phoneFinish(*psk_, identity_.id(), *nonceP_, m.nonce, m.mac);
  if (!finish) return fail(kLoginProofFailed);
  sealer_.emplace(finish->keys, true, false);
  opener_.emplace(finish->keys, true, false);
  keys_ = std::move(finish->keys);
  phase_ = Phase::connected;
  return {send(Wire::ClientFinish{std::move(finish->macP)}), Output{Output::Connected{}}};
}

std::vector<Output> PhoneSession::onSealed(const Wire::Sealed& m) {
  if (!opener_) return fail(kNoOpener);
  auto plaintext = opener_->open(m.payload);
  std::optional<std::vector<Envelope>> envelopes;
  if (plaintext) envelopes = decodePayload(std::move(plaintext).value());
  if (!envelopes) return fail(kBadSealedFrame);
  std::vector<Output> out;
  out.reserve(envelopes->size());
  for (Envelope& e : *envelopes) out.push_back(Output{Output::Envelope{std::move(e)}});
  return out;
}

Result<Wire, SecureChannelError> PhoneSession::seal(const Envelope& envelope) {
  if (phase_ != Phase::connected || !sealer_) return Failure{SecureChannelError::badMessage};
  auto record = ControlCodec::encode(envelope);
  if (!record) return Failure{SecureChannelError::badMessage};
  auto payload = sealer_->seal(record.value());
  if (!payload) return Failure{payload.error()};
  return Wire{Wire::Sealed{std::move(payload).value()}};
}

std::optional<Sealer> PhoneSession::makeDatagramSealer(std::uint32_t stream) {
  if (phase_ != Phase::connected || !keys_) return std::nullopt;
  if (!sealedStreams_.insert(stream).second) return std::nullopt;
  return Sealer(keys_->stream(stream), true, true);
}

std::optional<Opener> PhoneSession::makeDatagramOpener(std::uint32_t stream) const {
  if (phase_ != Phase::connected || !keys_) return std::nullopt;
  return Opener(keys_->stream(stream), true, true);
}

}  // namespace lumenbrook
