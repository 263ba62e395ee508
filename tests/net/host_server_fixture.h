#pragma once
// The host server under test with every callback recorded, phones built on the phone client
// engine (each on its own loop, as on a real phone), and raw loopback sockets from chosen
// 127.0.0.x source addresses for connections that never speak the protocol.

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/crypto/crypto.h"
#include "core/messages/envelope.h"
#include "core/security/device_identity.h"
#include "core/security/qr_payload.h"
#include "core/security/trust_store.h"
#include "net/host_server.h"
#include "net/service_advertiser.h"
#include "phone/phone_client.h"
#include "tests/net/net_test_support.h"

namespace lumenbrook::testing {

using namespace std::chrono_literals;

// Values recorded on one thread, waited for on another. Every wait is bounded by
// kEventTimeout, which only a broken behaviour reaches.
template <class T>
class Events {
 public:
  void add(T value) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(value));
    }
    cv_.notify_all();
  }
  std::vector<T> items() const {
    std::lock_guard lock(mutex_);
    return items_;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }
  // Waits until `pred` holds for the whole list; returns whether it did.
  bool waitUntil(const std::function<bool(const std::vector<T>&)>& pred) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kEventTimeout, [&] { return pred(items_); });
  }
  // Waits for at least `n` items and returns the n-th (1-based), or nothing on timeout.
  std::optional<T> waitNth(std::size_t n) const {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, kEventTimeout, [&] { return items_.size() >= n; })) return {};
    return items_[n - 1];
  }
  bool waitFor(const T& value) const {
    return waitUntil([&](const std::vector<T>& all) {
      return std::find(all.begin(), all.end(), value) != all.end();
    });
  }
  std::size_t count(const T& value) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(items_.begin(), items_.end(), value));
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<T> items_;
};

inline DeviceIdentity newIdentity(std::string name) {
  std::array<std::uint8_t, 16> random{};
  crypto::randomBytes(random);
  return DeviceIdentity(Uuid::fromRandom(random), std::move(name),
                        crypto::Ed25519PrivateKey::generate());
}

// Records what the server asks of its advertisement: "publish <port>" and "withdraw".
class RecordingAdvertiser final : public ServiceAdvertiser {
 public:
  RecordingAdvertiser(Events<std::string>& events, ServiceRecord record) : events_(events) {
    events_.add("record " + record.name + " " + record.type + " " + record.txt.at(0).first +
                "=" + record.txt.at(0).second);
  }
  void publish(std::uint16_t port) override { events_.add("publish " + std::to_string(port)); }
  void withdraw() override { events_.add("withdraw"); }

 private:
  Events<std::string>& events_;
};

// Long enough never to fire during a test that does not shorten them.
inline HostServer::Timing quietTiming() {
  HostServer::Timing t;
  t.loginCheck = 1h;
  t.promptCheck = 1h;
  t.defaultStreamDelay = 1h;
  return t;
}

inline constexpr Date kTestNow{720000000.5};

struct ServerOptions {
  HostServer::Timing timing = quietTiming();
  TrustStore trust = {};
  HostServer::Config config = {"Test-Mac", "127.0.0.1"};
  std::vector<Bytes> ownIPv6 = {};
  HostServer::SourceFactory makeSource = {};  // none: streams carry no pictures
  std::shared_ptr<EncoderFactory> encoders = {};
};

class ServerHarness {
 public:
  explicit ServerHarness(ServerOptions options = {})
      : identity(newIdentity(options.config.name)) {
    HostServer::Environment env;
    env.ownIPv6 = [own = options.ownIPv6] { return own; };
    env.makeAdvertiser = [this](EventLoop&, ServiceRecord record,
                                std::function<void(const std::string&)>) {
      return std::make_unique<RecordingAdvertiser>(advertiser, std::move(record));
    };
    env.clock = [] { return kTestNow; };
    env.makeSource = options.makeSource;
    env.encoders = options.encoders;
    server = HostServer::make(identity, options.trust, options.config, options.timing,
                              std::move(env));
    server->onListening = [this](const QRPayload& p) { listening.add(p); };
    server->onPairingCode = [this](const std::string& code, const std::string& phone) {
      codes.add(code + " " + phone);
      lastCode.add(code);
    };
    server->onPaired = [this](const PairedDevice& d) { paired.add(d); };
    server->onTrustChanged = [this](const TrustStore& t) { trust.add(t); };
    server->onConnected = [this](const Uuid& id) { connected.add(id); };
    server->onDisconnected = [this](const std::optional<Uuid>& id) { disconnected.add(id); };
    server->onInput = [this](const InputEvent& e) { input.add(e); };
    server->onLog = [this](const std::string& line) { log.add(line); };
    server->onPairingLocked = [this] { locked.add(1); };
  }
  ~ServerHarness() { server.reset(); }

