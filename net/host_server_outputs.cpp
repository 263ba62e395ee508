// Carrying out a host session's outputs, sealed control messages, and status reports.

#include <type_traits>
#include <variant>

#include "net/host_server.h"
#include "net/host_server_client.h"

namespace lumenbrook {

void HostServer::perform(const ClientPtr& client,
                         const std::vector<HostSession::Output>& outputs) {
  using Output = HostSession::Output;
  for (const Output& output : outputs) {
    if (client->closed) return;
    // False: stop carrying out the rest of the list.
    bool goOn = std::visit(
        [&](const auto& o) -> bool {
          using T = std::decay_t<decltype(o)>;
          if constexpr (std::is_same_v<T, Output::Send>) {
            client->link->send(o.message);
          } else if constexpr (std::is_same_v<T, Output::ShowPairingCode>) {
            client->pendingCode = o.code;
            schedulePromptCheck(client);
            if (auto handler = onPairingCode) handler(o.code, o.phoneName);
          } else if constexpr (std::is_same_v<T, Output::Paired>) {
            if (!trust_.add(o.device)) {
              log("couldn't store the phone; not confirming");
              closeClient(client);
              return false;
            }
            closePairingWindow();
            if (auto handler = onPaired) handler(o.device);
            announceTrust();
            client->paired = true;
          } else if constexpr (std::is_same_v<T, Output::Connected>) {
            auto it = trust_.devices().find(o.deviceID);
            if (it == trust_.devices().end() ||
                !trust_.decide(o.deviceID, it->second.identityKey).allowed()) {
              log("refused at login: revoked or switched off");
              closeClient(client);
              return false;
            }
            client->deviceID = o.deviceID;
            if (auto handler = onConnected) handler(o.deviceID);
            sendControl(client, ControlMessage{ControlMessage::Welcome{
                                    config_.name, config_.width, config_.height, config_.fps}});
            scheduleDefaultStream(client);
          } else if constexpr (std::is_same_v<T, Output::Envelope>) {
            if (o.envelope.isControl()) {
              handleControl(client, o.envelope.control());
            } else if (auto handler = onInput) {
              handler(o.envelope.input());
            }
          } else if constexpr (std::is_same_v<T, Output::Close>) {
            log("close: " + o.reason);
            stopStream(client);
            client->link->closeAfterSending();
          } else if constexpr (std::is_same_v<T, Output::PairingFailed>) {
            countFailedPairing();
          }
          return true;
        },
        output.value);
    if (!goOn) return;
  }
}

void HostServer::countFailedPairing() {
  ++failedPairings_;
  if (failedPairings_ < pairingAttemptLimit) return;
  closePairingWindow();
  if (auto handler = onPairingLocked) handler();
  log("pairing locked after 3 failed attempts; reopen Pair a phone");
}

void HostServer::sendControl(const ClientPtr& client, ControlMessage message) {
  auto sealed = client->session.seal(Envelope{std::move(message)});
  if (!sealed) return;
  client->link->send(sealed.value());
}

void HostServer::handleControl(const ClientPtr& client, const ControlMessage& message) {
  const ControlMessage::Value& v = message.value;
  if (const auto* hello = std::get_if<ControlMessage::Hello>(&v)) {
    handleScreen(client, hello->screen);
  } else if (const auto* changed = std::get_if<ControlMessage::ScreenChanged>(&v)) {
    handleScreen(client, changed->screen);
  } else if (const auto* wanted = std::get_if<ControlMessage::StatusWanted>(&v)) {
    client->wantsStatus = wanted->wanted;
    if (wanted->wanted && !client->statusLoopRunning) statusStep(client);
  } else {
    forwardToStream(client, message);
  }
}

void HostServer::statusStep(const ClientPtr& client) {
  if (client->closed || !client->session.authenticated() || !client->wantsStatus ||
      !statusProvider) {
    client->statusLoopRunning = false;
    return;
  }
  client->statusLoopRunning = true;
  if (std::optional<MacStatus> status = statusProvider()) {
    sendControl(client, ControlMessage{ControlMessage::MacStatusReport{status->sanitized()}});
  }
  std::weak_ptr<HostServer> weak = weak_from_this();
  std::weak_ptr<Client> weakClient = client;
  client->statusTimer = loop_->schedule(statusPeriod(statusInterval, timing_), [weak, weakClient] {
    auto self = weak.lock();
    auto c = weakClient.lock();
    if (self && c) self->statusStep(c);
  });
}

}  // namespace lumenbrook
