#include <gtest/gtest.h>

#include <stdexcept>

#include "core/video/fragment_header.h"
#include "core/video/fragmenter.h"
#include "core/video/video_hello.h"

namespace lumenbrook {
namespace {

const Bytes sampleHeaderBytes = {0x4C, 0x42, 1, 1, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x02,
                                 0x00, 0x03, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
const FragmentHeader sampleHeader{true, 0xDEADBEEF, 2, 3, 0x010203040506};

TEST(FragmentHeader, LayoutAndRoundTrip) {
  EXPECT_EQ(sampleHeader.encoded(), sampleHeaderBytes);
  EXPECT_EQ(FragmentHeader::parse(sampleHeaderBytes), sampleHeader);
  Bytes withPayload = sampleHeaderBytes;
  append(withPayload, Bytes(100, 0x4C));
  EXPECT_EQ(FragmentHeader::parse(withPayload), sampleHeader);
  FragmentHeader delta{false, 0, 8191, 8192, UINT64_MAX};
  EXPECT_EQ(FragmentHeader::parse(delta.encoded()), delta);
}

TEST(FragmentHeader, ParseChecksEveryRule) {
  auto with = [](std::size_t at, std::initializer_list<std::uint8_t> bytes) {
    Bytes b = sampleHeaderBytes;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at));
    return b;
  };
  struct Case {
    const char* what;
    Bytes bytes;
    std::optional<bool> keyframe;  // absent: rejected
  } cases[] = {
      {"19 bytes", Bytes(sampleHeaderBytes.begin(), sampleHeaderBytes.end() - 1), std::nullopt},
      {"empty", {}, std::nullopt},
      {"magic LV", with(1, {0x56}), std::nullopt},
      {"magic swapped", with(0, {0x42, 0x4C}), std::nullopt},
      {"version 2", with(2, {2}), std::nullopt},
      {"version 0", with(2, {0}), std::nullopt},
      {"count 0", with(8, {0, 0, 0, 0}), std::nullopt},
      {"count 8193", with(8, {0, 0, 0x20, 0x01}), std::nullopt},
      {"count 65535", with(8, {0, 0, 0xFF, 0xFF}), std::nullopt},
      {"index equal to count", with(8, {0, 3, 0, 3}), std::nullopt},
      {"index above count", with(8, {0xFF, 0xFF, 0, 3}), std::nullopt},
      {"count 8192, last index", with(8, {0x1F, 0xFF, 0x20, 0x00}), true},
      {"flags 0xFF", with(3, {0xFF}), true},
      {"flags 0x02", with(3, {0x02}), false},
      {"flags 0x00", with(3, {0x00}), false},
  };
  for (const auto& c : cases) {
    auto h = FragmentHeader::parse(c.bytes);
    ASSERT_EQ(h.has_value(), c.keyframe.has_value()) << c.what;
    if (h) {
      EXPECT_EQ(h->isKeyframe, *c.keyframe) << c.what;
    }
  }
}

Bytes patterned(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + 5);
  return b;
}

TEST(Fragmenter, CutsFramesIntoPayloadsOfAtMostMaxPayload) {
  struct Case {
    std::size_t size;
    std::vector<std::size_t> payloads;
  } cases[] = {
      {2500, {1200, 1200, 100}}, {2400, {1200, 1200}}, {0, {0}}, {1, {1}}, {1200, {1200}}, {1201, {1200, 1}}};
  for (const auto& c : cases) {
    Fragmenter f;
    const Bytes data = patterned(c.size);
    auto fragments = f.fragment(data, true, 777);
    ASSERT_EQ(fragments.size(), c.payloads.size()) << c.size;
    Bytes joined;
    for (std::size_t i = 0; i < fragments.size(); ++i) {
      EXPECT_EQ(fragments[i].size(), FragmentHeader::size + c.payloads[i]) << c.size << " #" << i;
      auto h = FragmentHeader::parse(fragments[i]);
      ASSERT_TRUE(h) << c.size;
      EXPECT_EQ(*h, (FragmentHeader{true, 0, static_cast<std::uint16_t>(i),
                                    static_cast<std::uint16_t>(c.payloads.size()), 777}));
      append(joined, ByteView(fragments[i]).subspan(FragmentHeader::size));
    }
    EXPECT_EQ(joined, data) << c.size;
    EXPECT_EQ(f.nextFrameID(), 1u);
  }
}

TEST(Fragmenter, FrameIdsAreConsecutiveAndWrap) {
  Fragmenter f(1200, 4294967294u);
  std::vector<std::uint32_t> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(FragmentHeader::parse(f.fragment(Bytes(10), false, 0)[0])->frameID);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{4294967294u, 4294967295u, 0}));
  EXPECT_EQ(f.nextFrameID(), 1u);
  auto delta = FragmentHeader::parse(Fragmenter(1200).fragment(Bytes(3), false, 5)[0]);
  ASSERT_TRUE(delta);
  EXPECT_FALSE(delta->isKeyframe);
}

TEST(Fragmenter, CallerErrorsAndOversizedFrames) {
  EXPECT_THROW(Fragmenter(0), std::invalid_argument);

  Fragmenter tiny(1, 9);
  EXPECT_THROW(tiny.fragment(Bytes(65536), false, 0), std::length_error);
  EXPECT_EQ(tiny.nextFrameID(), 9u);  // a refused frame uses no id
  EXPECT_EQ(tiny.fragment(Bytes(65535), false, 0).size(), 65535u);

  // More than maxFragments is still cut, but no receiver accepts it.
  auto over = Fragmenter(1).fragment(Bytes(FragmentHeader::maxFragments + 1), false, 0);
  EXPECT_EQ(over.size(), FragmentHeader::maxFragments + 1u);
  EXPECT_FALSE(FragmentHeader::parse(over[0]));
  auto atLimit = Fragmenter(1).fragment(Bytes(FragmentHeader::maxFragments), false, 0);
  EXPECT_TRUE(FragmentHeader::parse(atLimit.back()));
}

TEST(VideoHello, LayoutAndExactLength) {
  Bytes challenge = patterned(16);
  VideoHello hello{challenge, 0xC351};
  Bytes b = hello.encoded();
  ASSERT_EQ(b.size(), 18u);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 16), challenge);
  EXPECT_EQ(b[16], 0xC3);
  EXPECT_EQ(b[17], 0x51);
  EXPECT_EQ(VideoHello::parse(b), hello);
  for (std::size_t n : {0, 2, 16, 17, 19, 42}) {
    EXPECT_FALSE(VideoHello::parse(Bytes(n, 1))) << n;
  }
}

}  // namespace
}  // namespace lumenbrook
