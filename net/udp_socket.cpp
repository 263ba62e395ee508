#include "net/udp_socket.h"

#include <optional>

#include <asio/ip/udp.hpp>
#include <asio/ip/v6_only.hpp>

namespace lumenbrook {

using asio::ip::udp;

struct UdpSocket::Impl {
  explicit Impl(asio::io_context& io) : socket(io) {}
  udp::socket socket;
  Bytes buffer = Bytes(65536);
};

Result<std::shared_ptr<UdpSocket>, std::string> UdpSocket::open(EventLoop& loop,
                                                                 std::uint16_t port) {
  auto impl = std::make_unique<Impl>(loop.context());
  auto& s = impl->socket;
  std::error_code ec;
  bool dualStack = false;
  s.open(udp::v6(), ec);
  if (!ec) {
    s.set_option(asio::ip::v6_only(false), ec);
    s.bind(udp::endpoint(asio::ip::address_v6::any(), port), ec);
    if (ec == std::errc::address_not_available || ec == asio::error::address_family_not_supported) {
      std::error_code ignored;
      s.close(ignored);
    } else {
      dualStack = !ec;
    }
  }
  if (!s.is_open()) {
    s.open(udp::v4(), ec);
    if (!ec) s.bind(udp::endpoint(asio::ip::address_v4::any(), port), ec);
  }
  if (!ec) s.non_blocking(true, ec);
  udp::endpoint local;
  if (!ec) local = s.local_endpoint(ec);
  if (ec) return Failure{ec.message()};
  return std::shared_ptr<UdpSocket>(new UdpSocket(loop, std::move(impl), local.port(), dualStack));
}

UdpSocket::UdpSocket(EventLoop& loop, std::unique_ptr<Impl> impl, std::uint16_t port,
                     bool dualStack)
    : loop_(loop), impl_(std::move(impl)), port_(port), dualStack_(dualStack) {}

UdpSocket::~UdpSocket() = default;

void UdpSocket::startReceiving(DatagramHandler handler) {
  if (closed_) return;
  onDatagram_ = std::move(handler);
  if (!receiving_) {
    receiving_ = true;
    waitReadable();
  }
}

void UdpSocket::waitReadable() {
  std::weak_ptr<UdpSocket> weak = shared_from_this();
  impl_->socket.async_wait(udp::socket::wait_read, [weak](const std::error_code& ec) {
    auto self = weak.lock();
    if (!self || self->closed_ || ec == asio::error::operation_aborted) return;
    // Drain what is queued, in batches so that a flood cannot hold the loop. Each datagram is
    // read whole into a buffer of the largest size.
    for (int batch = 0; batch < 64; ++batch) {
      udp::endpoint from;
      std::error_code rec;
      std::size_t n = self->impl_->socket.receive_from(asio::buffer(self->impl_->buffer), from, 0, rec);
      if (rec == asio::error::would_block || rec == asio::error::try_again) break;
      // An ICMP error for an earlier send is reported once and leaves the socket usable.
      if (rec == asio::error::connection_refused || rec == asio::error::host_unreachable ||
          rec == asio::error::network_unreachable) {
        continue;
      }
      if (rec) return;
      auto handler = self->onDatagram_;
      if (handler) {
        handler(ByteView(self->impl_->buffer.data(), n), Endpoint{from.address().to_string(), from.port()});
      }
      if (self->closed_) return;
    }
    self->waitReadable();
  });
}

namespace {

// `to` in the socket's own family; absent when its host is not numeric or cannot be reached
// from this socket.
std::optional<udp::endpoint> socketEndpoint(const Endpoint& to, bool dualStack) {
  std::error_code ec;
  auto address = asio::ip::make_address(to.host, ec);
  if (ec) return std::nullopt;
  if (dualStack && address.is_v4()) {
    address = asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4());
  } else if (!dualStack && address.is_v6()) {
    if (!address.to_v6().is_v4_mapped()) return std::nullopt;
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return udp::endpoint(address, to.port);
}

}  // namespace

bool UdpSocket::sendTo(ByteView datagram, const Endpoint& to) {
  if (closed_) return false;
  auto endpoint = socketEndpoint(to, dualStack_);
  if (!endpoint) return false;
  auto data = std::make_shared<Bytes>(datagram.begin(), datagram.end());
  // Datagram sends may overlap: each is one system call, queued in order when the socket
  // buffer is full.
  impl_->socket.async_send_to(asio::buffer(*data), *endpoint,
                              [data](const std::error_code&, std::size_t) {});
  return true;
}

bool UdpSocket::connect(const Endpoint& peer) {
  if (closed_) return false;
  auto endpoint = socketEndpoint(peer, dualStack_);
  if (!endpoint) return false;
  std::error_code ec;
  impl_->socket.connect(*endpoint, ec);
  return !ec;
}

void UdpSocket::close() {
  if (closed_) return;
  closed_ = true;
  onDatagram_ = nullptr;
  std::error_code ignored;
  impl_->socket.close(ignored);
}

}  // namespace lumenbrook
