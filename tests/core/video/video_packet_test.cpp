#include "core/video/video_packet.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace lumenbrook {

void PrintTo(const VideoPacket& p, std::ostream* os) {
  *os << "{keyframe " << p.keyframe << ", sets";
  for (const auto& s : p.parameterSets) *os << " " << s.size() << "B";
  *os << ", pts " << p.ptsMicros << ", frame " << testing::PrintToString(p.frame) << "}";
}

namespace {

Bytes filled(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
  return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) append(out, p);
  return out;
}

TEST(VideoPacket, ByteFormLayoutAndRoundTrip) {
  VideoPacket p{true, {filled(24, 1), filled(40, 2), filled(8, 3)}, 0x0102030405060708, filled(1000, 4)};
  Bytes b = p.encoded();
  ASSERT_EQ(b.size(), 4u + (4 + 24) + (4 + 40) + (4 + 8) + 8 + 1000);  // 1,096
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), (Bytes{'L', 'V', 1, 3, 0, 0, 0, 24}));
  EXPECT_EQ(Bytes(b.begin() + 8, b.begin() + 32), p.parameterSets[0]);
  EXPECT_EQ(Bytes(b.begin() + 32, b.begin() + 36), (Bytes{0, 0, 0, 40}));
  EXPECT_EQ(Bytes(b.begin() + 88, b.begin() + 96), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(Bytes(b.begin() + 96, b.end()), p.frame);
  EXPECT_EQ(VideoPacket::parse(b), p);

  VideoPacket delta{false, {}, 7, filled(3, 9)};
  EXPECT_EQ(delta.encoded()[2], 0);
  EXPECT_EQ(VideoPacket::parse(delta.encoded()), delta);
}

TEST(VideoPacket, ParsesTheSmallestPacket) {
  auto p = VideoPacket::parse(Bytes{'L', 'V', 1, 0, 0, 0, 0, 0, 0, 0, 0, 42});
  ASSERT_TRUE(p);
  EXPECT_EQ(*p, (VideoPacket{true, {}, 42, {}}));
}

