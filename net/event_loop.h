#pragma once
// The host service's single event loop: one asio::io_context run by one dedicated, named
// thread. Every socket, timer and callback of the service lives on it, so the service takes
// no locks; other threads hand work over with post() (or postAndWait() when they need the
// answer).
//
// Lifetime: objects bound to the loop (sockets, listeners, links, timers) must be released
// before the loop is destroyed. stop() and the destructor abandon work that has not run yet.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

namespace lumenbrook {

// A scheduled one-shot call; cancel() is safe from any thread and may be called repeatedly.
// Dropping the handle does not cancel the call.
class TimerHandle {
 public:
  TimerHandle() = default;
  // After cancel() returns the call does not start, except when it is already running on the
  // loop at that moment (possible only when cancel() is called from another thread).
  void cancel();
  // True until the call ran or was cancelled.
  bool pending() const;

 private:
  friend class EventLoop;
  struct State;
  explicit TimerHandle(std::weak_ptr<State> state) : state_(std::move(state)) {}
  std::weak_ptr<State> state_;
};

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts the loop thread at once. `threadName` is shown by the OS (cut to 15 bytes).
  explicit EventLoop(const std::string& threadName);
  // stop(). Destroying the loop from its own thread cannot join and ends the process.
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // For binding sockets and timers to this loop. Their handlers run on the loop thread.
  asio::io_context& context() { return io_; }

  // Queues `fn` to run on the loop thread, after everything queued before it. Any thread.
  // Ignored once stop() has begun. `fn` must not throw: an exception escaping it ends the
  // process, because a half-run handler leaves the service's state undefined.
  void post(std::function<void()> fn);

  // Runs `fn` on the loop thread and returns its result (or rethrows its exception) to the
  // calling thread, which blocks until then.
  // Throws std::logic_error when called on the loop thread itself, where waiting would
  // deadlock, and when the loop stops before `fn` ran.
  template <class F>
  std::invoke_result_t<F&> postAndWait(F fn);

  // True on the loop thread.
  bool isOnLoop() const { return std::this_thread::get_id() == threadId_; }

  // Runs `fn` on the loop once `delay` has passed. Any thread.
  TimerHandle schedule(Clock::duration delay, std::function<void()> fn);

  // Stops the loop and joins its thread; work not yet run is abandoned. Idempotent. Must not
  // be called on the loop thread (throws std::logic_error there).
  void stop();

 private:
  void waitFor(const std::shared_ptr<bool>& done);

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<bool> stopping_{false};
  std::mutex waitMutex_;
  std::condition_variable waitCv_;
  bool finished_ = false;  // guarded by waitMutex_: the thread has ended
  std::thread thread_;
  std::thread::id threadId_;
};

template <class F>
std::invoke_result_t<F&> EventLoop::postAndWait(F fn) {
  using R = std::invoke_result_t<F&>;
  if (isOnLoop()) {
    throw std::logic_error("EventLoop::postAndWait called on the loop thread (would deadlock)");
  }
  auto done = std::make_shared<bool>(false);
  std::exception_ptr error;
  std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> result{};
  post([&, done] {
    try {
      if constexpr (std::is_void_v<R>) {
        fn();
      } else {
        result.emplace(fn());
      }
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard lock(waitMutex_);
      *done = true;
    }
    waitCv_.notify_all();
  });
  waitFor(done);
  if (error) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<R>) return std::move(*result);
}

}  // namespace lumenbrook
