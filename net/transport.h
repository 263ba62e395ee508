#pragma once
// TCP transport of the control connections: a listener and connections with the event-driven
// contract the framed link and the host server are written against.
//
// Threading: every object here belongs to one EventLoop. Its methods are called on the loop
// thread, and every handler it invokes runs there. Reports are always delivered from the loop
// later, never from inside the call that caused them, so an owner can act on a report (even
// release the object) without re-entering its own caller.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/security/local_network.h"
#include "core/util/bytes.h"
#include "net/event_loop.h"

namespace lumenbrook {

// A remote host and port. `host` is an IPv4 dotted address, an IPv6 address (possibly with a
// "%" zone suffix, or "::ffff:" and a dotted address for an IPv4 peer of a dual-stack socket)
// or, for an outgoing connection, the name it was created with.
struct Endpoint {
  std::string host;
  std::uint16_t port = 0;
  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// The name of the interface that holds the local address `address` (numeric text as in
// Endpoint): an exact match first, else the interface whose prefix contains it, so that
// 127.0.0.2 is on "lo". Absent when no interface holds it.
std::optional<std::string> interfaceNameOf(const std::string& address);

// Connection states as reported to the state handler. `waiting` means the peer could not be
// reached (an outgoing connection stays there until cancelled); `failed` an error on an
// established connection; `cancelled` is final and follows every cancel(), also after a
// failure.
enum class ConnectionState { waiting, ready, failed, cancelled };

// One TCP connection, accepted or outgoing. Held by std::shared_ptr; releasing the last
// reference closes the socket without any further report.
class TcpConnection {
 public:
  // `error` is the system's description for waiting and failed, empty otherwise.
  using StateHandler = std::function<void(ConnectionState state, const std::string& error)>;
  // Bytes that arrived (absent when none), whether the peer has finished sending, and the
  // description of a receive error. Data that arrived before the end of the stream or an
  // error come in the same call, ahead of it.
  using ReceiveHandler = std::function<void(std::optional<Bytes> content, bool isComplete,
                                            std::optional<std::string> error)>;

  virtual ~TcpConnection() = default;

  // Set before start().
  virtual void setStateHandler(StateHandler handler) = 0;
  // Accepted: becomes ready. Outgoing: resolves and connects, then ready or waiting.
  virtual void start() = 0;
  // Closes the socket, drops queued data and the outstanding receive (its handler is not
  // called), then reports cancelled once. Further calls do nothing.
  virtual void cancel() = 0;

  // Queues one buffer to be written whole, after everything queued before it. Data queued
  // before ready is written once ready. A write error is reported as failed.
  virtual void send(Bytes data) = 0;
  // Bytes given to send() and not yet written whole (a buffer partly written counts whole);
  // 0 after cancel() or a write error.
  virtual std::size_t queuedBytes() const = 0;
  // Ends the sending direction once everything queued so far is written, then calls
  // `processed`. Data queued afterwards is dropped.
  virtual void sendEndOfStream(std::function<void()> processed) = 0;
  // Completes once at least `minimum` bytes (at most `maximum`) arrived, or the stream ended,
  // or an error occurred. REQUIRES: no other receive outstanding; 1 <= minimum <= maximum.
  virtual void receive(std::size_t minimum, std::size_t maximum, ReceiveHandler handler) = 0;

  // Accepted: the peer's address and port. Outgoing: the host and port dialled.
  virtual Endpoint endpoint() const = 0;
  // This side's address and port while connected; absent before and after.
  virtual std::optional<Endpoint> localEndpoint() const = 0;

  // The interface the connection runs over ("lo" on loopback), from localEndpoint().
  std::optional<std::string> localInterface() const;
  // The kinds of that interface, for the local-interface check; absent while not connected.
  std::optional<LocalNetwork::Path> currentPath() const;
};

// An outgoing connection to `host` (a name or address) and `port`; not started.
std::shared_ptr<TcpConnection> makeTcpConnection(EventLoop& loop, std::string host,
                                                 std::uint16_t port);

// Listens on all interfaces: IPv6 with IPv4-mapped peers, or IPv4 alone where the machine has
// no IPv6. Never shares a port (no SO_REUSEPORT), so a busy fixed port fails.
class TcpListener : public std::enable_shared_from_this<TcpListener> {
 public:
  enum class State { ready, failed, cancelled };
  using StateHandler = std::function<void(State state, const std::string& error)>;
  // The receiver owns the connection and must start or cancel it.
  using NewConnectionHandler = std::function<void(std::shared_ptr<TcpConnection>)>;

  // `port` 0 means any free port. Nothing is bound until start().
  static std::shared_ptr<TcpListener> make(EventLoop& loop, std::uint16_t port);
  ~TcpListener();

  // Set before start().
  void setStateHandler(StateHandler handler) { onState_ = std::move(handler); }
  void setNewConnectionHandler(NewConnectionHandler handler) { onConnection_ = std::move(handler); }

  // Binds and listens, then reports ready (port() is then set) or failed with the system's
  // description ("Address already in use"). After failed, nothing more is reported unless
  // cancel() is called.
  void start();
  // Stops accepting and reports cancelled once. Releasing the listener also stops it, silently.
  void cancel();

  // The bound port once ready.
  std::optional<std::uint16_t> port() const { return boundPort_; }
  // False when it fell back to IPv4 alone.
  bool dualStack() const { return dualStack_; }

  struct Impl;

 private:
  TcpListener(EventLoop& loop, std::uint16_t port);
  void report(State state, std::string error);
  void acceptNext();

  EventLoop& loop_;
  std::uint16_t requestedPort_;
  std::unique_ptr<Impl> impl_;
  StateHandler onState_;
  NewConnectionHandler onConnection_;
  std::optional<std::uint16_t> boundPort_;
  bool dualStack_ = false;
  bool started_ = false;
  bool cancelled_ = false;
};

}  // namespace lumenbrook