TEST(VideoPacket, KeyframeByteReadsBitZeroOnly) {
  struct Case {
    std::uint8_t flag;
    bool keyframe;
  } cases[] = {{0, false}, {1, true}, {2, false}, {3, true}, {0xFF, true}};
  for (auto c : cases) {
    auto p = VideoPacket::parse(Bytes{'L', 'V', c.flag, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(p) << int(c.flag);
    EXPECT_EQ(p->keyframe, c.keyframe) << int(c.flag);
  }
}

TEST(VideoPacket, RejectsMalformedBytes) {
  const Bytes time(8, 0);
  struct Case {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"empty", {}},
      {"11 bytes", {'L', 'V', 1, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"wrong magic", concat({{'L', 'B', 1, 0}, time})},
      {"lower-case magic", concat({{'l', 'v', 1, 0}, time})},
      {"parameter set runs past the end", concat({{'L', 'V', 1, 1, 0, 0, 0, 9}, filled(8, 0)})},
      {"length of 2^32 - 1", concat({{'L', 'V', 1, 1, 0xFF, 0xFF, 0xFF, 0xFF}, time})},
      {"length field cut short", concat({{'L', 'V', 1, 2, 0, 0, 0, 1, 0x40}, {0, 0, 0}, time})},
      {"time stamp missing", concat({{'L', 'V', 1, 1, 0, 0, 0, 4}, filled(4, 0), filled(7, 0)})},
      {"more sets announced than present", concat({{'L', 'V', 1, 2, 0, 0, 0, 4}, filled(4, 0), time})},
  };
  for (const auto& c : cases) EXPECT_FALSE(VideoPacket::parse(c.bytes)) << c.what;
}

TEST(VideoPacket, EveryPrefixIsRejectedOrReadsAShorterFrame) {
  VideoPacket p{true, {filled(5, 1), filled(3, 2)}, 99, filled(6, 3)};
  const Bytes b = p.encoded();
  const std::size_t head = b.size() - p.frame.size();  // everything before the frame
  for (std::size_t n = 0; n <= b.size(); ++n) {
    auto got = VideoPacket::parse(ByteView(b).first(n));
    if (n < head) {
      EXPECT_FALSE(got) << n;
    } else {
      ASSERT_TRUE(got) << n;
      EXPECT_EQ(got->frame, Bytes(p.frame.begin(), p.frame.begin() + static_cast<long>(n - head))) << n;
      EXPECT_EQ(got->parameterSets, p.parameterSets) << n;
    }
  }
}

TEST(VideoPacket, RefusesToWriteWhatReadersWouldMisframe) {
  VideoPacket p{true, std::vector<Bytes>(256, Bytes{0x40}), 0, {}};
  EXPECT_THROW((void)p.encoded(), std::length_error);
  p.parameterSets.resize(255);
  auto back = VideoPacket::parse(p.encoded());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->parameterSets.size(), 255u);
}

// NAL units with their two-byte HEVC headers (type << 1, then layer/temporal id 1).
const Bytes vps = {0x40, 0x01, 0x0C, 0x01};
const Bytes sps = {0x42, 0x01, 0x01, 0x60, 0x90};
const Bytes pps = {0x44, 0x01, 0xC1, 0x72};
const Bytes idr = {0x26, 0x01, 0xAF, 0x00, 0x03, 0x10};  // IDR_W_RADL, ends in a non-zero byte
const Bytes trail = {0x02, 0x01, 0xD0, 0x55};            // TRAIL_R
const Bytes sei = {0x4E, 0x01, 0x05, 0x80};              // prefix SEI

const Bytes sc3 = {0, 0, 1};
const Bytes sc4 = {0, 0, 0, 1};

Bytes lengthPrefixed(std::initializer_list<Bytes> units) {
  Bytes out;
  for (const auto& u : units) {
    appendU32BE(out, static_cast<std::uint32_t>(u.size()));
    append(out, u);
  }
  return out;
}

TEST(VideoPacketFromAnnexB, SplitsUnitsAndMovesParameterSetsOnKeyframes) {
  struct Case {
    const char* what;
    Bytes stream;
    bool keyframe;
    Bytes globalHeader;
    std::vector<Bytes> parameterSets;
    Bytes frame;
  } cases[] = {
      {"keyframe, mixed start codes", concat({sc4, vps, sc3, sps, sc4, pps, sc3, sei, sc4, idr}), true, {},
       {vps, sps, pps}, lengthPrefixed({sei, idr})},
      {"keyframe, sets out of order", concat({sc4, pps, sc4, sps, sc3, vps, sc3, idr}), true, {}, {vps, sps, pps},
       lengthPrefixed({idr})},
      {"keyframe, two PPS keep their order", concat({sc4, vps, sc4, sps, sc4, pps, sc4, sei, sc4, pps, sc3, idr}),
       true, {}, {vps, sps, pps, pps}, lengthPrefixed({sei, idr})},
      {"keyframe, sets from the global header", concat({sc4, idr}), true, concat({sc4, vps, sc4, sps, sc4, pps}),
       {vps, sps, pps}, lengthPrefixed({idr})},
      {"in-band sets win over the global header", concat({sc4, sps, sc4, idr}), true, concat({sc4, vps}), {sps},
       lengthPrefixed({idr})},
      {"keyframe without any sets", concat({sc3, idr}), true, {}, {}, lengthPrefixed({idr})},
      {"delta frame", concat({sc4, trail}), false, concat({sc4, vps}), {}, lengthPrefixed({trail})},
      {"delta frame keeps in-band sets", concat({sc4, sps, sc4, pps, sc4, trail}), false, {}, {},
       lengthPrefixed({sps, pps, trail})},
      {"leading and trailing zero padding", concat({{0, 0}, sc4, trail, {0, 0, 0}, sc3, idr, {0, 0}}), false, {}, {},
       lengthPrefixed({trail, idr})},
      {"empty units between start codes", concat({sc3, sc4, trail, sc3, sc3}), false, {}, {},
       lengthPrefixed({trail})},
  };
  for (const auto& c : cases) {
    auto p = VideoPacket::fromAnnexB(c.stream, c.keyframe, 1234, c.globalHeader);
    ASSERT_TRUE(p) << c.what;
    EXPECT_EQ(*p, (VideoPacket{c.keyframe, c.parameterSets, 1234, c.frame})) << c.what;
  }
}

TEST(VideoPacketFromAnnexB, RejectsStreamsThatAreNotAnnexB) {
  struct Case {
    const char* what;
    Bytes stream;
    Bytes globalHeader;
  } cases[] = {
      {"empty", {}, {}},
      {"no start code", trail, {}},
      {"length-prefixed already", lengthPrefixed({trail}), {}},
      {"bytes before the first start code", concat({{0x07}, sc4, trail}), {}},
      {"only start codes and zeros", concat({sc4, {0, 0}, sc3}), {}},
      {"needed global header is not Annex-B", concat({sc4, idr}), vps},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(VideoPacket::fromAnnexB(c.stream, true, 0, c.globalHeader)) << c.what;
  }
  EXPECT_FALSE(hevcNalType({}));
  EXPECT_EQ(hevcNalType(sps), 33);
}

TEST(VideoPacketFromAnnexB, TooManyParameterSetsAreRefused) {
  Bytes stream;
  for (int i = 0; i < 256; ++i) append(stream, concat({sc3, pps}));
  append(stream, concat({sc3, idr}));
  EXPECT_FALSE(VideoPacket::fromAnnexB(stream, true, 0));
  // The same units on a delta frame stay in the frame and are fine.
  EXPECT_TRUE(VideoPacket::fromAnnexB(stream, false, 0));
}

TEST(VideoPacketFromAnnexB, ResultSurvivesTheByteForm) {
  auto p = VideoPacket::fromAnnexB(concat({sc4, vps, sc4, sps, sc4, pps, sc4, idr}), true, 555);
  ASSERT_TRUE(p);
  EXPECT_EQ(VideoPacket::parse(p->encoded()), p);
}

}  // namespace
}  // namespace lumenbrook
