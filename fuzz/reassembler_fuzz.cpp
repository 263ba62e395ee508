// Reassembler::receive on a sequence of datagrams cut from the input.
//
// Input: window (1 + byte % 64), maxNacks (byte % 8), a base frame id (4 bytes), then records:
//   tag 1xxxxxxx: a raw datagram of <next byte> bytes;
//   tag 0krlllll: a fragment built from the fields that follow: frame id offset from the base
//                 (2 bytes), index, count, capture time (1 byte each), then l payload bytes;
//                 k marks a keyframe, r sends the datagram twice in a row.
// The compact form lets the fuzzer spend its time on the reassembler rather than on forging
// headers; raw datagrams keep the header reader in the path.
//
// Checks: frames come out strictly in id order, and a frame that is not a keyframe only
// directly after the frame before it, so the decoder never sees a frame it cannot use; every
// frame is the fragments received for its id joined in index order; NACKs precede the other
// events of a call and name only missing fragments of older frames, in ascending order; the
// counters match the events; a datagram whose header does not read changes nothing, and the
// same datagram again at once causes nothing; the memory of given-up ids stays bounded.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "core/video/fragment_header.h"
#include "core/video/reassembler.h"
#include "fuzz/fuzz_support.h"

using namespace lumenbrook;

namespace {

bool newer(std::uint32_t a, std::uint32_t b) {
  const std::uint32_t d = a - b;
  return d >= 1 && d <= 2147483646u;
}

struct Received {
  FragmentHeader header;
  Bytes payload;
};

// Whether `data` is, for one fragment count, the payloads of indexes 0, 1, ... joined, each
// taken from some received fragment of that id and count, with the completing header's flags.
bool assembledFromFragments(const Reassembler::Frame& frame, const std::vector<Received>& received) {
  std::map<std::uint16_t, std::vector<const Received*>> byCount;
  for (const auto& r : received) {
    if (r.header.frameID == frame.frameID) byCount[r.header.count].push_back(&r);
  }
  for (const auto& [count, fragments] : byCount) {
    bool headerSeen = false;
    std::vector<std::set<Bytes>> candidates(count);
    for (const Received* r : fragments) {
      candidates[r->header.index].insert(r->payload);
      headerSeen |= r->header.isKeyframe == frame.isKeyframe &&
                    r->header.captureTimeMicros == frame.captureTimeMicros;
    }
    if (!headerSeen) continue;
    // Offsets into `data` reachable after joining the first i fragments.
    std::set<std::size_t> reachable{0};
    for (std::uint16_t i = 0; i < count && !reachable.empty(); ++i) {
      std::set<std::size_t> next;
      for (std::size_t offset : reachable) {
        for (const Bytes& payload : candidates[i]) {
          if (frame.data.size() - offset >= payload.size() &&
              std::equal(payload.begin(), payload.end(), frame.data.begin() + static_cast<std::ptrdiff_t>(offset))) {
            next.insert(offset + payload.size());
          }
        }
      }
      reachable = std::move(next);
    }
    if (reachable.contains(frame.data.size())) return true;
  }
  return false;
}

struct Run {
  Reassembler reassembler;
  std::vector<Received> received;
  std::optional<std::uint32_t> lastFrame;
  std::uint64_t frames = 0;
  std::uint64_t nacks = 0;
  std::size_t closedBefore = 0;
  bool closedCutBack = false;

  std::vector<Reassembler::Event> feed(ByteView datagram) {
    const auto header = FragmentHeader::parse(datagram);
    if (!header) {
      const Reassembler before = reassembler;
      auto events = reassembler.receive(datagram);
      LB_FUZZ_CHECK(events.empty() && reassembler == before);
      return events;
    }
    received.push_back({*header, Bytes(datagram.begin() + FragmentHeader::size, datagram.end())});

    auto events = reassembler.receive(datagram);
    bool pastNacks = false;
    for (const auto& event : events) {
      if (const auto* nack = std::get_if<Reassembler::Nack>(&event)) {
        LB_FUZZ_CHECK(!pastNacks);
        ++nacks;
        LB_FUZZ_CHECK(reassembler.newest() && newer(*reassembler.newest(), nack->frameID));
        LB_FUZZ_CHECK(!nack->missing.empty());
        for (std::size_t i = 1; i < nack->missing.size(); ++i) {
          LB_FUZZ_CHECK(nack->missing[i - 1] < nack->missing[i]);
        }
        bool inRange = false;
        for (const auto& r : received) {
          inRange |= r.header.frameID == nack->frameID && nack->missing.back() < r.header.count;
        }
        LB_FUZZ_CHECK(inRange);
        continue;
      }
      pastNacks = true;
      if (const auto* frame = std::get_if<Reassembler::Frame>(&event)) {
        ++frames;
        if (lastFrame) LB_FUZZ_CHECK(newer(frame->frameID, *lastFrame));
        if (!frame->isKeyframe) LB_FUZZ_CHECK(lastFrame && frame->frameID == *lastFrame + 1);
        LB_FUZZ_CHECK(assembledFromFragments(*frame, received));
        lastFrame = frame->frameID;
      } else {
        const auto& request = std::get<Reassembler::RequestKeyframe>(event);
        LB_FUZZ_CHECK(reassembler.newest() && !newer(request.afterFrame, *reassembler.newest()));
      }
    }

    LB_FUZZ_CHECK(reassembler.framesDelivered() == frames);
    LB_FUZZ_CHECK(reassembler.nacksSent() == nacks);
    LB_FUZZ_CHECK(reassembler.waitingForKeyframe() || reassembler.lastDelivered().has_value());
    LB_FUZZ_CHECK(reassembler.closedCount() <= Reassembler::closedLimit);
    // `closed` only ever shrinks by its cut-back, after which old ids may be taken afresh.
    closedCutBack |= reassembler.closedCount() < closedBefore;
    closedBefore = reassembler.closedCount();
    return events;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const int window = 1 + in.byte() % 64;
  const int maxNacks = in.byte() % 8;
  const std::uint32_t base = in.u32();
  Run run{Reassembler(window, maxNacks), {}, {}, 0, 0, 0, false};

  while (!in.empty()) {
    const std::uint8_t tag = in.byte();
    if (tag & 0x80) {
      const std::size_t length = in.byte();
      run.feed(in.take(length));
      continue;
    }
    FragmentHeader header;
    header.isKeyframe = (tag & 0x40) != 0;
    header.frameID = base + in.u16();
    header.index = in.byte();
    header.count = in.byte();
    header.captureTimeMicros = in.byte();
    Bytes datagram = header.encoded();
    append(datagram, in.take(tag & 0x1F));
    run.feed(datagram);
    if (tag & 0x20) {
      auto again = run.feed(datagram);
      LB_FUZZ_CHECK(again.empty() || run.closedCutBack);
    }
  }
  return 0;
}
