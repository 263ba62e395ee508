#include "desktop/x11/x11_capture.h"

#include <pthread.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/desktop/x_server.h"

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;
using testing::XClient;
using testing::XServer;
using testing::TestWindow;
using Pixel = std::array<std::uint8_t, 4>;  // B, G, R, A

constexpr auto kWaitLimit = 10s;
constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;
constexpr int kFps = 120;
const std::chrono::steady_clock::time_point kEpoch{};

// What the capture thread hands over, for the test thread to wait on.
template <class T>
class Collector {
 public:
  void push(T item) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(item));
    }
    changed_.notify_all();
  }
  [[nodiscard]] bool waitFor(const std::function<bool(const std::vector<T>&)>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWaitLimit, [&] { return done(items_); });
  }
  [[nodiscard]] bool waitFor(std::size_t n) {
    return waitFor([n](const std::vector<T>& items) { return items.size() >= n; });
  }
  std::vector<T> items() {
    std::lock_guard lock(mutex_);
    return items_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<T> items_;
};

struct Delivery {
  VideoFrame frame;
  std::string thread;
};

class Frames : public Collector<Delivery> {
 public:
  FrameSource::Deliver deliver(std::function<void()> after = {}) {
    return [this, after](VideoFrame frame) {
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      push({std::move(frame), name});
      if (after) after();
    };
  }
};

class Lines : public Collector<std::string> {
 public:
  X11Capture::Log log() {
    return [this](const std::string& line) { push(line); };
  }
};

Pixel at(const VideoFrame& f, int x, int y) {
  const std::uint8_t* p = f.pixels->data() + static_cast<std::size_t>(y) * f.stride + static_cast<std::size_t>(x) * 4;
  return {p[0], p[1], p[2], p[3]};
}
Pixel opaque(std::uint32_t rgb) {
  return {static_cast<std::uint8_t>(rgb), static_cast<std::uint8_t>(rgb >> 8), static_cast<std::uint8_t>(rgb >> 16), 255};
}

// libyuv's SIMD filters weigh two neighbours with 7-bit fractions that add up to 127/128, so a
// plain colour scaled by an odd ratio comes out a step or two darker; alpha stays exact.
bool near(const Pixel& a, const Pixel& b) {
  for (int i = 0; i < 3; ++i) {
    if (std::abs(a[i] - b[i]) > 3) return false;
  }
  return a[3] == b[3];
}

// Segments created by this process, from the kernel's own table: {perms, size} each.
std::vector<std::pair<unsigned, std::size_t>> ourSegments() {
  std::ifstream table("/proc/sysvipc/shm");
  std::string line;
  std::getline(table, line);  // column names
  std::vector<std::pair<unsigned, std::size_t>> found;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    long key, id, cpid;
    std::string perms;
    std::size_t size;
    fields >> key >> id >> perms >> size >> cpid;
    if (cpid == ::getpid()) found.emplace_back(std::stoul(perms, nullptr, 8), size);
  }
  return found;
}

class X11CaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = XServer::xvfb(kScreenWidth, kScreenHeight, &why_);
    if (server_) client_ = std::make_unique<XClient>(server_->display());
  }
  static void TearDownTestSuite() {
    client_.reset();
    server_.reset();
  }
  void SetUp() override {
    if (!server_) GTEST_SKIP() << why_;
    ASSERT_TRUE(client_->ok());
  }

  static void movePointer(int x, int y) {
    const auto p = client_->movePointer(x, y);
    ASSERT_EQ(p.x, x);
    ASSERT_EQ(p.y, y);
  }

  // The first frame of a capture started now.
  static VideoFrame firstFrame(ScreenRegion region, int width, int height) {
    Frames frames;
    X11Capture capture(server_->display(), region, kEpoch);
    capture.start(width, height, kFps, frames.deliver());
    EXPECT_TRUE(frames.waitFor(1));
    capture.stop();
    auto items = frames.items();
    return items.empty() ? VideoFrame{} : items.front().frame;
  }

  static inline std::unique_ptr<XServer> server_;
  static inline std::unique_ptr<XClient> client_;
  static inline std::string why_;
};

