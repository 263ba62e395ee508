// Opener::open under fixed keys on a sequence of payloads cut from the input.
//
// Input: one mode byte (bit 0: datagrams, bit 1: the phone's side), then records:
//   tag 1xxxxxxx: a raw payload of <next byte> bytes;
//   tag 0ccppppp: a payload sealed under the opener's key, with p plaintext bytes that follow a
//                 flip byte; the counter is the sealer's next one (c = 0), the highest accepted
//                 one plus a byte (1) or minus two bytes (2), or eight bytes given (3). A
//                 non-zero flip byte corrupts one byte after the counter.
// Sealing real payloads lets the fuzzer reach the replay window, which forged bytes never do.
//
// Checks: a rejected payload changes nothing; a short one is badMessage; a corrupted one never
// opens; an intact one opens exactly when its counter is new (strictly above the highest on
// the control stream; within the window and not seen before for datagrams) and gives back its
// plaintext, and fails with replay or tooOld otherwise; an accepted payload is refused as a
// replay at once; the remembered datagram counters stay sorted, bounded and not above the
// highest.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/security/secure_channel.h"
#include "core/security/secure_channel_testing.h"
#include "fuzz/fuzz_support.h"

using namespace lumenbrook;

namespace {

HandshakeKeys fixedKeys() {
  return HandshakeKeys{crypto::SymmetricKey(Bytes(32, 0x11)), crypto::SymmetricKey(Bytes(32, 0x22)),
                       crypto::SymmetricKey(Bytes(32, 0x33)), Bytes(80, 0x44)};
}

constexpr std::size_t kOverhead = 24;
constexpr std::size_t kSeenLimit = 2048;

struct Snapshot {
  std::uint64_t highest;
  std::vector<std::uint64_t> seen;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot snapshot(const Opener& o) { return {o.highest(), {o.seen().begin(), o.seen().end()}}; }

void checkShape(const Opener& o) {
  const auto seen = o.seen();
  LB_FUZZ_CHECK(seen.size() <= kSeenLimit);
  for (std::size_t i = 1; i < seen.size(); ++i) LB_FUZZ_CHECK(seen[i - 1] < seen[i]);
  if (!seen.empty()) LB_FUZZ_CHECK(seen.back() == o.highest());
  if (!o.reorderable()) LB_FUZZ_CHECK(seen.empty());
}

// Opens `payload`; whatever fails must leave the opener as it was.
Result<Bytes, SecureChannelError> open(Opener& opener, ByteView payload) {
  const Snapshot before = snapshot(opener);
  auto result = opener.open(payload);
  if (!result) LB_FUZZ_CHECK(snapshot(opener) == before);
  if (payload.size() < kOverhead) LB_FUZZ_CHECK(!result && result.error() == SecureChannelError::badMessage);
  checkShape(opener);
  if (result) {
    const std::uint64_t c = loadU64BE(payload.data());
    LB_FUZZ_CHECK(result->size() == payload.size() - kOverhead);
    LB_FUZZ_CHECK(opener.highest() == std::max(before.highest, c));
    auto replay = opener.open(payload);
    LB_FUZZ_CHECK(!replay && replay.error() == SecureChannelError::replay);
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t mode = in.byte();
  const bool datagrams = (mode & 1) != 0;
  const bool phoneSide = (mode & 2) != 0;
  const HandshakeKeys keys = fixedKeys();
  Opener opener(keys, phoneSide, datagrams);
  // The other side's sealer for the same direction and lane.
  Sealer sealer(keys, !phoneSide, datagrams);

  while (!in.empty()) {
    const std::uint8_t tag = in.byte();
    if (tag & 0x80) {
      (void)open(opener, in.take(in.byte()));
      continue;
    }
    const std::uint8_t flip = in.byte();
    std::uint64_t counter = sealer.counter() + 1;
    switch ((tag >> 5) & 3) {
      case 1: counter = opener.highest() + in.byte(); break;
      case 2: counter = opener.highest() - in.u16(); break;
      case 3: counter = in.u64(); break;
      default: break;
    }
    const ByteView plaintext = in.take(tag & 0x1F);
    SecureChannelTesting::setCounter(sealer, counter - 1);
    auto sealed = sealer.seal(plaintext);
    if (!sealed) {
      // Only the last counter is out of reach of a sealer.
      LB_FUZZ_CHECK(counter == 0 && sealed.error() == SecureChannelError::exhausted);
      continue;
    }
    LB_FUZZ_CHECK(loadU64BE(sealed->data()) == counter);
    Bytes payload = *sealed;

    const Snapshot before = snapshot(opener);
    if (flip != 0) {
      payload[8 + flip % (payload.size() - 8)] ^= 0x01;
      LB_FUZZ_CHECK(!open(opener, payload).ok());
      continue;
    }

    const bool fresh = datagrams ? std::find(before.seen.begin(), before.seen.end(), counter) == before.seen.end()
                                 : counter > before.highest;
    const bool tooOld = datagrams && before.highest >= Opener::window && counter <= before.highest - Opener::window;
    auto opened = open(opener, payload);
    if (tooOld) {
      LB_FUZZ_CHECK(!opened && opened.error() == SecureChannelError::tooOld);
    } else if (!fresh) {
      LB_FUZZ_CHECK(!opened && opened.error() == SecureChannelError::replay);
    } else {
      LB_FUZZ_CHECK(opened.ok() && std::equal(opened->begin(), opened->end(), plaintext.begin(), plaintext.end()));
      if (datagrams) LB_FUZZ_CHECK(std::binary_search(opener.seen().begin(), opener.seen().end(), counter));
    }
  }
  return 0;
}
