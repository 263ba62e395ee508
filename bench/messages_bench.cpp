// Cost of the control connection's codecs for the messages that dominate its traffic.

#include <benchmark/benchmark.h>

#include <cstdlib>

#include "core/messages/control_codec.h"
#include "core/messages/wire_codec.h"

namespace lumenbrook {
namespace {

// One sealed video-control payload of typical size on the control connection.
void BM_WireFrameUnframeSealed1300(benchmark::State& state) {
  Bytes payload(1300);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 31);
  const Wire message{Wire::Sealed{payload}};
  Bytes buffer;
  for (auto _ : state) {
    auto frame = WireCodec::frame(message);
    if (!frame) std::abort();
    buffer = std::move(*frame);
    auto out = WireCodec::unframe(buffer, 1);
    if (!out || out->size() != 1) std::abort();
    benchmark::DoNotOptimize(out->front());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WireFrameUnframeSealed1300);

void roundTrip(benchmark::State& state, const Envelope& envelope) {
  for (auto _ : state) {
    auto record = ControlCodec::encode(envelope);
    if (!record) std::abort();
    auto out = ControlCodec::decode(*record);
    if (!out || out->size() != 1) std::abort();
    benchmark::DoNotOptimize(out->front());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ControlEncodeDecodePointerMove(benchmark::State& state) {
  roundTrip(state, Envelope{InputEvent{InputEvent::PointerMove{12.5, -3.75}}});
}
BENCHMARK(BM_ControlEncodeDecodePointerMove);

void BM_ControlEncodeDecodeVideoReady(benchmark::State& state) {
  roundTrip(state, Envelope{ControlMessage{
                       ControlMessage::VideoReady{50123, 7, Bytes(16, 0x5A)}}});
}
BENCHMARK(BM_ControlEncodeDecodeVideoReady);

}  // namespace
}  // namespace lumenbrook