TEST_F(X11CaptureTest, CopiesTheRegionsPixelsOpaqueOnTheCaptureThread) {
  constexpr std::uint32_t colour = 0x3366cc;
  TestWindow window(*client_, 300, 200, 100, 50, colour);
  movePointer(kScreenWidth - 1, kScreenHeight - 1);

  Frames frames;
  X11Capture capture(server_->display(), {250, 150, 160, 120}, kEpoch);
  capture.start(160, 120, kFps, frames.deliver());
  ASSERT_TRUE(frames.waitFor(1));
  capture.stop();
  const Delivery d = frames.items().front();
  EXPECT_EQ(d.thread, "capture");
  const VideoFrame& f = d.frame;
  ASSERT_TRUE(f.valid());
  ASSERT_EQ(f.width, 160);
  ASSERT_EQ(f.height, 120);

  // The window sits at (50, 50) in the region; its edges are exact.
  for (int y = 0; y < f.height; ++y) {
    for (int x = 0; x < f.width; ++x) {
      const bool inside = x >= 50 && x < 150 && y >= 50 && y < 100;
      const Pixel p = at(f, x, y);
      ASSERT_EQ(p[3], 255) << x << "," << y;
      if (inside) {
        ASSERT_EQ(p, opaque(colour)) << x << "," << y;
      } else if (x >= 49 && x <= 150 && y >= 49 && y <= 100) {
        ASSERT_NE(p, opaque(colour)) << x << "," << y;
      }
    }
  }
}

TEST_F(X11CaptureTest, DrawsThePointerWhereItIsAndNowhereElse) {
  constexpr std::uint32_t background = 0x208040;
  const ScreenRegion region{600, 300, 200, 200};
  TestWindow window(*client_, region.x, region.y, region.width, region.height, background);

  movePointer(kScreenWidth - 1, 0);
  const VideoFrame away = firstFrame(region, 200, 200);
  ASSERT_TRUE(away.valid());
  for (int y = 0; y < away.height; ++y) {
    for (int x = 0; x < away.width; ++x) ASSERT_EQ(at(away, x, y), opaque(background)) << x << "," << y;
  }

  // Xvfb's root cursor (the X-shaped default) has its hotspot at the crossing.
  movePointer(700, 400);
  const VideoFrame over = firstFrame(region, 200, 200);
  ASSERT_TRUE(over.valid());
  int drawn = 0;
  for (int y = 97; y <= 103; ++y) {
    for (int x = 97; x <= 103; ++x) drawn += at(over, x, y) != opaque(background);
  }
  EXPECT_GT(drawn, 0);
  EXPECT_EQ(at(over, 10, 10), opaque(background));
}

