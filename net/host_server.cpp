#include "net/host_server.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <utility>

#include "core/security/local_network.h"
#include "net/framed_link.h"
#include "net/host_server_client.h"

namespace lumenbrook {
namespace {

// Counts the allocations of client records in `count`. A record's memory lives as long as
// any weak reference to it, so this shows what a scheduled closure still pins.
template <class T>
struct CountedAllocator {
  using value_type = T;
  explicit CountedAllocator(std::shared_ptr<std::size_t> count) : count(std::move(count)) {}
  template <class U>
  CountedAllocator(const CountedAllocator<U>& other) : count(other.count) {}  // NOLINT
  T* allocate(std::size_t n) {
    T* p = std::allocator<T>().allocate(n);
    ++*count;
    return p;
  }
  void deallocate(T* p, std::size_t n) {
    --*count;
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const CountedAllocator<U>& other) const {
    return count == other.count;
  }
  std::shared_ptr<std::size_t> count;
};

// The host as the per-host limit counts it: an IPv6 address stands for its /64, where one
// machine may pick any number of addresses; anything else for itself.
std::string hostKey(const std::string& host) {
  std::array<unsigned char, 16> v6{};
  if (::inet_pton(AF_INET6, host.c_str(), v6.data()) != 1) return host;
  std::fill(v6.begin() + 8, v6.end(), 0);
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (!::inet_ntop(AF_INET6, v6.data(), text.data(), text.size())) return host;
  return std::string(text.data()) + "/64";
}

// "1 minute", "5 minutes", "30 s", "250 ms": the refusal window in a summary line.
std::string windowText(HostServer::Duration window) {
  using namespace std::chrono;
  if (window >= minutes(1) && window % minutes(1) == HostServer::Duration::zero()) {
    const auto n = duration_cast<minutes>(window).count();
    return n == 1 ? "minute" : std::to_string(n) + " minutes";
  }
  if (window >= seconds(1) && window % seconds(1) == HostServer::Duration::zero()) {
    return std::to_string(duration_cast<seconds>(window).count()) + " s";
  }
  return std::to_string(duration_cast<milliseconds>(window).count()) + " ms";
}

}  // namespace

std::unique_ptr<ServiceAdvertiser> HostServer::avahiAdvertiser(
    EventLoop& loop, ServiceRecord record, std::function<void(const std::string&)> onLog) {
  return std::make_unique<AvahiAdvertiser>(loop, std::move(record), std::move(onLog));
}

HostServer::Duration HostServer::statusPeriod(double interval, const Timing& timing) {
  using Seconds = std::chrono::duration<double>;
  Seconds period = std::isfinite(interval) ? Seconds(interval) : Seconds(timing.statusFallback);
  period = std::max(period, Seconds(timing.statusMinimum));
  // Beyond this the conversion to the clock's integer ticks would overflow; a year is as good
  // as never for a status report.
  period = std::min(period, Seconds(365.0 * 24 * 3600));
  return std::chrono::duration_cast<Duration>(period);
}

std::shared_ptr<HostServer> HostServer::make(DeviceIdentity identity, TrustStore trust,
                                             Config config) {
  return make(std::move(identity), std::move(trust), std::move(config), Timing{}, Environment{});
}

struct HostServer::Owner {
  std::shared_ptr<HostServer> server;

