#pragma once
// Pixel buffers that frames give back when their last owner lets go, so that a steady stream
// of pictures does not allocate (and zero) a buffer per picture. Frames hold the pool through
// their deleter, so it outlives its source when a consumer keeps a frame longer.
//
// Threads: every member may be called from any thread; frames may be released anywhere.

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "core/util/bytes.h"

namespace lumenbrook {

class FramePool : public std::enable_shared_from_this<FramePool> {
 public:
  // Two frames in flight (one encoding, one queued) and one being drawn.
  static constexpr std::size_t keep = 3;

  // Held by a shared_ptr, so that frames can keep it.
  [[nodiscard]] static std::shared_ptr<FramePool> create();

  // A buffer of `size` bytes for the next picture: a returned one of that size when there is
  // one, else a new one. Its contents are whatever the last picture left. Null when there is
  // no memory.
  [[nodiscard]] std::unique_ptr<Bytes> take(std::size_t size);

  // Keeps a buffer that was taken but not shared (its picture could not be made).
  void give(std::unique_ptr<Bytes> buffer) noexcept;

  // The filled buffer as a frame's immutable pixels, which come back here when the last
  // owner lets go. Null when there is no memory; the buffer is then back in the pool.
  [[nodiscard]] std::shared_ptr<const Bytes> share(std::unique_ptr<Bytes> buffer);

 private:
  // Room reserved up front, so that give(), which runs in a frame's deleter, never allocates
  // and so never throws.
  FramePool() { free_.reserve(keep); }

  std::mutex mutex_;
  std::vector<std::unique_ptr<Bytes>> free_;
};

}  // namespace lumenbrook
