#pragma once
// The status snapshot phones receive, refreshed on a thread of its own ("status") so that the
// service only copies a cached value and a slow read never delays it.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "core/messages/mac_status.h"
#include "core/messages/status_cache.h"

namespace lumenbrook {

class StatusRefresher {
 public:
  // Reads at once, then every `period`, until destroyed.
  StatusRefresher(std::function<MacStatus()> read, std::chrono::steady_clock::duration period);
  ~StatusRefresher();
  StatusRefresher(const StatusRefresher&) = delete;
  StatusRefresher& operator=(const StatusRefresher&) = delete;

  // The latest snapshot; absent until the first read has finished. Any thread.
  std::optional<MacStatus> value() const { return cache_.value(); }

 private:
  void run();

  std::function<MacStatus()> read_;
  std::chrono::steady_clock::duration period_;
  StatusCache cache_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace lumenbrook
