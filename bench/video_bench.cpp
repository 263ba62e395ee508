// Cost of the per-frame video work on both ends: cutting an encoded frame into fragments on
// the host, putting them back together on the phone, and drawing the synthetic picture.

#include <benchmark/benchmark.h>

#include "core/video/fragmenter.h"
#include "core/video/reassembler.h"
#include "core/video/test_pattern.h"

namespace lumenbrook {
namespace {

Bytes frameBytes(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return b;
}

// A 120 KB keyframe and a 12 KB delta frame, about what 20 Mbit/s at 60 fps produces.
void BM_FragmentFrame(benchmark::State& state) {
  const Bytes data = frameBytes(static_cast<std::size_t>(state.range(0)));
  Fragmenter fragmenter;
  for (auto _ : state) {
    auto fragments = fragmenter.fragment(data, true, 1234);
    benchmark::DoNotOptimize(fragments.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_FragmentFrame)->Arg(120 * 1024)->Arg(12 * 1024)->Unit(benchmark::kMicrosecond);

// Every fragment of one 120 KB keyframe into a fresh reassembler, up to the delivered frame.
void BM_ReassembleFrame(benchmark::State& state) {
  Fragmenter fragmenter;
  const auto fragments = fragmenter.fragment(frameBytes(static_cast<std::size_t>(state.range(0))), true, 1234);
  for (auto _ : state) {
    Reassembler reassembler(8, 3);
    std::size_t events = 0;
    for (const auto& fragment : fragments) events += reassembler.receive(fragment).size();
    if (events != 1) state.SkipWithError("frame not delivered");
    benchmark::DoNotOptimize(reassembler);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ReassembleFrame)->Arg(120 * 1024)->Unit(benchmark::kMicrosecond);

// One 1920 x 1080 test-pattern frame; at 60 fps the budget is 16,667 µs.
void BM_TestPattern1080p(benchmark::State& state) {
  std::uint64_t frame = 0;
  for (auto _ : state) {
    auto image = TestPattern::pixelBuffer(1920, 1080, frame++);
    benchmark::DoNotOptimize(image);
  }
}
BENCHMARK(BM_TestPattern1080p)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace lumenbrook
