#pragma once
// Shared pieces of the service-layer tests: waiting for events that arrive on the loop
// thread, and a scripted connection for driving the framed link one completion at a time.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/messages/wire.h"
#include "core/messages/wire_codec.h"
#include "net/event_loop.h"
#include "net/transport.h"

namespace lumenbrook::testing {

// The longest a test waits for something that should happen at once; only reached when the
// behaviour under test is broken.
inline constexpr std::chrono::seconds kEventTimeout{10};

// Events recorded on the loop thread, read on the test thread.
template <class T>
class Recorder {
 public:
  void add(T value) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(value));
    }
    cv_.notify_all();
  }
  // Waits until at least `n` items arrived (or the timeout) and returns all of them.
  std::vector<T> waitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, kEventTimeout, [&] { return items_.size() >= n; });
    return items_;
  }
  std::vector<T> items() {
    std::lock_guard lock(mutex_);
    return items_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    items_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<T> items_;
};

// The test's own end of a loopback connection, in plain blocking sockets so that it does not
// share code with what it tests. Every wait is bounded by kEventTimeout.
class PeerSocket {
 public:
  PeerSocket() = default;
  explicit PeerSocket(int fd) : fd_(fd) {}
  PeerSocket(PeerSocket&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  PeerSocket& operator=(PeerSocket&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  ~PeerSocket() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Connects to a numeric loopback address; invalid (fd() < 0) when that fails.
  static PeerSocket connectTo(const std::string& address, std::uint16_t port) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (address.find(':') != std::string::npos) {
      auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
      sin6->sin6_family = AF_INET6;
      sin6->sin6_port = htons(port);
      if (inet_pton(AF_INET6, address.c_str(), &sin6->sin6_addr) != 1) return {};
      len = sizeof(sockaddr_in6);
    } else {
      auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
      sin->sin_family = AF_INET;
      sin->sin_port = htons(port);
      if (inet_pton(AF_INET, address.c_str(), &sin->sin_addr) != 1) return {};
      len = sizeof(sockaddr_in);
    }
    int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
      ::close(fd);
      return {};
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return PeerSocket(fd);
  }

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  std::uint16_t localPort() const {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
    return ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  }

  bool writeAll(ByteView data) {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

  // Reads until `n` bytes arrived, the stream ended or the timeout passed.
  Bytes read(std::size_t n) {
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    while (out.size() < n) {
      if (!waitReadable(deadline)) break;
      std::uint8_t buf[65536];
      ssize_t got = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  // True when the peer ended its stream (after any data, which is discarded).
  bool readsEndOfStream() {
    auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    for (;;) {
      if (!waitReadable(deadline)) return false;
      std::uint8_t buf[4096];
      ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
      if (got == 0) return true;
      if (got < 0) return false;
    }
  }

 private:
  bool waitReadable(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(left.count())) == 1;
  }

  int fd_ = -1;
};

// A plain listening socket on 127.0.0.1 for connections the code under test makes.
class PeerListener {
 public:
  PeerListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    ::listen(fd_, 8);
    socklen_t len = sizeof sin;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
    port_ = ntohs(sin.sin_port);
  }
  ~PeerListener() { ::close(fd_); }
  PeerListener(const PeerListener&) = delete;
  PeerListener& operator=(const PeerListener&) = delete;

  std::uint16_t port() const { return port_; }
  PeerSocket accept() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kEventTimeout.count() * 1000)) != 1) return {};
    return PeerSocket(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A plain UDP socket on 127.0.0.1, independent of the code under test.
class UdpPeer {
 public:
  UdpPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    socklen_t len = sizeof sin;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
    port_ = ntohs(sin.sin_port);
  }
  ~UdpPeer() { ::close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  std::uint16_t port() const { return port_; }
  void sendTo(std::uint16_t port, ByteView datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // The next datagram and the port it came from, or nothing within `wait`.
  std::optional<std::pair<Bytes, std::uint16_t>> receiveFrom(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) return std::nullopt;
    Bytes buf(65536);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return std::make_pair(std::move(buf), ntohs(from.sin_port));
  }
  std::optional<Bytes> receive(std::chrono::milliseconds wait) {
    auto datagram = receiveFrom(wait);
    if (!datagram) return std::nullopt;
    return std::move(datagram->first);
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

inline Wire refusedWire(const std::string& reason) { return Wire{Wire::Refused{reason}}; }

inline Bytes framed(const Wire& w) {
  auto f = WireCodec::frame(w);
  EXPECT_TRUE(f.ok());
  return f.ok() ? f.value() : Bytes{};
}

inline Bytes framed(const std::vector<Wire>& ws) {
  Bytes out;
  for (const auto& w : ws) append(out, framed(w));
  return out;
}

// A connection whose events the test produces: it records what the link asks for and lets
// the test complete the outstanding receive, report states and finish the end of stream.
// Reports cancelled once, later on the loop, like the real transport.
class ScriptedConnection : public TcpConnection,
                           public std::enable_shared_from_this<ScriptedConnection> {
 public:
  explicit ScriptedConnection(EventLoop& loop, Endpoint endpoint = {"127.0.0.1", 40000})
      : loop_(loop), endpoint_(std::move(endpoint)) {}

  void setStateHandler(StateHandler h) override { onState = std::move(h); }
  void start() override { ++starts; }
  void cancel() override {
    ++cancels;
    if (cancelReported_) return;
    cancelReported_ = true;
    receiveHandler = nullptr;
    loop_.post([weak = weak_from_this()] {
      auto self = weak.lock();
      if (self && self->onState) self->onState(ConnectionState::cancelled, "");
    });
  }
  void send(Bytes data) override { sent.push_back(std::move(data)); }
  std::size_t queuedBytes() const override { return queued; }
  void sendEndOfStream(std::function<void()> processed) override {
    endOfStreamProcessed = std::move(processed);
  }
  void receive(std::size_t minimum, std::size_t maximum, ReceiveHandler h) override {
    EXPECT_FALSE(receiveHandler) << "a second receive while one is outstanding";
    ++receives;
    lastMinimum = minimum;
    lastMaximum = maximum;
    receiveHandler = std::move(h);
  }
  Endpoint endpoint() const override { return endpoint_; }
  std::optional<Endpoint> localEndpoint() const override { return Endpoint{"127.0.0.1", 1}; }

  // Completes the outstanding receive. REQUIRES: on the loop, one receive outstanding.
  void complete(std::optional<Bytes> content, bool isComplete = false,
                std::optional<std::string> error = std::nullopt) {
    ASSERT_TRUE(receiveHandler) << "no receive outstanding";
    auto h = std::move(receiveHandler);
    receiveHandler = nullptr;
    h(std::move(content), isComplete, std::move(error));
  }
  void report(ConnectionState state, const std::string& error = "") {
    if (onState) onState(state, error);
  }

  StateHandler onState;
  ReceiveHandler receiveHandler;
  std::function<void()> endOfStreamProcessed;
  std::vector<Bytes> sent;
  std::size_t queued = 0;  // what queuedBytes() reports; the test sets it
  int starts = 0;
  int cancels = 0;
  int receives = 0;
  std::size_t lastMinimum = 0;
  std::size_t lastMaximum = 0;

 private:
  EventLoop& loop_;
  Endpoint endpoint_;
  bool cancelReported_ = false;
};

}  // namespace lumenbrook::testing
