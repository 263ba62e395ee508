#include "net/event_loop.h"

#include <pthread.h>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace lumenbrook {

// Owned by the pending wait handler alone, so it lives exactly until the call ran or was
// cancelled; handles see it weakly.
struct TimerHandle::State {
  State(EventLoop& l, std::function<void()> f) : loop(l), timer(l.context()), fn(std::move(f)) {}
  EventLoop& loop;
  asio::steady_timer timer;
  std::function<void()> fn;
  std::atomic<bool> settled{false};  // ran or cancelled
};

void TimerHandle::cancel() {
  auto state = state_.lock();
  if (!state || state->settled.exchange(true)) return;
  // The timer object belongs to the loop thread; elsewhere the flag alone already keeps the
  // call from starting and the wake-up only releases the wait early.
  if (state->loop.isOnLoop()) {
    state->timer.cancel();
  } else {
    state->loop.post([weak = state_] {
      if (auto s = weak.lock()) s->timer.cancel();
    });
  }
}

bool TimerHandle::pending() const {
  auto state = state_.lock();
  return state && !state->settled.load();
}

EventLoop::EventLoop(const std::string& threadName) : work_(asio::make_work_guard(io_)) {
  // The name must be applied by the thread itself before it runs anything, so the loop's
  // first handler already shows it.
  std::string name = threadName.substr(0, 15);
  thread_ = std::thread([this, name] {
    pthread_setname_np(pthread_self(), name.c_str());
    io_.run();
    {
      std::lock_guard lock(waitMutex_);
      finished_ = true;
    }
    waitCv_.notify_all();
  });
  threadId_ = thread_.get_id();
}

// On the loop thread stop() throws, and leaving a destructor by an exception ends the process
// with that message: the loop cannot join itself.
EventLoop::~EventLoop() { stop(); }

void EventLoop::post(std::function<void()> fn) {
  if (stopping_.load()) return;
  asio::post(io_, std::move(fn));
}

TimerHandle EventLoop::schedule(Clock::duration delay, std::function<void()> fn) {
  auto state = std::make_shared<TimerHandle::State>(*this, std::move(fn));
  TimerHandle handle{state};
  auto arm = [state, delay] {
    if (state->settled.load()) return;
    state->timer.expires_after(delay);
    state->timer.async_wait([state](const std::error_code&) {
      // The flag, not the error code, decides: a wait that completed just before cancel()
      // still reports success.
      if (state->settled.exchange(true)) return;
      auto fn = std::move(state->fn);
      if (fn) fn();
    });
  };
  if (isOnLoop()) {
    arm();
  } else {
    post(std::move(arm));
  }
  return handle;
}

void EventLoop::stop() {
  if (isOnLoop()) throw std::logic_error("EventLoop::stop called on the loop thread");
  stopping_.store(true);
  work_.reset();
  io_.stop();
  if (thread_.joinable()) thread_.join();
}

void EventLoop::waitFor(const std::shared_ptr<bool>& done) {
  std::unique_lock lock(waitMutex_);
  waitCv_.wait(lock, [&] { return *done || finished_; });
  if (!*done) throw std::logic_error("EventLoop stopped before the call ran");
}

}  // namespace lumenbrook
