#pragma once
// The latest Mac status snapshot, shared between the status timer (writer, a background
// thread) and the host service (reader). The one place in the core that takes a lock.

#include <mutex>
#include <optional>
#include <utility>

#include "core/messages/mac_status.h"

namespace lumenbrook {

class StatusCache {
 public:
  // Absent until the first store; never cleared afterwards. Any thread.
  std::optional<MacStatus> value() const {
    std::lock_guard<std::mutex> guard(lock_);
    return value_;
  }
  // Replaces the snapshot. Any thread.
  void setValue(MacStatus status) {
    std::lock_guard<std::mutex> guard(lock_);
    value_ = std::move(status);
  }

 private:
  mutable std::mutex lock_;
  std::optional<MacStatus> value_;
};

}  // namespace lumenbrook
