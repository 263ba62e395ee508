#include "net/transport.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <deque>

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "net/local_interfaces.h"

namespace lumenbrook {

namespace {

using asio::ip::tcp;

bool sameAddress(const sockaddr* sa, const asio::ip::address& a, const sockaddr* mask,
                 bool masked) {
  const std::uint8_t* have = nullptr;
  const std::uint8_t* m = nullptr;
  std::array<std::uint8_t, 16> want{};
  std::size_t size = 0;
  if (sa->sa_family == AF_INET && a.is_v4()) {
    size = 4;
    auto b = a.to_v4().to_bytes();
    std::copy(b.begin(), b.end(), want.begin());
    have = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr);
    if (mask) m = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in*>(mask)->sin_addr);
  } else if (sa->sa_family == AF_INET6 && a.is_v6()) {
    size = 16;
    want = a.to_v6().to_bytes();
    have = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
    if (mask) m = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(mask)->sin6_addr);
  } else {
    return false;
  }
  if (masked && !m) return false;
  for (std::size_t i = 0; i < size; ++i) {
    std::uint8_t mk = masked ? m[i] : 0xff;
    if ((have[i] & mk) != (want[i] & mk)) return false;
  }
  return true;
}

Endpoint toEndpoint(const tcp::endpoint& e) {
  return Endpoint{e.address().to_string(), e.port()};
}

