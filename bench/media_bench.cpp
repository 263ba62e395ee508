// The host's encoder: throughput at the two stream sizes that matter, and the latency from
// handing a frame over to its packet at a live 60 fps.
//
// Throughput keeps the encoder busy without letting its one-slot input drop a frame, so the
// figure is the encoder's own rate. Compare it with the ffmpeg
// command line on the same frames and settings:
//   ffmpeg -f rawvideo -pix_fmt bgra -s WxH -r 60 -stream_loop -1 -i frames.bgra -frames:v N
//     -vf scale=out_color_matrix=bt709 -c:v libx265 -preset ultrafast -tune zerolatency
//     -b:v B -maxrate B -bufsize B*1.5/60 -g 240 -bf 0 -forced-idr 1
//     -x265-params repeat-headers=1:open-gop=0:scenecut=0:info=0:log-level=error -f hevc -y /dev/null
// where frames.bgra holds test-pattern frames 0...29 (the bench cycles through the same 30).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <time.h>

#include "core/video/test_pattern.h"
#include "media/video_encoder.h"

namespace lumenbrook {
namespace {

using Clock = std::chrono::steady_clock;

// CPU time of the whole process, every thread of the encoder included: on a shared machine a
// steadier measure of the work per frame than the wall clock.
double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

constexpr int patternFrames = 30;

std::vector<VideoFrame> frames(int width, int height) {
  std::vector<VideoFrame> out;
  for (int n = 0; n < patternFrames; ++n) out.push_back(*TestPattern::pixelBuffer(width, height, n));
  return out;
}

std::unique_ptr<VideoEncoder> encoderFor(benchmark::State& state, const EncoderConfig& config) {
  auto made = makeHevcEncoder(config, {.encoder = "libx265", .onLog = {}, .beforeEncode = {}});
  if (!made.ok()) {
    state.SkipWithError("libx265 did not open");
    return nullptr;
  }
  return std::move(made).value();
}

// Args: width, height, bit rate. The next frame is handed over as soon as the encoder has
// taken the previous one, so one always waits in the slot and none is ever replaced there;
// the run ends when every packet is out.
void BM_EncoderThroughput(benchmark::State& state) {
  const EncoderConfig config{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), 60,
                             static_cast<int>(state.range(2))};
  const auto input = frames(config.width, config.height);

  std::mutex mutex;
  std::condition_variable changed;
  std::size_t taken = 0;
  std::size_t packets = 0;
  std::size_t bytes = 0;
  auto made = makeHevcEncoder(config, {.encoder = "libx265", .onLog = {}, .beforeEncode = [&] {
                                         std::lock_guard lock(mutex);
                                         ++taken;
                                         changed.notify_all();
                                       }});
  if (!made.ok()) {
    state.SkipWithError("libx265 did not open");
    return;
  }
  auto& encoder = *made;
  encoder->setOnPacket([&](VideoPacket p) {
    std::lock_guard lock(mutex);
    ++packets;
    bytes += p.frame.size();
    changed.notify_all();
  });

  std::size_t submitted = 0;
  const double cpuBefore = processCpuSeconds();
  for (auto _ : state) {
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return taken == submitted; });
    }
    VideoFrame frame = input[submitted % input.size()];
    frame.ptsMicros = submitted * 16'667;
    encoder->encode(frame);
    ++submitted;
  }
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return packets == submitted; });
  }
  const double cpuSeconds = processCpuSeconds() - cpuBefore;
  encoder->stop();
  if (packets != submitted || taken != submitted) state.SkipWithError("a frame was dropped");
  state.SetItemsProcessed(static_cast<std::int64_t>(submitted));
  state.counters["fps"] = benchmark::Counter(static_cast<double>(submitted), benchmark::Counter::kIsRate);
  state.counters["kbit_per_frame"] = static_cast<double>(bytes) * 8 / 1000 / static_cast<double>(submitted);
  state.counters["cpu_ms_per_frame"] = cpuSeconds * 1000 / static_cast<double>(submitted);
}
BENCHMARK(BM_EncoderThroughput)
    ->Args({1280, 720, 10'000'000})
    ->Args({1920, 1080, 20'000'000})
    ->Iterations(300)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Frames handed over at 60 fps, as a capture source would; latency of each packet from the
// moment its frame was handed over. Frames the encoder could not take in time are dropped by
// its one-slot input and counted.
void BM_EncoderLatency(benchmark::State& state) {
  const EncoderConfig config{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), 60,
                             static_cast<int>(state.range(2))};
  const auto input = frames(config.width, config.height);
  auto encoder = encoderFor(state, config);
  if (!encoder) return;

  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Clock::time_point> handedOver;  // by frame number, which is the capture time
  std::vector<double> latencies;              // milliseconds
  std::uint64_t newest = 0;                   // frame number of the latest packet
  handedOver.reserve(static_cast<std::size_t>(state.max_iterations) + 1);
  latencies.reserve(handedOver.capacity());
  encoder->setOnPacket([&](VideoPacket p) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex);
    latencies.push_back(std::chrono::duration<double, std::milli>(now - handedOver[p.ptsMicros]).count());
    newest = p.ptsMicros;
    arrived.notify_one();
  });

  const auto period = std::chrono::microseconds(1'000'000 / config.fps);
  auto next = Clock::now();
  std::size_t submitted = 0;
  for (auto _ : state) {
    std::this_thread::sleep_until(next);
    next += period;
    VideoFrame frame = input[submitted % input.size()];
    frame.ptsMicros = submitted;
    {
      std::lock_guard lock(mutex);
      handedOver.push_back(Clock::now());
    }
    encoder->encode(frame);
    ++submitted;
  }
  {
    // The last frame handed over is never dropped; once its packet is in, all are.
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, std::chrono::seconds(5),
                     [&] { return !latencies.empty() && newest + 1 == submitted; });
  }
  encoder->stop();

  std::vector<double> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  if (sorted.empty()) {
    state.SkipWithError("no packets");
    return;
  }
  auto percentile = [&](double q) { return sorted[static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1))]; };
  state.counters["latency_median_ms"] = percentile(0.5);
  state.counters["latency_p95_ms"] = percentile(0.95);
  state.counters["latency_max_ms"] = sorted.back();
  state.counters["dropped"] = static_cast<double>(submitted - sorted.size());
}
BENCHMARK(BM_EncoderLatency)->Args({1280, 720, 10'000'000})->Iterations(600)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lumenbrook