TEST_F(X11CaptureTest, FollowsCursorChangesAtTheHotspot) {
  constexpr std::uint32_t background = 0x208040;
  const ScreenRegion region{600, 300, 200, 200};
  TestWindow window(*client_, region.x, region.y, region.width, region.height, background);
  movePointer(700, 400);

  Frames frames;
  X11Capture capture(server_->display(), region, kEpoch);
  capture.start(200, 200, kFps, frames.deliver());
  ASSERT_TRUE(frames.waitFor(1));

  // A solid red 8x8 cursor with its hotspot at (2, 3), given to the window under the pointer
  // while the capture runs: its image must be fetched again.
  xcb_connection_t* c = client_->connection();
  const xcb_pixmap_t bits = xcb_generate_id(c);
  xcb_create_pixmap(c, 1, bits, client_->root(), 8, 8);
  const xcb_gcontext_t gc = xcb_generate_id(c);
  const std::uint32_t one = 1;
  xcb_create_gc(c, gc, bits, XCB_GC_FOREGROUND, &one);
  const xcb_rectangle_t all{0, 0, 8, 8};
  xcb_poly_fill_rectangle(c, bits, gc, 1, &all);
  const xcb_cursor_t cursor = xcb_generate_id(c);
  xcb_create_cursor(c, cursor, bits, bits, 0xffff, 0, 0, 0, 0, 0, 2, 3);
  xcb_change_window_attributes(c, window.id(), XCB_CW_CURSOR, &cursor);
  xcb_free_gc(c, gc);
  xcb_free_pixmap(c, bits);
  xcb_flush(c);

  // Root (698, 397) to (705, 404) is frame (98, 97) to (105, 104).
  auto showsSquare = [&](const VideoFrame& f) {
    for (int y = 95; y < 107; ++y) {
      for (int x = 95; x < 108; ++x) {
        const bool inside = x >= 98 && x < 106 && y >= 97 && y < 105;
        if (at(f, x, y) != (inside ? opaque(0xff0000) : opaque(background))) return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(frames.waitFor([&](const std::vector<Delivery>& d) { return showsSquare(d.back().frame); }));
  capture.stop();
  xcb_free_cursor(c, cursor);
}

TEST_F(X11CaptureTest, ScalesOtherSizesWithTheAspectKeptBetweenBlackBars) {
  constexpr std::uint32_t colour = 0xc04020;
  struct Case {
    ScreenRegion region;
    int width, height;
    int contentX, contentY, contentWidth, contentHeight;
  };
  const Case cases[] = {
      {{100, 100, 400, 200}, 200, 200, 0, 50, 200, 100},   // wider: bars above and below
      {{100, 100, 200, 400}, 200, 200, 50, 0, 100, 200},   // taller: bars left and right
      {{100, 100, 160, 90}, 320, 180, 0, 0, 320, 180},     // same aspect, larger: no bars
      {{100, 100, 300, 100}, 160, 90, 0, 18, 160, 53},     // rounded, centred
  };
  movePointer(kScreenWidth - 1, kScreenHeight - 1);
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.region.width) + "x" + std::to_string(k.region.height) + " into " +
                 std::to_string(k.width) + "x" + std::to_string(k.height));
    TestWindow window(*client_, k.region.x, k.region.y, k.region.width, k.region.height, colour);
    const VideoFrame f = firstFrame(k.region, k.width, k.height);
    ASSERT_TRUE(f.valid());
    ASSERT_EQ(f.width, k.width);
    ASSERT_EQ(f.height, k.height);
    for (int y = 0; y < f.height; ++y) {
      for (int x = 0; x < f.width; ++x) {
        const bool content = x >= k.contentX && x < k.contentX + k.contentWidth && y >= k.contentY &&
                             y < k.contentY + k.contentHeight;
        if (content) {
          ASSERT_TRUE(near(at(f, x, y), opaque(colour))) << x << "," << y;
        } else {
          ASSERT_EQ(at(f, x, y), opaque(0)) << x << "," << y;
        }
      }
    }
  }
}

TEST_F(X11CaptureTest, StampsGrabTimesFromTheOriginAtMostFpsAPicture) {
  constexpr int fps = 50;
  const auto origin = std::chrono::steady_clock::now() - 10s;
  auto sinceOrigin = [&] {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - origin).count());
  };
  Frames frames;
  X11Capture capture(server_->display(), {0, 0, 64, 64}, origin);
  const std::uint64_t before = sinceOrigin();
  capture.start(64, 64, fps, frames.deliver());
  ASSERT_TRUE(frames.waitFor(1));
  const std::uint64_t afterFirst = sinceOrigin();
  ASSERT_TRUE(frames.waitFor(4));
  capture.stop();

  const auto d = frames.items();
  EXPECT_GE(d[0].frame.ptsMicros, before);
  EXPECT_LE(d[0].frame.ptsMicros, afterFirst);
  for (std::size_t i = 1; i < d.size(); ++i) EXPECT_GT(d[i].frame.ptsMicros, d[i - 1].frame.ptsMicros);
  // Tick k is never grabbed before k periods after start().
  EXPECT_GE(d[3].frame.ptsMicros - before, 3u * 1'000'000 / fps);
}