class AsioTcpConnection final : public TcpConnection,
                                public std::enable_shared_from_this<AsioTcpConnection> {
 public:
  // Accepted.
  AsioTcpConnection(EventLoop& loop, tcp::socket socket)
      : loop_(loop), socket_(std::move(socket)), resolver_(loop.context()) {
    std::error_code ec;
    auto remote = socket_.remote_endpoint(ec);
    if (!ec) endpoint_ = toEndpoint(remote);
    socket_.set_option(tcp::no_delay(true), ec);
    socket_.non_blocking(true, ec);
  }
  // Outgoing.
  AsioTcpConnection(EventLoop& loop, std::string host, std::uint16_t port)
      : loop_(loop), socket_(loop.context()), resolver_(loop.context()), outgoing_(true) {
    endpoint_ = Endpoint{std::move(host), port};
  }

  void setStateHandler(StateHandler handler) override { onState_ = std::move(handler); }

  void start() override {
    if (started_ || cancelled_) return;
    started_ = true;
    std::weak_ptr<AsioTcpConnection> weak = shared_from_this();
    if (!outgoing_) {
      asio::post(loop_.context(), [weak] {
        if (auto self = weak.lock()) self->becomeReady();
      });
      return;
    }
    resolver_.async_resolve(
        endpoint_.host, std::to_string(endpoint_.port), tcp::resolver::numeric_service,
        [weak](const std::error_code& ec, tcp::resolver::results_type results) {
          auto self = weak.lock();
          if (!self || self->cancelled_) return;
          if (ec) return self->report(ConnectionState::waiting, ec.message());
          asio::async_connect(self->socket_, results,
                              [weak](const std::error_code& ec2, const tcp::endpoint&) {
                                auto s = weak.lock();
                                if (!s || s->cancelled_) return;
                                if (ec2) return s->report(ConnectionState::waiting, ec2.message());
                                std::error_code ignored;
                                s->socket_.set_option(tcp::no_delay(true), ignored);
                                s->socket_.non_blocking(true, ignored);
                                s->becomeReady();
                              });
        });
  }

  void cancel() override {
    if (cancelled_) return;
    cancelled_ = true;
    std::error_code ignored;
    resolver_.cancel();
    socket_.close(ignored);
    queue_.clear();
    queuedBytes_ = 0;
    pendingReceive_.reset();
    std::weak_ptr<AsioTcpConnection> weak = shared_from_this();
    asio::post(loop_.context(), [weak] {
      auto self = weak.lock();
      if (!self) return;
      auto handler = std::move(self->onState_);
      self->onState_ = nullptr;
      if (handler) handler(ConnectionState::cancelled, "");
    });
  }

  void send(Bytes data) override {
    if (cancelled_ || endQueued_) return;
    queuedBytes_ += data.size();
    queue_.push_back(Outgoing{std::make_shared<Bytes>(std::move(data)), {}, false});
    writeNext();
  }

  std::size_t queuedBytes() const override { return queuedBytes_; }

  void sendEndOfStream(std::function<void()> processed) override {
    if (cancelled_ || endQueued_) return;
    endQueued_ = true;
    queue_.push_back(Outgoing{nullptr, std::move(processed), true});
    writeNext();
  }

  void receive(std::size_t minimum, std::size_t maximum, ReceiveHandler handler) override {
    if (cancelled_) return;
    minimum = std::max<std::size_t>(minimum, 1);
    maximum = std::max(maximum, minimum);
    pendingReceive_ = PendingReceive{minimum, maximum, std::move(handler), {}};
    if (ready_) waitReadable();
  }

  Endpoint endpoint() const override { return endpoint_; }

  std::optional<Endpoint> localEndpoint() const override {
    if (!ready_ || cancelled_) return std::nullopt;
    std::error_code ec;
    auto local = socket_.local_endpoint(ec);
    if (ec) return std::nullopt;
    return toEndpoint(local);
  }

 private:
  struct Outgoing {
    std::shared_ptr<Bytes> data;
    std::function<void()> processed;
    bool endOfStream = false;
  };
  struct PendingReceive {
    std::size_t minimum = 1;
    std::size_t maximum = 1;
    ReceiveHandler handler;
    Bytes got;
  };

  void report(ConnectionState state, const std::string& error) {
    if (cancelled_) return;
    if (state == ConnectionState::failed) {
      if (failedReported_) return;
      failedReported_ = true;
    }
    if (onState_) {
      auto handler = onState_;  // the handler may replace itself or release us
      handler(state, error);
    }
  }

  void becomeReady() {
    if (cancelled_) return;
    ready_ = true;
    std::weak_ptr<AsioTcpConnection> weak = shared_from_this();
    report(ConnectionState::ready, "");
    auto self = weak.lock();
    if (!self || cancelled_) return;
    if (pendingReceive_) waitReadable();
    writeNext();
  }

  void waitReadable() {
    if (readArmed_) return;
    readArmed_ = true;
    std::weak_ptr<AsioTcpConnection> weak = shared_from_this();
    socket_.async_wait(tcp::socket::wait_read, [weak](const std::error_code& ec) {
      auto self = weak.lock();
      if (!self) return;
      self->readArmed_ = false;
      if (self->cancelled_ || !self->pendingReceive_) return;
      self->onReadable(ec);
    });
  }

  // Takes everything the socket holds right now, up to the maximum, so that the end of the
  // stream or an error right behind the data is reported together with it.
  void onReadable(const std::error_code& waitError) {
    PendingReceive& r = *pendingReceive_;
    bool complete = false;
    std::optional<std::string> error;
    if (waitError) {
      error = waitError.message();
    } else {
      while (r.got.size() < r.maximum) {
        std::size_t before = r.got.size();
        r.got.resize(r.maximum);
        std::error_code ec;
        std::size_t n = socket_.read_some(asio::buffer(r.got.data() + before, r.maximum - before), ec);
        r.got.resize(before + (ec ? 0 : n));
        if (ec == asio::error::would_block || ec == asio::error::try_again) break;
        if (ec == asio::error::eof) {
          complete = true;
          break;
        }
        if (ec) {
          error = ec.message();
          break;
        }
      }
    }
    if (!complete && !error && r.got.size() < r.minimum) return waitReadable();
    PendingReceive done = std::move(r);
    pendingReceive_.reset();
    std::optional<Bytes> content;
    if (!done.got.empty()) content = std::move(done.got);
    done.handler(std::move(content), complete, std::move(error));
  }

  void writeNext() {
    if (!ready_ || writing_ || cancelled_) return;
    while (!queue_.empty() && queue_.front().endOfStream) {
      Outgoing end = std::move(queue_.front());
      queue_.pop_front();
      std::error_code ignored;
      socket_.shutdown(tcp::socket::shutdown_send, ignored);
      std::weak_ptr<AsioTcpConnection> weak = shared_from_this();
      asio::post(loop_.context(), [weak, fn = std::move(end.processed)] {
        auto self = weak.lock();
        if (self && !self->cancelled_ && fn) fn();
      });
    }
    if (queue_.empty()) return;
    writing_ = true;
    auto data = queue_.front().data;
    std::weak_ptr<AsioTcpConnection> weak = shared_from_this();
    asio::async_write(socket_, asio::buffer(*data),
                      [weak, data](const std::error_code& ec, std::size_t) {
                        auto self = weak.lock();
                        if (!self) return;
                        self->writing_ = false;
                        if (self->cancelled_) return;
                        if (ec) {
                          self->queue_.clear();
                          self->queuedBytes_ = 0;
                          return self->report(ConnectionState::failed, ec.message());
                        }
                        self->queuedBytes_ -= data->size();
                        self->queue_.pop_front();
                        self->writeNext();
                      });
  }

  EventLoop& loop_;
  tcp::socket socket_;
  tcp::resolver resolver_;
  bool outgoing_ = false;
  Endpoint endpoint_;
  StateHandler onState_;
  std::deque<Outgoing> queue_;
  std::size_t queuedBytes_ = 0;  // the data in queue_
  std::optional<PendingReceive> pendingReceive_;
  bool started_ = false;
  bool ready_ = false;
  bool cancelled_ = false;
  bool writing_ = false;
  bool readArmed_ = false;
  bool endQueued_ = false;
  bool failedReported_ = false;
};

}  // namespace

std::optional<std::string> interfaceNameOf(const std::string& address) {
  std::string text = address;
  unsigned scope = 0;
  std::error_code ec;
  asio::ip::address local = asio::ip::make_address(text, ec);
  if (ec) return std::nullopt;
  if (local.is_v6() && local.to_v6().is_v4_mapped()) {
    local = asio::ip::make_address_v4(asio::ip::v4_mapped, local.to_v6());
  }
  // A link-local address names its interface; the same address may sit on several.
  if (local.is_v6()) scope = local.to_v6().scope_id();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> guard(list, &freeifaddrs);
  for (bool masked : {false, true}) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || !i->ifa_name) continue;
      if (scope != 0 && if_nametoindex(i->ifa_name) != scope) continue;
      if (sameAddress(i->ifa_addr, local, i->ifa_netmask, masked)) return std::string(i->ifa_name);
    }
  }
  return std::nullopt;
}

