// The X11 backend as the host uses it: each stream's source makes a monitor of the stream's
// size on a free output (Xorg with the dummy driver) and shows what is on it, leaves nothing
// behind when it stops, and mirrors the main monitor where no output is free (Xvfb).

#include "desktop/x11/x11_display.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/desktop/x_server.h"

namespace lumenbrook {
namespace {

using testing::TestWindow;
using testing::XClient;
using testing::XServer;

constexpr auto kTimeout = std::chrono::seconds(20);

// Frames and log lines as they arrive from other threads.
class Collector {
 public:
  FrameSource::Deliver deliver() {
    return [this](VideoFrame f) {
      std::lock_guard lock(mutex_);
      last_ = std::move(f);
      ++frames_;
      changed_.notify_all();
    };
  }
  DesktopLog log() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      changed_.notify_all();
    };
  }
  // The first frame after now for which `ok` holds.
  std::optional<VideoFrame> frameWhere(const std::function<bool(const VideoFrame&)>& ok) {
    std::unique_lock lock(mutex_);
    std::optional<VideoFrame> found;
    changed_.wait_for(lock, kTimeout, [&] {
      if (last_ && ok(*last_)) found = last_;
      return found.has_value();
    });
    return found;
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::size_t count(const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& l : lines()) n += l.starts_with(prefix);
    return n;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<VideoFrame> last_;
  std::size_t frames_ = 0;
  std::vector<std::string> lines_;
};

// B, G, R of pixel (x, y).
std::uint32_t rgbAt(const VideoFrame& f, int x, int y) {
  const std::uint8_t* p = f.pixels->data() + static_cast<std::size_t>(y) * f.stride + static_cast<std::size_t>(x) * 4;
  return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

int activeOutputs(XClient& client) {
  int n = 0;
  for (const auto& o : client.outputs()) n += o.active;
  return n;
}

TEST(X11Display, AStreamGetsAMonitorOfItsSizeThatShowsWhatIsOnIt) {
  std::string why;
  auto server = XServer::xorgDummy(&why);
  if (!server) GTEST_SKIP() << why;
  XClient client(server->display());
  ASSERT_TRUE(client.ok());

  Collector collector;
  auto display = X11Display::open(server->display(), {collector.log(), std::chrono::steady_clock::now()});
  ASSERT_TRUE(display.ok()) << display.error();
  DisplayBackend& backend = *display.value();
  EXPECT_TRUE(backend.captureAllowed());
  EXPECT_TRUE(backend.inputAllowed());
  EXPECT_EQ(backend.desktopBounds(), (Rect{0, 0, 1280, 800}));

  auto source = backend.makeSource(1170, 540);
  source->start(1170, 540, 30, collector.deliver());
  ASSERT_EQ(collector.count("display: monitor 1170x540@30 on DUMMY"), 1u);
  EXPECT_EQ(backend.desktopBounds(), (Rect{0, 0, 2450, 800}));
  EXPECT_EQ(activeOutputs(client), 2);
  EXPECT_EQ(client.screenSize(), (std::pair{2450, 800}));

  // A window on the new monitor, 200 px from its left edge.
  TestWindow window(client, 1280 + 200, 100, 300, 200, 0x3366cc);
  auto frame = collector.frameWhere([](const VideoFrame& f) { return rgbAt(f, 350, 200) == 0x3366cc; });
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 1170);
  EXPECT_EQ(frame->height, 540);
  EXPECT_EQ(rgbAt(*frame, 150, 200), 0x000000);  // left of the window: the bare root

  // The pointer entered the new monitor, and its picture shows it there.
  ASSERT_EQ(client.movePointer(1280 + 100, 400).x, 1280 + 100);
  auto pointed = collector.frameWhere([](const VideoFrame& f) {
    for (int y = 390; y < 410; ++y) {
      for (int x = 90; x < 110; ++x) {
        if (rgbAt(f, x, y) != 0) return true;
      }
    }
    return false;
  });
  EXPECT_TRUE(pointed);

  source->stop();
  EXPECT_EQ(activeOutputs(client), 1);
  EXPECT_EQ(client.screenSize(), (std::pair{1280, 800}));
  for (const auto& name : client.modeNames()) EXPECT_FALSE(name.starts_with("Lumenbrook-")) << name;
  EXPECT_EQ(backend.desktopBounds(), (Rect{0, 0, 1280, 800}));
}

TEST(X11Display, WithoutAFreeOutputStreamsMirrorTheMainMonitorAndSaySoOnce) {
  std::string why;
  auto server = XServer::xvfb(1280, 800, &why);
  if (!server) GTEST_SKIP() << why;
  XClient client(server->display());
  ASSERT_TRUE(client.ok());
  TestWindow window(client, 0, 0, 640, 400, 0x20c040);  // the top-left quarter

  Collector collector;
  auto display = X11Display::open(server->display(), {collector.log(), std::chrono::steady_clock::now()});
  ASSERT_TRUE(display.ok()) << display.error();
  for (int stream = 0; stream < 2; ++stream) {
    auto source = display.value()->makeSource(640, 400);
    source->start(640, 400, 30, collector.deliver());
    // Scaled by half: the quarter window fills the frame's top-left quarter.
    auto frame = collector.frameWhere([](const VideoFrame& f) {
      return f.width == 640 && rgbAt(f, 100, 100) == 0x20c040;
    });
    ASSERT_TRUE(frame) << stream;
    EXPECT_NE(rgbAt(*frame, 500, 300), 0x20c040);
    source->stop();
  }
  EXPECT_EQ(collector.count("display: mirroring the main monitor: "), 1u);
  EXPECT_EQ(activeOutputs(client), 1);
}

TEST(X11Display, CaptureAndInputEndWithTheServer) {
  std::string why;
  auto server = XServer::xvfb(640, 480, &why);
  if (!server) GTEST_SKIP() << why;
  auto display = X11Display::open(server->display(), {});
  ASSERT_TRUE(display.ok()) << display.error();
  EXPECT_TRUE(display.value()->captureAllowed());
  EXPECT_TRUE(display.value()->pointer());
  server.reset();
  EXPECT_FALSE(display.value()->captureAllowed());
  EXPECT_FALSE(display.value()->inputAllowed());
  EXPECT_FALSE(display.value()->pointer());
}

}  // namespace
}  // namespace lumenbrook
