#pragma once
// The phone's side of the video path: collects the fragments of each frame, hands out complete
// frames strictly in frame-id order, asks the host again for fragments that did not arrive,
// gives up on frames that stay incomplete too long and then waits for a keyframe, asking for
// one at a measured pace. It never delivers a frame the decoder cannot use: after a loss,
// nothing is delivered until a complete keyframe is there.
//
// Frame ids are serial numbers modulo 2^32: a is newer than b when (a - b) mod 2^32 lies in
// 1 ... 2^31 - 2. Every comparison and difference of ids below follows that rule.
//
// A plain value serving one stream (a new stream starts ids at 0 and needs a new reassembler),
// used from one place at a time. It never blocks and has no clock: progress is measured in
// frame ids.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "core/util/bytes.h"
#include "core/video/fragment_header.h"

namespace lumenbrook {

class Reassembler {
 public:
  // A complete frame for the decoder; `data` is the byte form of a VideoPacket.
  struct Frame {
    std::uint32_t frameID = 0;
    bool isKeyframe = false;
    std::uint64_t captureTimeMicros = 0;
    Bytes data;
    friend bool operator==(const Frame&, const Frame&) = default;
  };
  // Ask the host to resend these fragments (ascending indexes) of a frame.
  struct Nack {
    std::uint32_t frameID = 0;
    std::vector<std::uint16_t> missing;
    friend bool operator==(const Nack&, const Nack&) = default;
  };
  // Ask the host for a keyframe.
  struct RequestKeyframe {
    std::uint32_t afterFrame = 0;
    friend bool operator==(const RequestKeyframe&, const RequestKeyframe&) = default;
  };
  using Event = std::variant<Frame, Nack, RequestKeyframe>;

  // Frame ids to let pass before a keyframe request is made or repeated. At the very start of
  // a stream no request goes out before this id either: the host's first frame is a keyframe.
  static constexpr std::uint32_t keyframeRetryFrames = 30;
  // `closed` is cut back to the ids less than closedKeep behind the newest once it passes
  // closedLimit, which bounds the memory spent on remembering given-up frames.
  static constexpr std::size_t closedLimit = 2000;
  static constexpr std::uint32_t closedKeep = 1000;

  // `window`: how many ids the newest frame may run ahead of a missing one before that one is
  // given up (keyframes still incomplete get four times as long while waiting for one).
  // `maxNacks`: the most NACKs sent for one frame; they go out when the newest id is 1, 2, 4,
  // 8, ... ahead of it.
  Reassembler(int window, int maxNacks);

  // Takes one opened datagram (fragment header and payload) and returns what it causes, in
  // order: NACKs, then frames and keyframe requests. A datagram whose header does not read
  // changes nothing.
  [[nodiscard]] std::vector<Event> receive(ByteView datagram);

  std::uint64_t framesDelivered() const { return framesDelivered_; }
  std::uint64_t framesLost() const { return framesLost_; }  // given up or discarded unplayed
  std::uint64_t duplicates() const { return duplicates_; }  // for fragments or frames already had
  std::uint64_t nacksSent() const { return nacksSent_; }
  std::uint64_t lateIgnored() const { return lateIgnored_; }  // for frames already given up

  int window() const { return window_; }
  int maxNacks() const { return maxNacks_; }
  std::optional<std::uint32_t> lastDelivered() const { return lastDelivered_; }  // or given up
  std::optional<std::uint32_t> newest() const { return newest_; }
  bool waitingForKeyframe() const { return waitingForKeyframe_; }
  bool keyframeRequested() const { return keyframeRequested_; }
  std::optional<std::uint32_t> keyframeRequestedAt() const { return keyframeRequestedAt_; }
  std::size_t partialCount() const { return partials_.size(); }
  std::size_t readyCount() const { return ready_.size(); }
  std::size_t closedCount() const { return closed_.size(); }
  bool isClosed(std::uint32_t frameID) const { return closed_.contains(frameID); }

  friend bool operator==(const Reassembler&, const Reassembler&) = default;

 private:
  struct Partial {
    FragmentHeader header;  // of the first fragment received
    std::vector<std::optional<Bytes>> parts;
    std::size_t received = 0;
    int nacks = 0;
    friend bool operator==(const Partial&, const Partial&) = default;
  };

  void nackScan(std::vector<Event>& events);
  void drain(std::vector<Event>& events);
  void close(std::uint32_t frameID, std::uint32_t newestAtDrain);
  void deliver(std::uint32_t frameID, std::vector<Event>& events);
  // Closes and removes the ids of `table` that `drop` selects, oldest first; returns how many.
  template <class Table, class Drop>
  std::size_t closeWhere(Table& table, std::uint32_t newestAtDrain, Drop drop);

  int window_;
  int maxNacks_;
  std::unordered_map<std::uint32_t, Partial> partials_;
  std::unordered_map<std::uint32_t, Frame> ready_;
  std::optional<std::uint32_t> lastDelivered_;
  std::optional<std::uint32_t> newest_;
  bool waitingForKeyframe_ = true;
  bool keyframeRequested_ = false;
  std::optional<std::uint32_t> keyframeRequestedAt_;
  std::unordered_set<std::uint32_t> closed_;
  std::uint64_t framesDelivered_ = 0;
  std::uint64_t framesLost_ = 0;
  std::uint64_t duplicates_ = 0;
  std::uint64_t nacksSent_ = 0;
  std::uint64_t lateIgnored_ = 0;
};

}  // namespace lumenbrook