std::optional<std::string> TcpConnection::localInterface() const {
  auto local = localEndpoint();
  if (!local) return std::nullopt;
  return interfaceNameOf(local->host);
}

std::optional<LocalNetwork::Path> TcpConnection::currentPath() const {
  auto local = localEndpoint();
  if (!local) return std::nullopt;
  return LocalNetwork::pathOf(local->host, localInterfaces());
}

std::shared_ptr<TcpConnection> makeTcpConnection(EventLoop& loop, std::string host,
                                                 std::uint16_t port) {
  return std::make_shared<AsioTcpConnection>(loop, std::move(host), port);
}

struct TcpListener::Impl {
  explicit Impl(asio::io_context& io) : acceptor(io), retry(io) {}
  tcp::acceptor acceptor;
  asio::steady_timer retry;
};

std::shared_ptr<TcpListener> TcpListener::make(EventLoop& loop, std::uint16_t port) {
  return std::shared_ptr<TcpListener>(new TcpListener(loop, port));
}

TcpListener::TcpListener(EventLoop& loop, std::uint16_t port)
    : loop_(loop), requestedPort_(port), impl_(std::make_unique<Impl>(loop.context())) {}

TcpListener::~TcpListener() = default;

void TcpListener::start() {
  if (started_ || cancelled_) return;
  started_ = true;
  auto& acceptor = impl_->acceptor;
  std::error_code ec;
  // Dual stack first; only a machine without IPv6 (no family, or no address to bind) falls
  // back. A busy or forbidden port fails in either family and is reported as such.
  acceptor.open(tcp::v6(), ec);
  if (!ec) {
    acceptor.set_option(asio::ip::v6_only(false), ec);
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    acceptor.bind(tcp::endpoint(asio::ip::address_v6::any(), requestedPort_), ec);
    if (ec == std::errc::address_not_available || ec == asio::error::address_family_not_supported) {
      std::error_code ignored;
      acceptor.close(ignored);
    } else {
      dualStack_ = !ec;
    }
  }
  if (!acceptor.is_open()) {
    acceptor.open(tcp::v4(), ec);
    if (!ec) {
      acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
      acceptor.bind(tcp::endpoint(asio::ip::address_v4::any(), requestedPort_), ec);
    }
  }
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  std::optional<std::uint16_t> port;
  if (!ec) {
    auto local = acceptor.local_endpoint(ec);
    if (!ec) port = local.port();
  }
  std::weak_ptr<TcpListener> weak = shared_from_this();
  if (ec) {
    std::error_code ignored;
    acceptor.close(ignored);
    dualStack_ = false;
    asio::post(loop_.context(), [weak, text = ec.message()] {
      if (auto self = weak.lock()) self->report(State::failed, text);
    });
    return;
  }
  asio::post(loop_.context(), [weak, port] {
    auto self = weak.lock();
    if (!self || self->cancelled_) return;
    self->boundPort_ = port;
    self->report(State::ready, "");
    if (auto again = weak.lock(); again && !again->cancelled_) again->acceptNext();
  });
}

void TcpListener::cancel() {
  if (cancelled_) return;
  cancelled_ = true;
  std::error_code ignored;
  impl_->acceptor.close(ignored);
  impl_->retry.cancel();
  std::weak_ptr<TcpListener> weak = shared_from_this();
  asio::post(loop_.context(), [weak] {
    auto self = weak.lock();
    if (!self) return;
    auto handler = std::move(self->onState_);
    self->onState_ = nullptr;
    self->onConnection_ = nullptr;
    if (handler) handler(State::cancelled, "");
  });
}

void TcpListener::report(State state, std::string error) {
  if (cancelled_) return;
  if (onState_) {
    auto handler = onState_;
    handler(state, error);
  }
}

void TcpListener::acceptNext() {
  std::weak_ptr<TcpListener> weak = shared_from_this();
  impl_->acceptor.async_accept([weak](const std::error_code& ec, tcp::socket socket) {
    auto self = weak.lock();
    if (!self || self->cancelled_ || ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors or memory: accepting again at once would spin, so pause briefly;
      // the pending connections wait in the backlog meanwhile.
      if (ec == asio::error::connection_aborted) return self->acceptNext();
      self->impl_->retry.expires_after(std::chrono::milliseconds(100));
      self->impl_->retry.async_wait([weak](const std::error_code& e) {
        auto s = weak.lock();
        if (s && !e && !s->cancelled_) s->acceptNext();
      });
      return;
    }
    auto connection = std::make_shared<AsioTcpConnection>(self->loop_, std::move(socket));
    if (self->onConnection_) {
      auto handler = self->onConnection_;
      handler(std::move(connection));
    }
    if (auto again = weak.lock(); again && !again->cancelled_) again->acceptNext();
  });
}

}  // namespace lumenbrook
