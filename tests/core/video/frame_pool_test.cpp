// Frame buffers come back to their pool when the last frame lets go, so steady streams reuse
// them instead of allocating a picture each.

#include "core/video/frame_pool.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

TEST(FramePool, AReleasedFrameGivesItsBufferBackForTheNextPicture) {
  auto pool = FramePool::create();
  auto buffer = pool->take(64);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->size(), 64u);
  const Bytes* first = buffer.get();
  auto pixels = pool->share(std::move(buffer));
  ASSERT_TRUE(pixels);
  auto kept = pixels;  // a second owner: the buffer stays out until both let go
  pixels.reset();
  EXPECT_NE(pool->take(64).get(), first);
  kept.reset();
  EXPECT_EQ(pool->take(64).get(), first);
}

TEST(FramePool, BuffersOfAnotherSizeAreDroppedAndAtMostAFewAreKept) {
  auto pool = FramePool::create();
  std::vector<std::shared_ptr<const Bytes>> frames;
  for (std::size_t i = 0; i < FramePool::keep + 2; ++i) {
    auto b = pool->take(16);
    (*b)[0] = 0xAB;  // pictures leave their bytes; new buffers start zeroed
    frames.push_back(pool->share(std::move(b)));
  }
  frames.clear();  // more come back than the pool keeps
  std::vector<std::unique_ptr<Bytes>> again;
  std::size_t reused = 0;
  for (std::size_t i = 0; i < FramePool::keep + 2; ++i) {
    again.push_back(pool->take(16));
    reused += (*again.back())[0] == 0xAB;
  }
  EXPECT_EQ(reused, FramePool::keep);
  for (auto& b : again) pool->give(std::move(b));
  // A new stream size: none of the old buffers fits, and none is handed out.
  auto bigger = pool->take(32);
  ASSERT_TRUE(bigger);
  EXPECT_EQ(bigger->size(), 32u);
  EXPECT_EQ((*bigger)[0], 0);
}

TEST(FramePool, FramesOutliveTheirPool) {
  auto pool = FramePool::create();
  auto pixels = pool->share(pool->take(8));
  pool.reset();
  ASSERT_TRUE(pixels);
  EXPECT_EQ(pixels->size(), 8u);
  pixels.reset();  // gives the buffer back to the pool the frame still holds
}

}  // namespace
}  // namespace lumenbrook