  ~Owner() {
    EventLoop& loop = *server->loop_;
    if (!loop.isOnLoop()) {
      loop.postAndWait([s = server.get()] { s->shutDownOnLoop(); });
      loop.stop();
      server.reset();
      return;
    }
    // Released inside a callback: shut down here, and let a helper thread stop the loop once
    // this handler has returned (the loop cannot join itself) and release the server.
    server->shutDownOnLoop();
    std::thread([held = std::move(server)]() mutable {
      held->loop_->stop();
      held.reset();
    }).detach();
  }
};

std::shared_ptr<HostServer> HostServer::make(DeviceIdentity identity, TrustStore trust,
                                             Config config, Timing timing,
                                             Environment environment) {
  auto owner = std::make_shared<Owner>();
  owner->server = std::shared_ptr<HostServer>(new HostServer(
      std::move(identity), std::move(trust), std::move(config), timing, std::move(environment)));
  HostServer* server = owner->server.get();
  return std::shared_ptr<HostServer>(std::move(owner), server);
}

HostServer::HostServer(DeviceIdentity identity, TrustStore trust, Config config, Timing timing,
                       Environment environment)
    : loop_(std::make_unique<EventLoop>("host-server")),
      identity_(std::move(identity)),
      trust_(std::move(trust)),
      config_(std::move(config)),
      timing_(timing),
      environment_(std::move(environment)),
      admissions_(std::max<std::size_t>(timing.admissionBurst, 1),
                  std::max(timing.admissionInterval, Duration(1))) {}

// Everything bound to the loop goes before the loop itself (declared first).
HostServer::~HostServer() { loop_->stop(); }

void HostServer::shutDownOnLoop() {
  onListening = nullptr;
  onPairingCode = nullptr;
  onPaired = nullptr;
  onTrustChanged = nullptr;
  onConnected = nullptr;
  onDisconnected = nullptr;
  onInput = nullptr;
  onLog = nullptr;
  onScreen = nullptr;
  onPairingLocked = nullptr;
  statusProvider = nullptr;
  pairingDeadline_.cancel();
  if (listener_) listener_->cancel();
  listener_.reset();
  if (advertiser_) advertiser_->withdraw();
  advertiser_.reset();
  for (const ClientPtr& c : snapshot()) closeClient(c);
  for (auto& [key, c] : departing_) closeClient(c);
  clients_.clear();
  departing_.clear();
}

void HostServer::start(std::uint16_t port) {
  loop_->postAndWait([this, port] { startListener(port); });
}

void HostServer::stop() {
  loop_->postAndWait([this] {
    if (listener_) listener_->cancel();
    if (advertiser_) advertiser_->withdraw();
    closeEveryClient();
    clients_.clear();
  });
}

bool HostServer::listening() {
  return loop_->postAndWait([this] { return listener_ != nullptr; });
}

std::size_t HostServer::clientCount() {
  return loop_->postAndWait([this] { return clients_.size(); });
}

std::size_t HostServer::clientRecords() {
  return loop_->postAndWait([this] { return *clientRecords_; });
}

void HostServer::log(const std::string& text) {
  if (auto handler = onLog) handler(text);
}

std::vector<HostServer::ClientPtr> HostServer::snapshot() const {
  std::vector<ClientPtr> all;
  all.reserve(clients_.size());
  for (const auto& [key, c] : clients_) all.push_back(c);
  return all;
}

// --- listener ------------------------------------------------------------------------------

void HostServer::startListener(std::uint16_t port) {
  if (trust_.killSwitch()) return;
  std::weak_ptr<HostServer> weak = weak_from_this();
  auto listener = TcpListener::make(*loop_, port);
  std::weak_ptr<TcpListener> weakListener = listener;
  listener->setStateHandler(
      [weak, weakListener, port](TcpListener::State state, const std::string& error) {
        auto self = weak.lock();
        auto l = weakListener.lock();
        if (self && l) self->onListenerState(l, port, state, error);
      });
  listener->setNewConnectionHandler([weak](std::shared_ptr<TcpConnection> connection) {
    if (auto self = weak.lock()) {
      self->admit(std::move(connection));
    } else {
      connection->cancel();
    }
  });
  if (!advertiser_ && environment_.makeAdvertiser) {
    advertiser_ = environment_.makeAdvertiser(
        *loop_, ServiceRecord::hostService(config_.name, identity_.fingerprint()),
        [weak](const std::string& text) {
          if (auto self = weak.lock()) self->log(text);
        });
  }
  listener->start();
  listener_ = std::move(listener);
}

void HostServer::onListenerState(const std::shared_ptr<TcpListener>& listener,
                                 std::uint16_t requested, TcpListener::State state,
                                 const std::string& error) {
  switch (state) {
    case TcpListener::State::ready: {
      auto bound = listener->port();
      if (!bound) return;
      port_ = *bound;
      pairBase_ = QRPayload{config_.advertisedHost, port_, identity_.fingerprint(), ""};
      if (advertiser_) advertiser_->publish(port_);
      if (auto handler = onListening) handler(*pairBase_);
      return;
    }
    case TcpListener::State::failed:
      log("listener failed: " + error);
      if (requested != 0 && !trust_.killSwitch() && listener == listener_) {
        listener_->cancel();
        listener_.reset();
        startListener(0);
      }
      return;
    case TcpListener::State::cancelled:
      return;
  }
}

// --- admission and clients -----------------------------------------------------------------

void HostServer::admit(std::shared_ptr<TcpConnection> connection) {
  const auto now = EventLoop::Clock::now();
  if (!admissions_.take(now)) {
    refuse(connection, "refused: too many new connections at once");
    return;
  }
  const Endpoint remote = connection->endpoint();
  const std::optional<std::string> host = LocalNetwork::address(
      LocalNetwork::Endpoint{LocalNetwork::Endpoint::Kind::hostPort, remote.host, remote.port});
  const std::string who = host && !host->empty() ? *host
                          : remote.host.empty()     ? "(no address)"
                                                    : remote.host;
  if (trust_.killSwitch()) {
    refuse(connection, "refused " + who + ": the kill switch is on");
    return;
  }
  if (!host || !LocalNetwork::isLocal(*host, environment_.ownIPv6())) {
    refuse(connection, "refused " + who + ": not a local-network address");
    return;
  }

  const std::string key = hostKey(*host);
  std::size_t fromHost = 0;
  ClientPtr oldest;
  for (const auto& [k, c] : clients_) {
    if (!c->unsettled()) continue;
    if (c->hostKey == key) ++fromHost;
    if (!oldest || c->started < oldest->started) oldest = c;
  }
  if (fromHost >= maxUnsettledPerHost) {
    refuse(connection, "refused " + key + ": " + std::to_string(maxUnsettledPerHost) +
                           " connections from there have not logged in yet");
    return;
  }
  if (clients_.size() >= maxClients) {
    if (!oldest) {
      refuse(connection, "refused " + who + ": all " + std::to_string(maxClients) +
                             " connections are logged in or pairing");
      return;
    }
    closeClient(oldest);
    departing_.emplace(oldest->key, oldest);
    clients_.erase(oldest->key);
  }

  std::weak_ptr<HostServer> weak = weak_from_this();
  HostSession session = HostSession::withLiveTrust(
      identity_,
      [weak] {
        if (auto self = weak.lock()) return self->trust_;
        TrustStore none;  // the server is gone: nobody may go on
        none.setKillSwitch(true);
        return none;
      },
      [weak]() -> std::optional<std::string> {
        auto self = weak.lock();
        return self ? self->pairingSecret_ : std::nullopt;
      },
      environment_.clock);
  auto link = std::make_shared<FramedLink>(std::move(connection), *loop_);
  auto client = std::allocate_shared<Client>(CountedAllocator<Client>(clientRecords_),
                                             nextClient_++, std::move(link), std::move(session),
                                             *host, key, now);
  clients_.emplace(client->key, client);
  startClient(client);

  std::weak_ptr<Client> weakClient = client;
  client->loginTimer = loop_->schedule(timing_.loginCheck, [weak, weakClient] {
    auto self = weak.lock();
    auto c = weakClient.lock();
    if (self && c) self->loginCheck(c);
  });
}

void HostServer::refuse(const std::shared_ptr<TcpConnection>& connection,
                        const std::string& line) {
  connection->cancel();
  logRefusal(line);
}

// A flood of refusals must not become a flood of log lines: each line once per window, then
// how often it came.
void HostServer::logRefusal(const std::string& line) {
  if (!refusals_.note(line)) return;
  log(line);
  std::weak_ptr<HostServer> weak = weak_from_this();
  loop_->schedule(timing_.refusalLogWindow, [weak, line] {
    auto self = weak.lock();
    if (!self) return;
    if (auto summary = self->refusals_.close(line, windowText(self->timing_.refusalLogWindow))) {
      self->log(*summary);
    }
  });
}

void HostServer::startClient(const ClientPtr& client) {
  std::weak_ptr<HostServer> weak = weak_from_this();
  std::weak_ptr<Client> weakClient = client;
  FramedLink& link = *client->link;
  link.onReady = [weak, weakClient] {
    auto self = weak.lock();
    auto c = weakClient.lock();
    if (self && c) self->onLinkReady(c);
  };
  link.onWire = [weak, weakClient](const Wire& message) {
    auto self = weak.lock();
    auto c = weakClient.lock();
    if (self && c) self->onLinkMessage(c, message);
  };
  link.onClose = [weak, weakClient](const std::string& reason) {
    auto self = weak.lock();
    auto c = weakClient.lock();
    if (self && c) self->onLinkClosed(c, reason);
  };
  link.start();
}

void HostServer::onLinkReady(const ClientPtr& client) {
  if (LocalNetwork::onLocalInterface(client->link->connection()->currentPath())) return;
  log("refused: not on a local interface");
  closeClient(client);
}

void HostServer::onLinkMessage(const ClientPtr& client, const Wire& message) {
  if (client->closed) return;
  std::vector<HostSession::Output> outputs = client->session.receive(message);
  if (client->session.pairingActive()) {
    const bool another = std::any_of(clients_.begin(), clients_.end(), [&](const auto& entry) {
      return entry.second != client && entry.second->session.pairingActive();
    });
    if (another) {
      log("refused: another pairing is in progress");
      closeClient(client);
      return;
    }
  }
  perform(client, outputs);
}

void HostServer::onLinkClosed(const ClientPtr& client, const std::string& reason) {
  log("link closed: " + reason);
  cancelTimers(client);
  stopStream(client);
  if (auto it = clients_.find(client->key); it != clients_.end() && it->second == client) {
    clients_.erase(it);
  }
  departing_.erase(client->key);
  if (auto handler = onDisconnected) handler(client->deviceID);
}

void HostServer::loginCheck(const ClientPtr& client) {
  // A matched login handle makes a connection settled for admission, not logged in: it is
  // closed here all the same when the login does not complete.
  if (client->closed || client->loggedInOrWaiting()) return;
  log("closing: no login within 10 s");
  closeClient(client);
}

// Counted from admission, as the login check is, but armed only once a comparison is pending.
void HostServer::schedulePromptCheck(const ClientPtr& client) {
  const Duration left =
      std::max(Duration::zero(), client->started + timing_.promptCheck - EventLoop::Clock::now());
  std::weak_ptr<HostServer> weak = weak_from_this();
  std::weak_ptr<Client> weakClient = client;
  client->promptTimer.cancel();
  client->promptTimer = loop_->schedule(left, [weak, weakClient] {
    auto self = weak.lock();
    auto c = weakClient.lock();
    if (self && c) self->promptCheck(c);
  });
}

void HostServer::promptCheck(const ClientPtr& client) {
  if (client->closed || !client->session.awaitingPerson()) return;
  log("closing: pairing prompt unanswered");
  closeClient(client);
}

void HostServer::cancelTimers(const ClientPtr& client) {
  client->loginTimer.cancel();
  client->promptTimer.cancel();
  client->statusTimer.cancel();
  client->statusLoopRunning = false;
}

void HostServer::closeClient(const ClientPtr& client) {
  if (client->closed) return;
  client->closed = true;
  client->session.abort();
  cancelTimers(client);
  stopStream(client);
  client->link->close();
}

void HostServer::closeEveryClient() {
  for (const ClientPtr& c : snapshot()) closeClient(c);
}

}  // namespace lumenbrook
