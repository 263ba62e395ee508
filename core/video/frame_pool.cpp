#include "core/video/frame_pool.h"

#include <new>
#include <utility>

namespace lumenbrook {

std::shared_ptr<FramePool> FramePool::create() {
  // make_shared cannot reach the private constructor.
  return std::shared_ptr<FramePool>(new FramePool);
}

std::unique_ptr<Bytes> FramePool::take(std::size_t size) {
  {
    std::lock_guard lock(mutex_);
    while (!free_.empty()) {
      auto b = std::move(free_.back());
      free_.pop_back();
      if (b->size() == size) return b;
      // A buffer of an earlier size: the rest are the same, none will fit again.
      free_.clear();
    }
  }
  try {
    return std::make_unique<Bytes>(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void FramePool::give(std::unique_ptr<Bytes> buffer) noexcept {
  if (!buffer) return;
  std::lock_guard lock(mutex_);
  if (free_.size() < keep) free_.push_back(std::move(buffer));
}

std::shared_ptr<const Bytes> FramePool::share(std::unique_ptr<Bytes> buffer) {
  if (!buffer) return nullptr;
  try {
    // When the control block cannot be made the constructor runs the deleter itself, which
    // returns the buffer here: ownership passes to the shared_ptr either way.
    return std::shared_ptr<const Bytes>(buffer.release(), [pool = shared_from_this()](const Bytes* b) {
      pool->give(std::unique_ptr<Bytes>(const_cast<Bytes*>(b)));
    });
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace lumenbrook