  // Starts listening and returns the bound port (0 when it never became ready).
  std::uint16_t start(std::uint16_t port = 0) {
    std::size_t before = listening.size();
    server->start(port);
    auto ready = listening.waitNth(before + 1);
    return ready ? ready->port : 0;
  }
  std::string openPairing(double seconds = 3600) {
    auto code = server->openPairing(seconds);
    EXPECT_TRUE(code.has_value());
    return code.value_or("");
  }
  // Lets the loop finish what is queued.
  void settle() {
    server->loop().postAndWait([] {});
  }
  bool waitForClients(std::size_t n) {
    auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    while (server->clientCount() != n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  DeviceIdentity identity;
  Events<std::string> log;
  Events<std::string> advertiser;
  Events<QRPayload> listening;
  Events<std::string> codes;  // "<code> <phone name>"
  Events<std::string> lastCode;
  Events<PairedDevice> paired;
  Events<TrustStore> trust;
  Events<Uuid> connected;
  Events<std::optional<Uuid>> disconnected;
  Events<InputEvent> input;
  Events<int> locked;
  std::shared_ptr<HostServer> server;  // last: destroyed first, before what it reports into
};

// A phone on its own loop, driving the phone client engine.
class PhoneHarness {
 public:
  explicit PhoneHarness(std::string name = "Test phone")
      : PhoneHarness(newIdentity(std::move(name))) {}
  // Another phone with the same identity, for several connections of one paired device.
  explicit PhoneHarness(DeviceIdentity id) : identity(std::move(id)) {
    loop.postAndWait([this] {
      client = PhoneClient::make(loop, identity);
      client->setCloseAfterSendingDelay(10ms);
      client->onPairingCode = [this](const std::string& c) { codes.add(c); };
      client->onPaired = [this](const PhoneClient::Pairing& p) { paired.add(p); };
      client->onConnected = [this] { connected.add(1); };
      client->onEnvelope = [this](const Envelope& e) { envelopes.add(e); };
      client->onFailed = [this](const std::string& t) { failed.add(t); };
      client->onClosed = [this](const std::string& r) { closed.add(r); };
    });
  }
  PhoneHarness(PhoneHarness&&) = delete;
  ~PhoneHarness() {
    loop.postAndWait([this] { client.reset(); });
  }

  bool pair(const std::string& code) {
    return loop.postAndWait([&] { return client->pair(code); });
  }
  void confirm(bool ok) {
    loop.postAndWait([&] { client->confirmCode(ok); });
  }
  void login(std::uint16_t port, const Bytes& psk) {
    loop.postAndWait([&] { client->login("127.0.0.1", port, psk); });
  }
  bool send(const Envelope& e) {
    return loop.postAndWait([&] { return client->send(e); });
  }
  void close() {
    loop.postAndWait([&] { client->close(); });
  }
  PhoneSession::Phase phase() {
    return loop.postAndWait([&] { return client->phase(); });
  }

  EventLoop loop{"phone"};
  DeviceIdentity identity;
  Events<std::string> codes;
  Events<PhoneClient::Pairing> paired;
  Events<int> connected;
  Events<Envelope> envelopes;
  Events<std::string> failed;
  Events<std::string> closed;
  std::shared_ptr<PhoneClient> client;
};

// Brings `p` to the code comparison with `code`; returns the code both sides show, or nothing
// when they did not get there (or showed different codes).
inline std::optional<std::string> toComparison(ServerHarness& s, PhoneHarness& p,
                                               const std::string& code) {
  std::size_t macCodes = s.lastCode.size();
  std::size_t phoneCodes = p.codes.size();
  if (!p.pair(code)) return {};
  auto mac = s.lastCode.waitNth(macCodes + 1);
  auto phone = p.codes.waitNth(phoneCodes + 1);
  if (!mac || mac != phone) return {};
  return mac;
}

// Pairs `p` through a window opened now; both users confirm. Returns the pairing.
inline std::optional<PhoneClient::Pairing> pairPhone(ServerHarness& s, PhoneHarness& p) {
  std::size_t pairings = p.paired.size();
  auto code = toComparison(s, p, s.openPairing());
  if (!code) return {};
  s.server->confirm(*code, true);
  p.confirm(true);
  return p.paired.waitNth(pairings + 1);
}

// Logs `p` in with `pairing`; true once the phone holds the welcome, which the server sends
// only after it took the login (the phone counts as connected a step earlier).
inline bool loginPhone(PhoneHarness& p, std::uint16_t port, const PhoneClient::Pairing& pairing) {
  std::size_t before = p.connected.size();
  std::size_t envelopes = p.envelopes.size();
  p.login(port, pairing.psk);
  if (!p.connected.waitNth(before + 1)) return false;
  auto welcome = p.envelopes.waitNth(envelopes + 1);
  return welcome && welcome->isControl() &&
         std::holds_alternative<ControlMessage::Welcome>(welcome->control().value);
}

// A raw TCP connection from 127.0.0.<source> to the server at 127.0.0.1.
inline PeerSocket connectFrom(int source, std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(0x7F000000u | static_cast<std::uint32_t>(source));
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    ::close(fd);
    return {};
  }
  return PeerSocket(fd);
}

// The next whole message that arrives on `socket`, or nothing (end, timeout, bad frame).
inline std::optional<Wire> readWire(PeerSocket& socket) {
  Bytes frame = socket.read(4);
  if (frame.size() != 4) return {};
  const std::size_t length = loadU32BE(frame.data());
  Bytes body = socket.read(length);
  if (body.size() != length) return {};
  append(frame, body);
  auto wires = WireCodec::unframe(frame, 1);
  if (!wires.ok() || wires.value().size() != 1) return {};
  return wires.value()[0];
}

inline const ControlMessage* controlOf(const Envelope& e) {
  return e.isControl() ? &e.control() : nullptr;
}

}  // namespace lumenbrook::testing
