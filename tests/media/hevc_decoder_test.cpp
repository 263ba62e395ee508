#include "media/hevc_decoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/media/media_test_support.h"

namespace lumenbrook {
namespace {

std::vector<VideoSample> samplesOf(SampleBufferMaker& maker, const std::vector<VideoPacket>& packets) {
  std::vector<VideoSample> samples;
  for (const auto& p : packets) {
    auto s = maker.sample(p);
    if (!s) throw std::runtime_error("no sample");
    samples.push_back(std::move(*s));
  }
  return samples;
}

TEST(HevcDecoder, FollowsANewFormatAndGoesOnAfterAnUnusableSample) {
  SampleBufferMaker maker;
  const auto first = samplesOf(maker, testing::encodePattern({320, 180, 30, 1'000'000}, 2));
  const auto second = samplesOf(maker, testing::encodePattern({256, 144, 30, 1'000'000}, 2));

  HevcDecoder decoder;
  struct Step {
    VideoSample sample;
    int width;  // 0: no picture
    int height;
  };
  VideoSample garbage = second[1];
  garbage.data = {0, 0, 0, 1, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  VideoSample noFormat = first[0];
  noFormat.format = nullptr;
  const std::vector<Step> steps = {
      {first[0], 320, 180}, {first[1], 320, 180}, {noFormat, 0, 0},     {second[0], 256, 144},
      {garbage, 0, 0},      {second[0], 256, 144}, {second[1], 256, 144},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    const auto pictures = decoder.decode(steps[i].sample);
    if (steps[i].width == 0) {
      EXPECT_TRUE(pictures.empty());
      continue;
    }
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].width, steps[i].width);
    EXPECT_EQ(pictures[0].height, steps[i].height);
    EXPECT_EQ(pictures[0].stride, static_cast<std::size_t>(steps[i].width) * 4);
    EXPECT_EQ(pictures[0].ptsMicros, static_cast<std::uint64_t>(steps[i].sample.ptsMicros));
  }
}

TEST(HevcDecoder, RgbAtReadsBgraAndRefusesPointsOutside) {
  VideoFrame picture{std::make_shared<Bytes>(Bytes{1, 2, 3, 255, 4, 5, 6, 255, 0, 0,  // row 0 and padding
                                                   7, 8, 9, 255, 10, 11, 12, 255, 0, 0}),
                     2, 2, 10, 0};
  const struct {
    int x, y;
    std::optional<Rgb> expected;
  } cases[] = {
      {0, 0, Rgb{3, 2, 1}}, {1, 0, Rgb{6, 5, 4}}, {0, 1, Rgb{9, 8, 7}}, {1, 1, Rgb{12, 11, 10}},
      {-1, 0, std::nullopt}, {2, 0, std::nullopt}, {0, 2, std::nullopt}, {0, -1, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(rgbAt(picture, c.x, c.y), c.expected) << c.x << "," << c.y;
  EXPECT_EQ(rgbAt(VideoFrame{}, 0, 0), std::nullopt);
}

}  // namespace
}  // namespace lumenbrook
