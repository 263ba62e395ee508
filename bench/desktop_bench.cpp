// The X11 capture's cost per frame: one MIT-SHM grab of the root window, the pointer drawn in
// and the copy (or scale) into a pool frame, as the capture thread does it at every tick. The
// figure is wall time per frame, because the X server's half of the work (copying the
// framebuffer into the shared segment) runs in its own process.
//
// Against an Xvfb of 1920x1080 that the benchmark starts itself, with the pointer inside the
// region so that its composite is paid for.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "desktop/x11/x11_capture.h"
#include "tests/desktop/x_server.h"

namespace lumenbrook {
namespace {

// Started on first use and stopped at exit; null with `why` set when Xvfb cannot start.
testing::XServer* screen(std::string* why) {
  static std::string reason;
  static std::unique_ptr<testing::XServer> server = testing::XServer::xvfb(1920, 1080, &reason);
  *why = reason;
  return server.get();
}

// Arguments: the region's width and height, then the stream's.
void BM_Capture(benchmark::State& state) {
  std::string why;
  testing::XServer* server = screen(&why);
  if (!server) {
    state.SkipWithError(why.c_str());
    return;
  }
  auto grabber = X11Grabber::open(server->display());
  if (!grabber) {
    state.SkipWithError(grabber.error().c_str());
    return;
  }
  const ScreenRegion region{0, 0, static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
  const int width = static_cast<int>(state.range(2));
  const int height = static_cast<int>(state.range(3));
  for (auto _ : state) {
    // The frame is dropped at once, so its buffer goes back to the pool as in a steady stream.
    auto frame = (*grabber)->grab(region, width, height, std::chrono::steady_clock::time_point{});
    if (!frame) {
      state.SkipWithError(frame.error().message.c_str());
      return;
    }
    benchmark::DoNotOptimize(frame->pixels->data());
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Capture)
    ->ArgNames({"region_w", "region_h", "frame_w", "frame_h"})
    ->Args({1280, 720, 1280, 720})
    ->Args({1920, 1080, 1920, 1080})
    ->Args({1920, 1080, 1280, 720})  // mirroring a larger monitor into a 720p stream
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace lumenbrook
