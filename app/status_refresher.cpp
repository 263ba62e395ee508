#include "app/status_refresher.h"

#include <pthread.h>

#include <utility>

namespace lumenbrook {

StatusRefresher::StatusRefresher(std::function<MacStatus()> read,
                                 std::chrono::steady_clock::duration period)
    : read_(std::move(read)), period_(period) {
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "status");
    run();
  });
}

StatusRefresher::~StatusRefresher() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void StatusRefresher::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    cache_.setValue(read_());
    lock.lock();
    cv_.wait_for(lock, period_, [this] { return stopping_; });
  }
}

}  // namespace lumenbrook
