#include "core/video/reassembler.h"

#include <algorithm>

namespace lumenbrook {
namespace {

constexpr std::uint32_t maxSerialDistance = 2147483646;  // 2^31 - 2

// a is newer than b.
bool newer(std::uint32_t a, std::uint32_t b) {
  const std::uint32_t d = a - b;
  return d >= 1 && d <= maxSerialDistance;
}

}  // namespace

Reassembler::Reassembler(int window, int maxNacks) : window_(window), maxNacks_(maxNacks) {}

std::vector<Reassembler::Event> Reassembler::receive(ByteView datagram) {
  std::vector<Event> events;
  const auto header = FragmentHeader::parse(datagram);
  if (!header) return events;
  const std::uint32_t id = header->frameID;

  if (lastDelivered_ && !newer(id, *lastDelivered_)) {
    ++duplicates_;
    return events;
  }
  if (ready_.contains(id)) {
    ++duplicates_;
    return events;
  }
  if (closed_.contains(id)) {
    ++lateIgnored_;
    return events;
  }
  if (!newest_ || newer(id, *newest_)) newest_ = id;

  auto it = partials_.find(id);
  if (it == partials_.end()) {
    Partial fresh{*header, std::vector<std::optional<Bytes>>(header->count), 0, 0};
    it = partials_.emplace(id, std::move(fresh)).first;
  } else if (it->second.parts.size() != header->count) {
    return events;  // disagrees with the frame's first fragment; dropped uncounted
  }
  Partial& partial = it->second;
  auto& slot = partial.parts[header->index];
  if (slot) {
    ++duplicates_;
    return events;
  }
  slot.emplace(datagram.begin() + FragmentHeader::size, datagram.end());
  ++partial.received;

  if (partial.received == partial.parts.size()) {
    std::size_t total = 0;
    for (const auto& part : partial.parts) total += part->size();
    Frame frame{id, header->isKeyframe, header->captureTimeMicros, {}};
    frame.data.reserve(total);
    for (const auto& part : partial.parts) append(frame.data, *part);
    partials_.erase(it);
    ready_.emplace(id, std::move(frame));
  }

  nackScan(events);
  drain(events);
  return events;
}

void Reassembler::nackScan(std::vector<Event>& events) {
  if (!newest_) return;
  const std::uint32_t n = *newest_;
  std::vector<std::uint32_t> ids;
  ids.reserve(partials_.size());
  for (const auto& [id, partial] : partials_) {
    if (newer(n, id)) ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end(), [n](std::uint32_t a, std::uint32_t b) { return n - a > n - b; });

  for (auto id : ids) {
    Partial& partial = partials_.at(id);
    // Frames that cannot be shown before the next keyframe are not worth asking for.
    if (waitingForKeyframe_ && !partial.header.isKeyframe) continue;
    const int sent = partial.nacks;
    if (sent >= maxNacks_) continue;
    // Back off: the k-th repeat waits until the newest id is 2^k ahead.
    if (sent > 0 && sent < 64 && std::uint64_t{n - id} < (std::uint64_t{1} << sent)) continue;
    partial.nacks = sent + 1;
    ++nacksSent_;
    Nack nack{id, {}};
    for (std::size_t i = 0; i < partial.parts.size(); ++i) {
      if (!partial.parts[i]) nack.missing.push_back(static_cast<std::uint16_t>(i));
    }
    events.emplace_back(std::move(nack));
  }
}

void Reassembler::close(std::uint32_t frameID, std::uint32_t newestAtDrain) {
  closed_.insert(frameID);
  if (closed_.size() > closedLimit) {
    std::erase_if(closed_, [newestAtDrain](std::uint32_t x) { return newestAtDrain - x >= closedKeep; });
  }
}

template <class Table, class Drop>
std::size_t Reassembler::closeWhere(Table& table, std::uint32_t newestAtDrain, Drop drop) {
  std::vector<std::uint32_t> ids;
  for (const auto& [id, value] : table) {
    if (drop(id, value)) ids.push_back(id);
  }
  // Oldest first, so that the cut-back of `closed` does not depend on hash order.
  std::sort(ids.begin(), ids.end(),
            [newestAtDrain](std::uint32_t a, std::uint32_t b) { return newestAtDrain - a > newestAtDrain - b; });
  for (auto id : ids) {
    close(id, newestAtDrain);
    table.erase(id);
  }
  return ids.size();
}

void Reassembler::deliver(std::uint32_t frameID, std::vector<Event>& events) {
  auto it = ready_.find(frameID);
  Frame frame = std::move(it->second);
  ready_.erase(it);
  lastDelivered_ = frameID;
  ++framesDelivered_;
  events.emplace_back(std::move(frame));
}

void Reassembler::drain(std::vector<Event>& events) {
  if (!newest_) return;
  const std::uint32_t n = *newest_;
  const std::int64_t window = window_;

  for (;;) {
    if (!waitingForKeyframe_) {
      // In order: lastDelivered is set whenever a keyframe has been delivered.
      const std::uint32_t next = *lastDelivered_ + 1;
      if (ready_.contains(next)) {
        deliver(next, events);
        continue;
      }
      const std::uint32_t gap = n - next;
      if (gap == 0 || gap > maxSerialDistance || std::int64_t{gap} < window) return;
      // `next` stayed missing while the stream ran `window` ids ahead: give it up.
      close(next, n);
      partials_.erase(next);
      ++framesLost_;
      lastDelivered_ = next;
      waitingForKeyframe_ = true;
      if (!keyframeRequested_) {
        keyframeRequested_ = true;
        keyframeRequestedAt_ = n;
        events.emplace_back(RequestKeyframe{next});
      }
      continue;
    }

    std::optional<std::uint32_t> best;
    for (const auto& [id, frame] : ready_) {
      if (frame.isKeyframe && (!best || newer(id, *best))) best = id;
    }

    if (!best) {
      const bool tooEarly = !lastDelivered_ && n < keyframeRetryFrames;
      const bool askedRecently =
          keyframeRequested_ && keyframeRequestedAt_ && n - *keyframeRequestedAt_ < keyframeRetryFrames;
      if (!tooEarly && !askedRecently) {
        keyframeRequested_ = true;
        keyframeRequestedAt_ = n;
        events.emplace_back(RequestKeyframe{n});
      }
      framesLost_ += closeWhere(ready_, n, [n, window](std::uint32_t id, const Frame&) {
        return newer(n, id) && std::int64_t{n - id} >= window;
      });
      closeWhere(partials_, n, [n, window](std::uint32_t id, const Partial& partial) {
        return newer(n, id) && std::int64_t{n - id} >= (partial.header.isKeyframe ? 4 * window : window);
      });
      return;
    }

    const std::uint32_t keyframe = *best;
    framesLost_ += closeWhere(ready_, n, [keyframe](std::uint32_t id, const Frame&) { return newer(keyframe, id); });
    closeWhere(partials_, n, [keyframe](std::uint32_t id, const Partial&) { return newer(keyframe, id); });
    deliver(keyframe, events);
    waitingForKeyframe_ = false;
    keyframeRequested_ = false;
    keyframeRequestedAt_.reset();
  }
}

}  // namespace lumenbrook