TEST_F(X11CaptureTest, NoDeliveryAfterStopReturnsAndItCanStartAgain) {
  Frames first, second;
  X11Capture capture(server_->display(), {0, 0, 64, 64}, kEpoch);
  capture.start(64, 64, 240, first.deliver());
  ASSERT_TRUE(first.waitFor(3));
  capture.stop();
  const std::size_t atStop = first.items().size();

  // The marker: frames for the next start arrive, none for the earlier one.
  capture.start(64, 64, 240, second.deliver());
  ASSERT_TRUE(second.waitFor(1));
  capture.stop();
  EXPECT_EQ(first.items().size(), atStop);
}

TEST_F(X11CaptureTest, StopFromInsideDeliverEndsTheFrames) {
  Frames frames, marker;
  X11Capture capture(server_->display(), {0, 0, 64, 64}, kEpoch);
  capture.start(64, 64, 240, frames.deliver([&] { capture.stop(); }));
  ASSERT_TRUE(frames.waitFor(1));
  capture.stop();  // waits for any delivery still running
  EXPECT_EQ(frames.items().size(), 1u);

  capture.start(64, 64, 240, marker.deliver());
  EXPECT_TRUE(marker.waitFor(1));
}

TEST_F(X11CaptureTest, SharedMemoryIsOwnerOnlyAndGoneAfterStop) {
  ASSERT_TRUE(ourSegments().empty());
  Frames frames;
  X11Capture capture(server_->display(), {10, 20, 300, 200}, kEpoch);
  capture.start(150, 100, kFps, frames.deliver());
  ASSERT_TRUE(frames.waitFor(2));

  const auto segments = ourSegments();
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].first & 0777, 0600u);
  EXPECT_NE(segments[0].first & 01000, 0u) << "not marked for removal (SHM_DEST)";
  EXPECT_GE(segments[0].second, 300u * 200 * 4);

  capture.stop();
  EXPECT_TRUE(ourSegments().empty());
}

TEST_F(X11CaptureTest, ARegionOffTheScreenSkipsFramesWithOneLineUntilMovedBack) {
  Lines lines;
  Frames frames;
  std::atomic<bool> moved{false};
  std::atomic<int> early{0};
  X11Capture capture(server_->display(), {kScreenWidth - 100, 0, 200, 100}, kEpoch, lines.log());
  capture.start(200, 100, 240, frames.deliver([&] { early += !moved; }));
  ASSERT_TRUE(lines.waitFor(1));
  moved = true;
  capture.setRegion({kScreenWidth - 200, 0, 200, 100});
  ASSERT_TRUE(frames.waitFor(1));
  capture.stop();

  EXPECT_EQ(early, 0);
  const auto logged = lines.items();
  ASSERT_EQ(logged.size(), 1u) << (logged.empty() ? "" : logged.back());
  EXPECT_NE(logged[0].find("not inside"), std::string::npos) << logged[0];
}

TEST(X11Capture, AnUnreachableDisplayGivesOneLineAndNoFrames) {
  Lines lines;
  Frames frames;
  X11Capture capture(":65000", {0, 0, 64, 64}, kEpoch, lines.log());
  capture.start(64, 64, 240, frames.deliver());
  ASSERT_TRUE(lines.waitFor(1));
  capture.stop();  // after it, no line or frame can come

  const auto logged = lines.items();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find(":65000"), std::string::npos) << logged[0];
  EXPECT_TRUE(frames.items().empty());
}

TEST(X11Capture, AServerThatGoesAwayEndsTheFramesWithOneLine) {
  std::string why;
  auto server = XServer::xvfb(320, 240, &why);
  if (!server) GTEST_SKIP() << why;
  Lines lines;
  Frames frames;
  X11Capture capture(server->display(), {0, 0, 64, 64}, kEpoch, lines.log());
  capture.start(64, 64, 240, frames.deliver());
  ASSERT_TRUE(frames.waitFor(1));

  server.reset();
  ASSERT_TRUE(lines.waitFor(1));
  capture.stop();
  const auto logged = lines.items();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find("went away"), std::string::npos) << logged[0];
  EXPECT_TRUE(ourSegments().empty());
}

}  // namespace
}  // namespace lumenbrook
