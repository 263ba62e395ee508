#include "core/video/reassembler.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>

namespace lumenbrook {

void PrintTo(const Reassembler::Frame& f, std::ostream* os) {
  *os << "frame(" << f.frameID << (f.isKeyframe ? ", key" : "") << ", t " << f.captureTimeMicros << ", "
      << testing::PrintToString(f.data) << ")";
}
void PrintTo(const Reassembler::Nack& n, std::ostream* os) {
  *os << "nack(" << n.frameID << ", " << testing::PrintToString(n.missing) << ")";
}
void PrintTo(const Reassembler::RequestKeyframe& r, std::ostream* os) { *os << "requestKeyframe(" << r.afterFrame << ")"; }

namespace {

using Event = Reassembler::Event;
using Events = std::vector<Event>;
using Frame = Reassembler::Frame;
using Nack = Reassembler::Nack;
using RequestKeyframe = Reassembler::RequestKeyframe;

constexpr std::uint32_t top = 4294967295u;

// The payload of fragment `index` of frame `id`: recognisable, and different per fragment.
Bytes payloadOf(std::uint32_t id, std::uint16_t index) {
  return {static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 24), static_cast<std::uint8_t>(index), 0xAA};
}

Bytes datagram(std::uint32_t id, std::uint16_t index, std::uint16_t count, bool key, std::uint64_t time = 0) {
  Bytes d = FragmentHeader{key, id, index, count, time}.encoded();
  append(d, payloadOf(id, index));
  return d;
}

Frame frameOf(std::uint32_t id, std::uint16_t count, bool key, std::uint64_t time = 0) {
  Frame f{id, key, time, {}};
  for (std::uint16_t i = 0; i < count; ++i) append(f.data, payloadOf(id, i));
  return f;
}

// Every fragment of a frame, in index order; the events of all of them.
Events whole(Reassembler& r, std::uint32_t id, bool key = false, std::uint16_t count = 1) {
  Events all;
  for (std::uint16_t i = 0; i < count; ++i) {
    auto events = r.receive(datagram(id, i, count, key));
    all.insert(all.end(), events.begin(), events.end());
  }
  return all;
}

TEST(Reassembler, JoinsFragmentsInIndexOrderWhateverTheArrivalOrder) {
  Reassembler r(8, 3);
  EXPECT_EQ(r.receive(datagram(0, 2, 3, true, 55)), Events{});
  EXPECT_EQ(r.receive(datagram(0, 1, 3, true, 55)), Events{});
  EXPECT_EQ(r.receive(datagram(0, 0, 3, true, 55)), Events{frameOf(0, 3, true, 55)});
  EXPECT_EQ(r.framesDelivered(), 1u);
  EXPECT_EQ(r.lastDelivered(), 0u);
  EXPECT_FALSE(r.waitingForKeyframe());
  EXPECT_EQ(r.partialCount() + r.readyCount(), 0u);
}

TEST(Reassembler, NothingIsDeliveredBeforeTheFirstKeyframe) {
  Reassembler r(8, 3);
  EXPECT_EQ(whole(r, 0), Events{});
  EXPECT_EQ(whole(r, 1), Events{});
  EXPECT_EQ(whole(r, 2, true, 2), Events{frameOf(2, 2, true)});
  EXPECT_EQ(r.framesLost(), 2u);
  EXPECT_EQ(whole(r, 3), Events{frameOf(3, 1, false)});
  EXPECT_EQ(r.framesDelivered(), 2u);
  EXPECT_EQ(r.readyCount(), 0u);
}

TEST(Reassembler, GivesUpAMissingFrameThenWaitsForAKeyframe) {
  Reassembler r(5, 0);
  EXPECT_EQ(whole(r, 0, true), Events{frameOf(0, 1, true)});
  EXPECT_EQ(whole(r, 1), Events{frameOf(1, 1, false)});
  EXPECT_EQ(r.lastDelivered(), 1u);

  EXPECT_EQ(r.receive(datagram(2, 0, 2, false)), Events{});  // frame 2 stays incomplete
  for (std::uint32_t id = 3; id <= 6; ++id) EXPECT_EQ(whole(r, id), Events{}) << id;
  // Frame 2 + window arrives: 2 is given up and a keyframe asked for, once.
  EXPECT_EQ(whole(r, 7), Events{RequestKeyframe{2}});
  EXPECT_EQ(r.framesLost(), 1u);
  EXPECT_EQ(r.lastDelivered(), 2u);
  EXPECT_TRUE(r.waitingForKeyframe());
  EXPECT_TRUE(r.isClosed(2));
  EXPECT_EQ(r.partialCount(), 0u);
  EXPECT_EQ(r.readyCount(), 5u);  // 3...7 wait, undecodable

  // No repeat until 30 ids after the request; complete frames fall out `window` behind.
  for (std::uint32_t id = 8; id <= 36; ++id) EXPECT_EQ(whole(r, id), Events{}) << id;
  EXPECT_EQ(whole(r, 37), Events{RequestKeyframe{37}});
  EXPECT_EQ(r.keyframeRequestedAt(), 37u);
  EXPECT_EQ(r.readyCount(), 5u);      // 33...37
  EXPECT_EQ(r.framesLost(), 1u + 30);  // 3...32 dropped unplayed

  // The keyframe is delivered; the frames before it are dropped.
  EXPECT_EQ(r.receive(datagram(38, 0, 2, true)), Events{});
  EXPECT_EQ(r.receive(datagram(38, 1, 2, true)), Events{frameOf(38, 2, true)});
  EXPECT_EQ(r.framesLost(), 1u + 30 + 5);
  EXPECT_EQ(r.readyCount(), 0u);
  EXPECT_FALSE(r.waitingForKeyframe());
  EXPECT_FALSE(r.keyframeRequested());
  EXPECT_FALSE(r.keyframeRequestedAt());
  EXPECT_EQ(r.framesDelivered(), 3u);
  EXPECT_EQ(whole(r, 39), Events{frameOf(39, 1, false)});
}

TEST(Reassembler, AGiveUpWithAKeyframeAlreadyCompleteResumesAtOnce) {
  Reassembler r(3, 0);
  EXPECT_EQ(whole(r, 0, true), Events{frameOf(0, 1, true)});
  EXPECT_EQ(r.receive(datagram(1, 0, 2, false)), Events{});
  EXPECT_EQ(whole(r, 2, true), Events{});
  EXPECT_EQ(whole(r, 3), Events{});
  EXPECT_EQ(whole(r, 4), (Events{RequestKeyframe{1}, frameOf(2, 1, true), frameOf(3, 1, false), frameOf(4, 1, false)}));
  EXPECT_EQ(r.framesLost(), 1u);
  EXPECT_FALSE(r.keyframeRequested());
  EXPECT_EQ(r.lastDelivered(), 4u);
}

TEST(Reassembler, NacksBackOffExponentiallyUpToMaxNacks) {
  Reassembler r(10, 3);
  EXPECT_EQ(whole(r, 0, true), Events{frameOf(0, 1, true)});
  for (std::uint32_t id = 1; id <= 9; ++id) whole(r, id);
  EXPECT_EQ(r.lastDelivered(), 9u);

  EXPECT_EQ(r.receive(datagram(10, 1, 4, false)), Events{});
  std::map<std::uint32_t, Events> nacksAt;
  for (std::uint32_t id = 11; id <= 19; ++id) {
    // Two fragments per frame: only the first datagram of a new newest id can trigger.
    auto first = r.receive(datagram(id, 0, 2, false));
    EXPECT_EQ(r.receive(datagram(id, 1, 2, false)), Events{}) << id;
    if (!first.empty()) nacksAt[id] = first;
  }
  const Events nack{Nack{10, {0, 2, 3}}};
  EXPECT_EQ(nacksAt, (std::map<std::uint32_t, Events>{{11, nack}, {12, nack}, {14, nack}}));
  EXPECT_EQ(r.nacksSent(), 3u);
  EXPECT_EQ(whole(r, 20), Events{RequestKeyframe{10}});
}

TEST(Reassembler, WhileWaitingOnlyKeyframesAreNacked) {
  Reassembler r(8, 3);
  EXPECT_EQ(r.receive(datagram(0, 0, 2, true)), Events{});
  EXPECT_EQ(r.receive(datagram(1, 0, 2, false)), (Events{Nack{0, {1}}}));
  // Frame 1 is incomplete too but undecodable until the keyframe is there: no NACK for it.
  EXPECT_EQ(whole(r, 2), (Events{Nack{0, {1}}}));
  EXPECT_EQ(r.receive(datagram(0, 1, 2, true)), Events{frameOf(0, 2, true)});
  // Delivered: frame 1 is worth asking for now.
  EXPECT_EQ(whole(r, 3), (Events{Nack{1, {1}}}));
  EXPECT_EQ(r.receive(datagram(1, 1, 2, false)), (Events{frameOf(1, 2, false), frameOf(2, 1, false), frameOf(3, 1, false)}));
  EXPECT_EQ(r.nacksSent(), 3u);
}

TEST(Reassembler, DuplicatesAndLateDatagramsAreCountedApart) {
  Reassembler r(3, 0);
  struct Step {
    const char* what;
    Bytes datagram;
    std::uint64_t duplicates;
    std::uint64_t lateIgnored;
  };
  auto run = [&r](const Step& s) {
    EXPECT_EQ(r.receive(s.datagram), Events{}) << s.what;
    EXPECT_EQ(r.duplicates(), s.duplicates) << s.what;
    EXPECT_EQ(r.lateIgnored(), s.lateIgnored) << s.what;
  };
  run({"first half of 0", datagram(0, 0, 2, false), 0, 0});
  run({"same datagram again", datagram(0, 0, 2, false), 1, 0});
  for (std::uint32_t id = 1; id <= 3; ++id) whole(r, id);  // 0 falls `window` behind and closes
  ASSERT_TRUE(r.isClosed(0));
  run({"given-up frame newer than lastDelivered", datagram(0, 1, 2, false), 1, 1});
  run({"frame already complete", datagram(3, 0, 1, false), 2, 1});
  EXPECT_EQ(whole(r, 4, true), Events{frameOf(4, 1, true)});
  run({"delivered frame", datagram(4, 0, 1, true), 3, 1});
  run({"dropped frame older than lastDelivered", datagram(2, 0, 1, false), 4, 1});
  run({"closed frame older than lastDelivered", datagram(0, 1, 2, false), 5, 1});
}

TEST(Reassembler, FragmentWithAnotherCountIsDroppedSilently) {
  Reassembler r(8, 3);
  EXPECT_EQ(r.receive(datagram(0, 0, 2, true)), Events{});
  const Reassembler before = r;
  EXPECT_EQ(r.receive(datagram(0, 1, 3, true)), Events{});
  EXPECT_EQ(r, before);
  EXPECT_EQ(r.receive(datagram(0, 1, 2, true)), Events{frameOf(0, 2, true)});
}

TEST(Reassembler, FrameIdsWrapAround) {
  {
    Reassembler r(3, 3);
    EXPECT_EQ(whole(r, top - 1, true), Events{frameOf(top - 1, 1, true)});
    EXPECT_EQ(r.receive(datagram(top, 0, 2, false)), Events{});
    EXPECT_EQ(whole(r, 0), (Events{Nack{top, {1}}}));
    EXPECT_EQ(whole(r, 1), (Events{Nack{top, {1}}}));
    EXPECT_EQ(r.receive(datagram(top, 1, 2, false)),
              (Events{frameOf(top, 2, false), frameOf(0, 1, false), frameOf(1, 1, false)}));
    EXPECT_EQ(r.lastDelivered(), 1u);
    EXPECT_EQ(r.receive(datagram(top, 0, 2, false)), Events{});
    EXPECT_EQ(r.duplicates(), 1u);  // older than lastDelivered across the wrap
  }
  {
    Reassembler r(3, 0);
    whole(r, top - 1, true);
    EXPECT_EQ(whole(r, 0), Events{});
    EXPECT_EQ(whole(r, 1), Events{});  // 1 - 4,294,967,295 is 2 ids, below the window
    EXPECT_EQ(whole(r, 2), Events{RequestKeyframe{top}});
  }
}

TEST(Reassembler, KeyframeRequestsAtStreamStartArePaced) {
  Reassembler r(8, 0);
  std::map<std::uint32_t, Events> requests;
  for (std::uint32_t id = 0; id <= 70; ++id) {
    auto events = whole(r, id);
    if (!events.empty()) requests[id] = events;
  }
  EXPECT_EQ(requests, (std::map<std::uint32_t, Events>{{30, {RequestKeyframe{30}}}, {60, {RequestKeyframe{60}}}}));
  EXPECT_EQ(r.framesDelivered(), 0u);
  EXPECT_LE(r.readyCount(), 8u);
}

TEST(Reassembler, IncompleteFramesArePrunedKeyframesLater) {
  Reassembler r(5, 0);
  (void)r.receive(datagram(0, 0, 2, true));
  (void)r.receive(datagram(1, 0, 2, false));
  for (std::uint32_t id = 2; id <= 5; ++id) whole(r, id);
  EXPECT_EQ(r.partialCount(), 2u);
  whole(r, 6);
  EXPECT_EQ(r.partialCount(), 1u);
  EXPECT_TRUE(r.isClosed(1));
  for (std::uint32_t id = 7; id <= 19; ++id) whole(r, id);
  EXPECT_EQ(r.partialCount(), 1u);
  whole(r, 20);
  EXPECT_EQ(r.partialCount(), 0u);
  EXPECT_TRUE(r.isClosed(0));
  EXPECT_EQ(r.framesLost(), 14u);  // complete frames 2...15; incomplete ones are not counted
}

TEST(Reassembler, ClosedIdsAreCutBackOncePastTheLimit) {
  Reassembler r(1, 0);
  for (std::uint32_t id = 0; id <= 2000; ++id) {
    (void)r.receive(datagram(id, 0, 2, false));
    ASSERT_LE(r.partialCount(), 1u);
  }
  EXPECT_EQ(r.closedCount(), 2000u);  // 0...1999
  (void)r.receive(datagram(2001, 0, 2, false));
  EXPECT_EQ(r.closedCount(), 999u);  // 1002...2000
  EXPECT_FALSE(r.isClosed(1001));
  EXPECT_TRUE(r.isClosed(1002));
  EXPECT_TRUE(r.isClosed(2000));
  (void)r.receive(datagram(1500, 1, 2, false));
  EXPECT_EQ(r.lateIgnored(), 1u);
}

TEST(Reassembler, HostileDatagramsChangeNothing) {
  Reassembler r(8, 3);
  whole(r, 0, true);
  (void)r.receive(datagram(1, 0, 3, false));
  const Reassembler before = r;
  const Bytes valid = datagram(1, 1, 3, false);
  auto patched = [](std::size_t at, std::initializer_list<std::uint8_t> bytes) {
    Bytes d = datagram(1, 1, 3, false);
    std::copy(bytes.begin(), bytes.end(), d.begin() + static_cast<long>(at));
    return d;
  };
  struct Case {
    const char* what;
    Bytes datagram;
  } cases[] = {
      {"empty", {}},
      {"19 bytes", Bytes(valid.begin(), valid.begin() + 19)},
      {"bad magic", patched(0, {0x4C, 0x56})},
      {"version 2", patched(2, {2})},
      {"count 0", patched(8, {0, 0, 0, 0})},
      {"index equal to count", patched(8, {0, 3, 0, 3})},
      {"index far beyond count", patched(8, {0xFF, 0xFF, 0, 3})},
      {"count 8193", patched(8, {0, 1, 0x20, 0x01})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(r.receive(c.datagram), Events{}) << c.what;
    EXPECT_EQ(r, before) << c.what;
  }
}

}  // namespace
}  // namespace lumenbrook
