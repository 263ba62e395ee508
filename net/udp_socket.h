#pragma once
// A UDP socket for the video path: bound to a port on all interfaces (IPv6 with IPv4-mapped
// peers, or IPv4 alone), receiving datagrams with their sender and sending to numeric
// endpoints. Sends never block and report nothing: the video path recovers from loss.
//
// Threading: belongs to one EventLoop; call it on the loop thread; handlers run there.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/util/bytes.h"
#include "core/util/result.h"
#include "net/event_loop.h"
#include "net/transport.h"

namespace lumenbrook {

class UdpSocket : public std::enable_shared_from_this<UdpSocket> {
 public:
  // One whole datagram; `datagram` is valid only during the call.
  using DatagramHandler = std::function<void(ByteView datagram, const Endpoint& from)>;

  // Binds `port` (0: any free port). Fails with the system's description.
  static Result<std::shared_ptr<UdpSocket>, std::string> open(EventLoop& loop,
                                                              std::uint16_t port = 0);
  ~UdpSocket();

  std::uint16_t port() const { return port_; }

  // Delivers every datagram that arrives from now on until close().
  void startReceiving(DatagramHandler handler);
  // Queues one datagram for `to`, whose host must be a numeric address. False when it is not
  // (or is IPv6 on an IPv4-only socket) or the socket is closed; true says nothing about
  // delivery.
  bool sendTo(ByteView datagram, const Endpoint& to);
  // Connects the socket to `peer` (a numeric address, as for sendTo): from then on the kernel
  // delivers only that peer's datagrams, except those already queued. sendTo still works for
  // `peer`. False when the address is not usable or the system refuses.
  bool connect(const Endpoint& peer);
  // Stops receiving and sending; no handler is called afterwards. Idempotent.
  void close();

  struct Impl;

 private:
  UdpSocket(EventLoop& loop, std::unique_ptr<Impl> impl, std::uint16_t port, bool dualStack);
  void waitReadable();

  EventLoop& loop_;
  std::unique_ptr<Impl> impl_;
  std::uint16_t port_;
  bool dualStack_;
  bool closed_ = false;
  bool receiving_ = false;
  DatagramHandler onDatagram_;
};

}  // namespace lumenbrook
