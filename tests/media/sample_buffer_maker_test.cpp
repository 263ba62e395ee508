#include "media/sample_buffer_maker.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "tests/media/media_test_support.h"

namespace lumenbrook {
namespace {

// Real packets: a keyframe and two deltas of one stream, and the keyframe of a second stream
// of another size.
class SampleBufferMakerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    stream_ = new std::vector<VideoPacket>(testing::encodePattern({320, 180, 30, 1'000'000}, 3));
    other_ = new std::vector<VideoPacket>(testing::encodePattern({256, 144, 30, 1'000'000}, 1));
  }
  static void TearDownTestSuite() {
    delete stream_;
    delete other_;
  }

  const VideoPacket& key() const { return (*stream_)[0]; }
  const VideoPacket& delta(int n) const { return (*stream_)[static_cast<std::size_t>(n)]; }
  const VideoPacket& otherKey() const { return (*other_)[0]; }

  // What the decoder must be given: each unit of the frame behind a 4-byte start code.
  static Bytes annexB(const Bytes& lengthPrefixed) {
    Bytes out;
    std::size_t pos = 0;
    while (pos + 4 <= lengthPrefixed.size()) {
      const std::size_t n = loadU32BE(lengthPrefixed.data() + pos);
      out.insert(out.end(), {0, 0, 0, 1});
      out.insert(out.end(), lengthPrefixed.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                 lengthPrefixed.begin() + static_cast<std::ptrdiff_t>(pos + 4 + n));
      pos += 4 + n;
    }
    return out;
  }

  static inline std::vector<VideoPacket>* stream_ = nullptr;
  static inline std::vector<VideoPacket>* other_ = nullptr;
};

TEST_F(SampleBufferMakerTest, TheEncodedStreamIsKeyframeThenDeltas) {
  ASSERT_TRUE(key().keyframe);
  ASSERT_EQ(key().parameterSets.size(), 3u);
  ASSERT_FALSE(delta(1).keyframe);
  ASSERT_FALSE(delta(2).keyframe);
}

TEST_F(SampleBufferMakerTest, NothingBeforeTheFirstKeyframe) {
  SampleBufferMaker maker;
  EXPECT_FALSE(maker.sample(delta(1)));
  EXPECT_FALSE(maker.sample(delta(2)));
  EXPECT_EQ(maker.format(), nullptr);
  EXPECT_TRUE(maker.sample(key()));
}

TEST_F(SampleBufferMakerTest, KeyframeThenDeltasShareTheKeyframesFormat) {
  SampleBufferMaker maker;
  std::vector<VideoSample> samples;
  for (int n = 0; n < 3; ++n) {
    auto s = maker.sample(delta(n));
    ASSERT_TRUE(s) << n;
    samples.push_back(std::move(*s));
  }
  ASSERT_NE(maker.format(), nullptr);
  EXPECT_EQ(*maker.format(), (VideoFormat{key().parameterSets, 320, 180}));
  for (int n = 0; n < 3; ++n) {
    SCOPED_TRACE(n);
    const auto& s = samples[static_cast<std::size_t>(n)];
    EXPECT_EQ(s.format, maker.format());  // the very same format, not a rebuilt copy
    EXPECT_EQ(s.data, annexB(delta(n).frame));
    EXPECT_EQ(s.ptsMicros, static_cast<std::int64_t>(delta(n).ptsMicros));
    EXPECT_TRUE(s.displayImmediately);
  }
}

TEST_F(SampleBufferMakerTest, AKeyframeWithNewParameterSetsReplacesTheFormat) {
  SampleBufferMaker maker;
  ASSERT_TRUE(maker.sample(key()));
  const auto s = maker.sample(otherKey());
  ASSERT_TRUE(s);
  EXPECT_EQ(*s->format, (VideoFormat{otherKey().parameterSets, 256, 144}));
  EXPECT_EQ(maker.format(), s->format);
}

struct BrokenCase {
  const char* name;
  std::function<void(std::vector<Bytes>&)> damage;
};

class BrokenParameterSets : public SampleBufferMakerTest, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenParameterSets, KeepTheEarlierFormatOrGiveNothing) {
  VideoPacket broken = otherKey();
  GetParam().damage(broken.parameterSets);
  EXPECT_FALSE(makeVideoFormat(broken.parameterSets));

  SampleBufferMaker fresh;
  EXPECT_FALSE(fresh.sample(broken));
  EXPECT_EQ(fresh.format(), nullptr);

  SampleBufferMaker maker;
  ASSERT_TRUE(maker.sample(key()));
  const auto earlier = maker.format();
  const auto s = maker.sample(broken);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->format, earlier);
  EXPECT_EQ(s->data, annexB(broken.frame));
  EXPECT_EQ(maker.format(), earlier);
}

