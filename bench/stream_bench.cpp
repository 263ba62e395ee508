// The host's per-frame cost of getting an encoded frame onto the network, the encoder left
// out: the frame's byte form is cut into fragments, each fragment is sealed with the stream's
// datagram sealer and sent as one datagram to a loopback UDP socket, as the streamer does for
// every packet. A 120 KB keyframe and a 12 KB delta frame are about what 20 Mbit/s at 60 fps
// produces.
//
// Stream/FragmentSeal: fragmenting and sealing alone, no socket.
// Stream/FragmentSealSend: the same plus one sendto() per datagram; a second thread drains the
// receiving socket as a phone would, so the kernel delivers rather than drops. Real time.
// Counters: time_per_frame (shown in µs), and datagrams_per_second through the whole path.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "core/security/secure_channel.h"
#include "core/video/fragmenter.h"

namespace lumenbrook {
namespace {

HandshakeKeys streamKeys() {
  const Uuid id = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  const Bytes psk(32, 0x11), nonceP(32, 0x22), nonceH(32, 0x33);
  return Handshake::hostReply(psk, id, nonceP, nonceH).keys.stream(1);
}

Bytes frameBytes(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return b;
}

void setCounters(benchmark::State& state, std::uint64_t datagrams) {
  const double frames = static_cast<double>(state.iterations());
  state.counters["time_per_frame"] =
      benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["datagrams_per_second"] = benchmark::Counter(static_cast<double>(datagrams), benchmark::Counter::kIsRate);
}

void Stream_FragmentSeal(benchmark::State& state) {
  const Bytes frame = frameBytes(static_cast<std::size_t>(state.range(0)));
  Fragmenter fragmenter;
  Sealer sealer(streamKeys(), false, true);
  std::uint64_t datagrams = 0;
  for (auto _ : state) {
    for (const Bytes& fragment : fragmenter.fragment(frame, true, 1234)) {
      auto sealed = sealer.seal(fragment);
      benchmark::DoNotOptimize(sealed);
      ++datagrams;
    }
  }
  setCounters(state, datagrams);
}
BENCHMARK(Stream_FragmentSeal)->Arg(120 * 1024)->Arg(12 * 1024)->Unit(benchmark::kMicrosecond);

// A loopback UDP socket on 127.0.0.1 that a thread of its own empties until destroyed.
class DrainedSocket {
 public:
  DrainedSocket() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    int size = 8 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socklen_t len = sizeof address_;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &len);
    timeval tick{0, 50'000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    drain_ = std::thread([this] {
      std::uint8_t buf[2048];
      while (!done_.load()) (void)::recv(fd_, buf, sizeof buf, 0);
    });
  }
  ~DrainedSocket() {
    done_ = true;
    drain_.join();
    ::close(fd_);
  }
  const sockaddr_in& address() const { return address_; }

 private:
  int fd_ = -1;
  sockaddr_in address_{};
  std::atomic<bool> done_{false};
  std::thread drain_;
};

void Stream_FragmentSealSend(benchmark::State& state) {
  const Bytes frame = frameBytes(static_cast<std::size_t>(state.range(0)));
  Fragmenter fragmenter;
  Sealer sealer(streamKeys(), false, true);
  DrainedSocket phone;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const auto* to = reinterpret_cast<const sockaddr*>(&phone.address());
  std::uint64_t datagrams = 0;
  for (auto _ : state) {
    for (const Bytes& fragment : fragmenter.fragment(frame, true, 1234)) {
      auto sealed = sealer.seal(fragment);
      if (!sealed.ok() ||
          ::sendto(fd, sealed.value().data(), sealed.value().size(), 0, to, sizeof(sockaddr_in)) < 0) {
        state.SkipWithError("a datagram could not be sealed or sent");
        break;
      }
      ++datagrams;
    }
  }
  ::close(fd);
  setCounters(state, datagrams);
}
BENCHMARK(Stream_FragmentSealSend)->Arg(120 * 1024)->Arg(12 * 1024)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace lumenbrook
