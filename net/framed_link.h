#pragma once
// One TCP control connection as a link of Wire messages: it cuts the received bytes into
// messages for the owner, frames and sends the owner's messages, and reports the end of the
// link exactly once with a short reason:
//
//   "can't reach the computer: " + error   the peer could not be reached
//   "connection failed: " + error     the established connection failed
//   "bad data from the other side"    a frame header over the limit or an undecodable body
//   "the other side stopped reading"  a send would leave over kMaxQueuedBytes unsent
//   "closed by the other side"        the peer finished sending
//   "closed: " + error                a receive error
//   "closed"                          the connection was cancelled (close(), the delayed
//                                     cancel of closeAfterSending(), or anyone else)
//
// Ownership: always held by std::shared_ptr (construct with std::make_shared); the owner
// shares it, every handler given to the connection or the loop holds it weakly, so a link the
// owner has released stops reacting. Threading: every call is made on `queue`'s thread, and
// every callback runs there.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/messages/wire.h"
#include "core/util/bytes.h"
#include "net/event_loop.h"
#include "net/transport.h"

namespace lumenbrook {

class FramedLink : public std::enable_shared_from_this<FramedLink> {
 public:
  // How long closeAfterSending() waits, after the end of the stream went out, before it
  // cancels: time for the peer to read the last messages and close its side first.
  static constexpr std::chrono::milliseconds kCloseAfterSendingDelay{200};
  // Each receive asks for at most this many bytes; one receive is outstanding at a time.
  static constexpr std::size_t kReceiveSize = 65536;
  // Bytes at most waiting to be written. The kernel's socket buffers take the first
  // megabytes of a peer that is slow to read, and a control message is at most a 64 KiB
  // frame (most are well under 1 KiB), so a peer that still reads never leaves 1 MiB on top
  // of them; one that has stopped would make the queue grow without bound.
  static constexpr std::size_t kMaxQueuedBytes = 1 << 20;

  // Wraps an accepted connection that has not been started.
  FramedLink(std::shared_ptr<TcpConnection> connection, EventLoop& queue);
  // Dials `host` (a name or address) at `port`; port 0 is replaced by 1. Not started.
  FramedLink(const std::string& host, std::uint16_t port, EventLoop& queue);

  // Set before start(); read afresh at every use.
  std::function<void(const Wire&)> onWire;
  std::function<void()> onReady;
  std::function<void(const std::string& reason)> onClose;

  // Installs the state handler, starts the connection and issues the first receive. Once.
  void start();
  // Frames and sends one message; a message that cannot be framed is dropped silently. When
  // it would take the bytes waiting unsent beyond kMaxQueuedBytes it is dropped instead, every
  // later one too, and the link ends with "the other side stopped reading", reported from the
  // loop afterwards (never from inside this call).
  void send(const Wire& message);
  // Stops all delivery at once and cancels the connection; "closed" is reported afterwards
  // unless the end was already reported.
  void close();
  // Ends the sending direction after everything queued, then cancels the connection
  // closeAfterSendingDelay() after that went out, unless the peer ends the link first.
  // Delivery goes on meanwhile; the end is reported by whichever comes first.
  void closeAfterSending();

  const std::shared_ptr<TcpConnection>& connection() const { return connection_; }

  // Tests shorten the delay; production keeps the default.
  void setCloseAfterSendingDelay(EventLoop::Clock::duration delay) { closeDelay_ = delay; }
  EventLoop::Clock::duration closeAfterSendingDelay() const { return closeDelay_; }

 private:
  void fail(const std::string& reason);
  void onState(ConnectionState state, const std::string& error);
  void receiveNext();
  void onReceived(std::optional<Bytes> content, bool isComplete, std::optional<std::string> error);

  std::shared_ptr<TcpConnection> connection_;
  EventLoop& queue_;
  Bytes buffer_;
  bool closed_ = false;   // the end has been reported; never again
  bool stopped_ = false;  // the owner closed the link; no more messages
  bool overflowed_ = false;  // the send queue was full; nothing more is sent
  EventLoop::Clock::duration closeDelay_ = kCloseAfterSendingDelay;
};

}  // namespace lumenbrook
