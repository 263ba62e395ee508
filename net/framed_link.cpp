#include "net/framed_link.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "core/messages/wire_codec.h"

namespace lumenbrook {

FramedLink::FramedLink(std::shared_ptr<TcpConnection> connection, EventLoop& queue)
    : connection_(std::move(connection)), queue_(queue) {}

FramedLink::FramedLink(const std::string& host, std::uint16_t port, EventLoop& queue)
    : connection_(makeTcpConnection(queue, host, std::max<std::uint16_t>(port, 1))),
      queue_(queue) {}

void FramedLink::start() {
  std::weak_ptr<FramedLink> weak = shared_from_this();
  connection_->setStateHandler([weak](ConnectionState state, const std::string& error) {
    if (auto self = weak.lock()) self->onState(state, error);
  });
  connection_->start();
  receiveNext();
}

void FramedLink::send(const Wire& message) {
  if (overflowed_) return;
  auto framed = WireCodec::frame(message);
  if (!framed) return;
  if (connection_->queuedBytes() + framed.value().size() > kMaxQueuedBytes) {
    overflowed_ = true;
    // Later, so that the owner's onClose does not run inside its own send.
    std::weak_ptr<FramedLink> weak = shared_from_this();
    queue_.post([weak] {
      auto self = weak.lock();
      if (self && !self->stopped_) self->fail("the other side stopped reading");
    });
    return;
  }
  connection_->send(std::move(framed).value());
}

void FramedLink::close() {
  stopped_ = true;
  connection_->cancel();
}

void FramedLink::closeAfterSending() {
  std::weak_ptr<FramedLink> weak = shared_from_this();
  connection_->sendEndOfStream([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->queue_.schedule(self->closeDelay_, [weak] {
      if (auto link = weak.lock()) link->connection_->cancel();
    });
  });
}

void FramedLink::fail(const std::string& reason) {
  if (closed_) return;
  closed_ = true;
  if (auto handler = onClose) handler(reason);
  connection_->cancel();
}

void FramedLink::onState(ConnectionState state, const std::string& error) {
  switch (state) {
    case ConnectionState::waiting:
      return fail("can't reach the computer: " + error);
    case ConnectionState::failed:
      return fail("connection failed: " + error);
    case ConnectionState::ready:
      if (auto handler = onReady) handler();
      return;
    case ConnectionState::cancelled:
      if (!closed_) {
        closed_ = true;
        if (auto handler = onClose) handler("closed");
        connection_->cancel();
      }
      return;
  }
}

void FramedLink::receiveNext() {
  std::weak_ptr<FramedLink> weak = shared_from_this();
  connection_->receive(1, kReceiveSize,
                       [weak](std::optional<Bytes> content, bool isComplete,
                              std::optional<std::string> error) {
                         if (auto self = weak.lock()) {
                           self->onReceived(std::move(content), isComplete, std::move(error));
                         }
                       });
}

void FramedLink::onReceived(std::optional<Bytes> content, bool isComplete,
                            std::optional<std::string> error) {
  if (stopped_) return;
  if (content) append(buffer_, *content);
  auto messages = WireCodec::unframe(buffer_, std::numeric_limits<std::int64_t>::max());
  if (!messages) return fail("bad data from the other side");
  // The caller holds a strong reference, so an owner releasing the link inside onWire does
  // not pull it away under this loop.
  for (const Wire& message : messages.value()) {
    if (stopped_) return;
    if (auto handler = onWire) handler(message);
  }
  // Closed by the owner during the last message: its "closed" comes through the cancellation.
  if (stopped_) return;
  if (isComplete || error) {
    return fail(error ? "closed: " + *error : "closed by the other side");
  }
  receiveNext();
}

}  // namespace lumenbrook
