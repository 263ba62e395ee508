#include "phone/phone_client.h"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/security/qr_payload.h"
#include "net/local_interfaces.h"

namespace lumenbrook {

std::shared_ptr<PhoneClient> PhoneClient::make(EventLoop& loop, DeviceIdentity identity) {
  return std::shared_ptr<PhoneClient>(new PhoneClient(loop, std::move(identity)));
}

PhoneClient::PhoneClient(EventLoop& loop, DeviceIdentity identity)
    : loop_(loop), deviceID_(identity.id()), session_(std::move(identity)) {}

bool PhoneClient::pair(std::string_view code, std::optional<Endpoint> via) {
  std::optional<QRPayload> qr =
      QRPayload::parse(code, LocalNetwork::ownIPv6(localInterfaces()));
  if (!qr) return false;
  fingerprint_ = qr->hostFingerprint;
  std::vector<PhoneSession::Output> outputs = session_.startPairing(*qr);
  // A code the session refuses outright (no secret) fails without a connection.
  const bool sends = std::any_of(outputs.begin(), outputs.end(), [](const auto& o) {
    return std::holds_alternative<PhoneSession::Output::Send>(o.value);
  });
  if (sends) {
    dial(via ? *via : Endpoint{qr->hostName, qr->port});
  } else {
    drop();
  }
  perform(outputs);
  return true;
}

void PhoneClient::confirmCode(bool ok) { perform(session_.confirmOnPhone(ok)); }

void PhoneClient::login(const std::string& host, std::uint16_t port, ByteView psk) {
  dial(Endpoint{host, port});
  perform(session_.connect(psk));
}

bool PhoneClient::send(const Envelope& envelope) {
  if (!link_) return false;
  auto sealed = session_.seal(envelope);
  if (!sealed) return false;
  link_->send(sealed.value());
  return true;
}

std::optional<StreamClient::DatagramKeys> PhoneClient::datagramKeys(std::uint32_t stream) {
  if (!session_.connected()) return std::nullopt;
  std::optional<Opener> opener = session_.makeDatagramOpener(stream);
  if (!opener) return std::nullopt;
  std::optional<Sealer> sealer = session_.makeDatagramSealer(stream);
  if (!sealer) return std::nullopt;
  return StreamClient::DatagramKeys{std::move(*sealer), std::move(*opener)};
}

StreamClient::Control PhoneClient::streamControl() {
  std::weak_ptr<PhoneClient> weak = weak_from_this();
  StreamClient::Control control;
  control.send = [weak](const Envelope& envelope) {
    auto self = weak.lock();
    return self && self->send(envelope);
  };
  control.datagramKeys = [weak](std::uint32_t stream) -> std::optional<StreamClient::DatagramKeys> {
    auto self = weak.lock();
    if (!self) return std::nullopt;
    return self->datagramKeys(stream);
  };
  control.macHost = mac_.host;
  return control;
}

void PhoneClient::close() {
  if (link_) link_->close();
}

void PhoneClient::finishSending() {
  if (link_) link_->closeAfterSending();
}

void PhoneClient::drop() {
  if (!link_) return;
  // The replaced attempt is over for the owner: nothing of it is reported any more.
  link_->onWire = nullptr;
  link_->onReady = nullptr;
  link_->onClose = nullptr;
  link_->close();
  link_.reset();
}

void PhoneClient::dial(const Endpoint& mac) {
  drop();
  mac_ = mac;
  answered_ = false;
  auto link = std::make_shared<FramedLink>(mac.host, mac.port, loop_);
  if (closeDelay_) link->setCloseAfterSendingDelay(*closeDelay_);
  std::weak_ptr<PhoneClient> weak = weak_from_this();
  std::weak_ptr<FramedLink> weakLink = link;
  link->onWire = [weak, weakLink](const Wire& message) {
    auto self = weak.lock();
    if (!self || self->link_ != weakLink.lock()) return;
    self->answered_ = true;
    self->perform(self->session_.receive(message));
  };
  link->onClose = [weak, weakLink](const std::string& reason) {
    auto self = weak.lock();
    auto l = weakLink.lock();
    if (self && l) self->onLinkClosed(l, reason);
  };
  link_ = link;
  link->start();
}

void PhoneClient::onLinkClosed(const std::shared_ptr<FramedLink>& link,
                               const std::string& reason) {
  if (link != link_) return;
  link_.reset();
  // The link's own words for a peer that finished sending.
  const bool unanswered = !answered_ && reason == "closed by the other side";
  if (auto handler = onClosed) handler(unanswered ? std::string(closedBeforeAnswering) : reason);
}

void PhoneClient::perform(const std::vector<PhoneSession::Output>& outputs) {
  using Output = PhoneSession::Output;
  // A callback may begin a new attempt; what is left of this one's outputs is dropped then.
  const std::shared_ptr<FramedLink> attempt = link_;
  for (const Output& output : outputs) {
    if (link_ != attempt) return;
    std::visit(
        [&](const auto& o) {
          using T = std::decay_t<decltype(o)>;
          if constexpr (std::is_same_v<T, Output::Send>) {
            if (link_) link_->send(o.message);
          } else if constexpr (std::is_same_v<T, Output::ShowPairingCode>) {
            if (auto handler = onPairingCode) handler(o.code);
          } else if constexpr (std::is_same_v<T, Output::Paired>) {
            // The pairing connection has done its work; the Mac closes its end as well.
            if (link_) link_->closeAfterSending();
            if (auto handler = onPaired) {
              handler(Pairing{mac_, fingerprint_, o.psk, o.hostIdentityKey, o.hostName});
            }
          } else if constexpr (std::is_same_v<T, Output::Envelope>) {
            if (auto handler = onEnvelope) handler(o.envelope);
          } else if constexpr (std::is_same_v<T, Output::Failed>) {
            // Whatever the session sent just before failing (a verdict) still goes out.
            if (link_) link_->closeAfterSending();
            if (auto handler = onFailed) handler(o.text);
          } else if constexpr (std::is_same_v<T, Output::Connected>) {
            if (auto handler = onConnected) handler();
          }
        },
        output.value);
  }
}

}  // namespace lumenbrook