void fill(Bytes& unit, std::uint8_t value) { std::fill(unit.begin() + 2, unit.end(), value); }

INSTANTIATE_TEST_SUITE_P(
    Damage, BrokenParameterSets,
    ::testing::Values(BrokenCase{"sps_truncated", [](auto& sets) { sets[1].resize(3); }},
                      BrokenCase{"sps_all_ones", [](auto& sets) { fill(sets[1], 0xFF); }},
                      BrokenCase{"vps_all_ones", [](auto& sets) { fill(sets[0], 0xFF); }},
                      BrokenCase{"pps_all_zeros", [](auto& sets) { fill(sets[2], 0x00); }},
                      BrokenCase{"pps_missing", [](auto& sets) { sets.pop_back(); }},
                      BrokenCase{"vps_missing", [](auto& sets) { sets.erase(sets.begin()); }},
                      BrokenCase{"empty_unit", [](auto& sets) { sets.push_back({}); }},
                      BrokenCase{"slice_among_them",
                                 [](auto& sets) { sets.push_back({0x02, 0x01, 0xD0}); }},  // type 1, a slice
                      BrokenCase{"only_an_sps", [](auto& sets) { sets = {sets[1]}; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SampleBufferMakerTest, AKeyframeWithoutParameterSetsKeepsTheFormat) {
  VideoPacket bare = otherKey();
  bare.parameterSets.clear();
  SampleBufferMaker fresh;
  EXPECT_FALSE(fresh.sample(bare));

  SampleBufferMaker maker;
  ASSERT_TRUE(maker.sample(key()));
  const auto earlier = maker.format();
  const auto s = maker.sample(bare);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->format, earlier);
}

TEST_F(SampleBufferMakerTest, ParameterSetsOnADeltaAreNotAFormat) {
  VideoPacket delta1 = delta(1);
  delta1.parameterSets = otherKey().parameterSets;
  SampleBufferMaker maker;
  EXPECT_FALSE(maker.sample(delta1));
  ASSERT_TRUE(maker.sample(key()));
  const auto s = maker.sample(delta1);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->format->width, 320);
}

struct FrameCase {
  const char* name;
  Bytes frame;
};

class MalformedFrames : public SampleBufferMakerTest, public ::testing::WithParamInterface<FrameCase> {};

// Frame bytes come off the network: lengths that do not tile them give no sample, while a
// keyframe's good parameter sets still become the format.
TEST_P(MalformedFrames, GiveNoSample) {
  EXPECT_FALSE(annexBFromLengthPrefixed(GetParam().frame));
  VideoPacket p = key();
  p.frame = GetParam().frame;
  SampleBufferMaker maker;
  EXPECT_FALSE(maker.sample(p));
  ASSERT_NE(maker.format(), nullptr);
  EXPECT_EQ(maker.format()->parameterSets, key().parameterSets);
}

INSTANTIATE_TEST_SUITE_P(Frames, MalformedFrames,
                         ::testing::Values(FrameCase{"empty", {}}, FrameCase{"short_length", {0, 0, 1}},
                                           FrameCase{"zero_length", {0, 0, 0, 0}},
                                           FrameCase{"length_past_the_end", {0, 0, 0, 3, 0x26, 0x01}},
                                           FrameCase{"trailing_bytes", {0, 0, 0, 2, 0x26, 0x01, 0, 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AnnexB, EveryLengthBecomesAStartCode) {
  const Bytes frame = {0, 0, 0, 2, 0x26, 0x01, 0, 0, 0, 3, 0x02, 0x01, 0xAA};
  EXPECT_EQ(annexBFromLengthPrefixed(frame), (Bytes{0, 0, 0, 1, 0x26, 0x01, 0, 0, 0, 1, 0x02, 0x01, 0xAA}));
}

TEST_F(SampleBufferMakerTest, PresentationTimeIsCappedAtTheLargestSignedValue) {
  const struct {
    std::uint64_t pts;
    std::int64_t expected;
  } cases[] = {
      {0, 0},
      {1'234'567, 1'234'567},
      {std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max()},
      {std::uint64_t{1} << 63, std::numeric_limits<std::int64_t>::max()},
      {std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::int64_t>::max()},
  };
  SampleBufferMaker maker;
  for (const auto& c : cases) {
    VideoPacket p = key();
    p.ptsMicros = c.pts;
    const auto s = maker.sample(p);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->ptsMicros, c.expected) << c.pts;
  }
}

}  // namespace
}  // namespace lumenbrook
