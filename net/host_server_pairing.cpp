// The pairing window and the Mac user's trust decisions.

#include <algorithm>
#include <chrono>
#include <cmath>

#include "net/host_server.h"
#include "net/host_server_client.h"

namespace lumenbrook {

namespace {

// A window of NaN, negative or absurd length must neither overflow the timer's clock nor
// stay open for ever.
HostServer::Duration windowLength(double seconds) {
  using Seconds = std::chrono::duration<double>;
  constexpr double longest = 365.0 * 24 * 3600;
  double s = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, longest);
  return std::chrono::duration_cast<HostServer::Duration>(Seconds(s));
}

}  // namespace

std::optional<std::string> HostServer::openPairing(double seconds) {
  return loop_->postAndWait([this, seconds]() -> std::optional<std::string> {
    if (trust_.killSwitch() || !pairBase_) return std::nullopt;
    std::string secret = QRPayload::makeSecret();
    pairingSecret_ = secret;
    failedPairings_ = 0;
    pairingDeadline_.cancel();
    std::weak_ptr<HostServer> weak = weak_from_this();
    pairingDeadline_ = loop_->schedule(windowLength(seconds), [weak] {
      auto self = weak.lock();
      if (!self) return;
      self->closePairingWindow();
      self->log("pairing window expired");
    });
    return QRPayload{pairBase_->hostName, pairBase_->port, pairBase_->hostFingerprint,
                     std::move(secret)}
        .code();
  });
}

void HostServer::closePairing() {
  loop_->post([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->closePairingWindow();
  });
}

void HostServer::closePairingWindow() {
  pairingSecret_.reset();
  pairingDeadline_.cancel();
  for (const ClientPtr& c : snapshot()) {
    if (c->session.pairingActive()) closeClient(c);
  }
}

void HostServer::confirm(const std::string& code, bool ok) {
  loop_->post([weak = weak_from_this(), code, ok] {
    auto self = weak.lock();
    if (!self) return;
    for (const ClientPtr& c : self->snapshot()) {
      if (c->pendingCode != code) continue;
      c->pendingCode.reset();
      std::vector<HostSession::Output> outputs;
      if (c->session.awaitingPerson()) outputs = c->session.confirmPairing(ok);
      self->perform(c, outputs);
    }
  });
}

void HostServer::forget(const Uuid& id) {
  loop_->postAndWait([this, id] {
    trust_.forget(id);
    closeUnsettledAndDevice(id);
    announceTrust();
  });
}

void HostServer::revoke(const Uuid& id) {
  loop_->postAndWait([this, id] {
    trust_.revoke(id, environment_.clock());
    closeUnsettledAndDevice(id);
    announceTrust();
  });
}

// Every connection of the device, and every one that has not logged in: a phone in the
// middle of a login or a pairing may be the device itself.
void HostServer::closeUnsettledAndDevice(const Uuid& id) {
  for (const ClientPtr& c : snapshot()) {
    if (!c->deviceID || *c->deviceID == id) closeClient(c);
  }
}

void HostServer::announceTrust() {
  if (auto handler = onTrustChanged) handler(trust_);
}

void HostServer::setKillSwitch(bool on) {
  loop_->post([weak = weak_from_this(), on] {
    auto self = weak.lock();
    if (!self) return;
    self->trust_.setKillSwitch(on);
    if (on) {
      self->closePairingWindow();
      self->closeEveryClient();
      if (self->listener_) {
        self->listener_->cancel();
        self->listener_.reset();
      }
      if (self->advertiser_) self->advertiser_->withdraw();
    } else if (!self->listener_) {
      self->startListener(self->port_);
    }
    self->announceTrust();
  });
}

}  // namespace lumenbrook
