// Finding the phone behind a login handle: one HMAC per unrevoked paired device, so the cost
// grows with the store. Worst case measured: the handle belongs to the device searched last
// (the largest id in the store's order). Arguments: the number of paired devices.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "core/security/secure_channel.h"
#include "core/security/trust_store.h"

namespace lumenbrook {
namespace {

PairedDevice benchDevice(int n) {
  std::array<std::uint8_t, 16> id{};
  id[14] = static_cast<std::uint8_t>(n >> 8);
  id[15] = static_cast<std::uint8_t>(n);
  Bytes key(32, 0), psk(32, 0x5a);
  key[0] = static_cast<std::uint8_t>(n >> 8);
  key[1] = static_cast<std::uint8_t>(n);
  psk[0] = static_cast<std::uint8_t>(n);
  return PairedDevice{Uuid(id), "Phone", key, psk, Date{700000000.0}, {}};
}

void TrustStore_DeviceByHandle(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  TrustStore store;
  for (int n = 0; n < count; ++n) store.add(benchDevice(n));
  const PairedDevice& last = store.devices().rbegin()->second;
  const Bytes nonceP(32, 0x22);
  const Bytes handle = Handshake::handle(last.psk, last.id, nonceP);
  for (auto _ : state) {
    auto found = store.device(handle, nonceP);
    if (!found || found->id != last.id) {
      state.SkipWithError("the handle did not find its device");
      break;
    }
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(TrustStore_DeviceByHandle)->Arg(1)->Arg(8)->Arg(100);

}  // namespace
}  // namespace lumenbrook
