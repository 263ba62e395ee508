#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "media/hevc_decoder.h"
#include "media/sample_buffer_maker.h"
#include "media/video_encoder.h"
#include "tests/media/media_test_support.h"

// libx265 3.5 loses part of what its FrameFilter allocates when an encoder opens, even once
// the encoder is closed; that is outside our reach, so the leak checker is told to ignore it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace lumenbrook {
namespace {

using testing::Gate;
using testing::nalTypes;
using testing::openEncoder;
using testing::PacketCollector;
using testing::patternFrame;

constexpr EncoderConfig small{320, 180, 30, 1'000'000};
const std::vector<int> parameterSetTypes = {32, 33, 34};

std::vector<int> setTypes(const VideoPacket& p) {
  std::vector<int> types;
  for (const auto& set : p.parameterSets) types.push_back(hevcNalType(set).value_or(-1));
  return types;
}

// --- Pictures survive the round trip --------------------------------------------------------

struct RoundTripCase {
  const char* name;
  EncoderConfig config;
  int frameWidth;
  int frameHeight;
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

// Compares decoded pictures with the pattern as it was handed over, at every point whose
// neighbourhood there is one colour: edges blur under 4:2:0, scaling and compression, flat
// areas must keep their colour.
TEST_P(RoundTrip, DecodedPicturesShowThePatternsColours) {
  const auto& c = GetParam();
  constexpr int frames = 4;
  constexpr int tolerance = 8;  // twice the worst seen with libx265 at these rates
  const auto packets = testing::encodePattern(c.config, frames, c.frameWidth, c.frameHeight);
  ASSERT_EQ(packets.size(), static_cast<std::size_t>(frames));
  const int scale = std::max(1, c.frameWidth / c.config.width);  // whole-number reductions only
  const int radius = 4 * scale;                                    // in source pixels

  SampleBufferMaker maker;
  HevcDecoder decoder;
  for (int n = 0; n < frames; ++n) {
    SCOPED_TRACE("frame " + std::to_string(n));
    const auto sample = maker.sample(packets[n]);
    ASSERT_TRUE(sample);
    const auto pictures = decoder.decode(*sample);
    ASSERT_EQ(pictures.size(), 1u);
    const VideoFrame& picture = pictures[0];
    ASSERT_EQ(picture.width, c.config.width);
    ASSERT_EQ(picture.height, c.config.height);
    EXPECT_EQ(picture.ptsMicros, packets[n].ptsMicros);

    const VideoFrame source = patternFrame(c.frameWidth, c.frameHeight, static_cast<std::uint64_t>(n), 0);
    std::vector<Rgb> coloursSeen;
    for (int y = 0; y < picture.height; y += 3) {
      for (int x = 0; x < picture.width; x += 3) {
        const int sx = x * scale + scale / 2;
        const int sy = y * scale + scale / 2;
        if (sx < radius || sy < radius || sx + radius >= source.width || sy + radius >= source.height) continue;
        const Rgb want = *rgbAt(source, sx, sy);
        bool flat = true;
        for (int dy = -radius; dy <= radius && flat; ++dy) {
          for (int dx = -radius; dx <= radius && flat; ++dx) flat = *rgbAt(source, sx + dx, sy + dy) == want;
        }
        if (!flat) continue;
        const Rgb got = *rgbAt(picture, x, y);
        const int d = std::max({std::abs(got.red - want.red), std::abs(got.green - want.green),
                                std::abs(got.blue - want.blue)});
        if (d > tolerance) {
          ADD_FAILURE() << "at " << x << "," << y << " want " << int(want.red) << " " << int(want.green) << " "
                        << int(want.blue) << " got " << int(got.red) << " " << int(got.green) << " " << int(got.blue);
          return;
        }
        if (std::find(coloursSeen.begin(), coloursSeen.end(), want) == coloursSeen.end()) coloursSeen.push_back(want);
      }
    }
    // All seven bars and the orange block were among the points compared.
    EXPECT_GE(coloursSeen.size(), 8u);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip,
                         ::testing::Values(RoundTripCase{"same_size", {640, 360, 30, 2'000'000}, 640, 360},
                                           RoundTripCase{"scaled_down", {320, 180, 30, 1'000'000}, 640, 360}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Keyframes -------------------------------------------------------------------------------

struct ScheduleCase {
  const char* name;
  const char* steps;  // E: encode one frame and wait for its packet; R: request a keyframe
  std::vector<bool> keyframes;
};

class KeyframeSchedule : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(KeyframeSchedule, KeyframesComeFirstAndOnRequestWithTheirParameterSets) {
  const auto& c = GetParam();
  PacketCollector collector;
  auto encoder = openEncoder(small);
  encoder->setOnPacket(collector.handler());
  std::vector<std::uint64_t> times;
  for (const char* s = c.steps; *s; ++s) {
    if (*s == 'R') {
      encoder->requestKeyframe();
      continue;
    }
    times.push_back(5000 + 33'333 * times.size());
    encoder->encode(patternFrame(small.width, small.height, times.size() - 1, times.back()));
    ASSERT_TRUE(collector.waitFor(times.size()));
  }
  const auto packets = collector.packets();
  ASSERT_EQ(packets.size(), c.keyframes.size());
  for (std::size_t i = 0; i < packets.size(); ++i) {
    SCOPED_TRACE("packet " + std::to_string(i));
    EXPECT_EQ(packets[i].keyframe, c.keyframes[i]);
    EXPECT_EQ(packets[i].ptsMicros, times[i]);
    EXPECT_EQ(setTypes(packets[i]), c.keyframes[i] ? parameterSetTypes : std::vector<int>{});
    const auto types = nalTypes(packets[i].frame);
    ASSERT_FALSE(types.empty());
    // Keyframes are IDR pictures (types 19 and 20); no parameter set stays in any frame.
    if (c.keyframes[i]) {
      EXPECT_TRUE(types.back() == 19 || types.back() == 20) << types.back();
    }
    for (int t : types) {
      EXPECT_TRUE(t < 32 || t > 34) << t;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, KeyframeSchedule,
    ::testing::Values(ScheduleCase{"first_frame_only", "EEE", {true, false, false}},
                      ScheduleCase{"request_before_the_first_frame", "REE", {true, false}},
                      ScheduleCase{"request_between_frames", "EREE", {true, true, false}},
                      ScheduleCase{"two_requests_force_one_keyframe", "ERREE", {true, true, false}},
                      ScheduleCase{"request_after_every_frame", "ERERE", {true, true, true}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HevcEncoder, KeyframeAtLeastEveryFourSecondsOfFrames) {
  constexpr EncoderConfig twoFps{128, 72, 2, 200'000};  // a keyframe every 8 frames
  const auto packets = testing::encodePattern(twoFps, 17);
  std::vector<std::size_t> keys;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    if (packets[i].keyframe) keys.push_back(i);
  }
  EXPECT_EQ(keys, (std::vector<std::size_t>{0, 8, 16}));
}

// --- The one-slot input ----------------------------------------------------------------------

TEST(HevcEncoder, BusyEncoderDropsTheOlderWaitingFrameAndKeepsItsKeyframeRequest) {
  Gate gate;
  PacketCollector collector;
  auto encoder = openEncoder(small, {.encoder = "", .onLog = {}, .beforeEncode = gate.hook()});
  encoder->setOnPacket(collector.handler());

  encoder->encode(patternFrame(small.width, small.height, 0, 100));
  ASSERT_TRUE(gate.waitEntered(1));  // frame 100 is being encoded
  encoder->requestKeyframe();
  encoder->encode(patternFrame(small.width, small.height, 1, 200));  // waits in the slot
  encoder->encode(patternFrame(small.width, small.height, 2, 300));  // replaces 200
  gate.allow(2);
  ASSERT_TRUE(collector.waitFor(2));
  EXPECT_EQ(gate.entered(), 2);

  encoder->encode(patternFrame(small.width, small.height, 3, 400));
  gate.allow(1);
  ASSERT_TRUE(collector.waitFor(3));
  EXPECT_EQ(gate.entered(), 3);

  std::vector<std::uint64_t> times;
  std::vector<bool> keys;
  for (const auto& p : collector.packets()) {
    times.push_back(p.ptsMicros);
    keys.push_back(p.keyframe);
  }
  EXPECT_EQ(times, (std::vector<std::uint64_t>{100, 300, 400}));
  EXPECT_EQ(keys, (std::vector<bool>{true, true, false}));
}

TEST(HevcEncoder, InvalidFramesAreIgnored) {
  Gate gate;
  PacketCollector collector;
  auto encoder = openEncoder(small, {.encoder = "", .onLog = {}, .beforeEncode = gate.hook()});
  encoder->setOnPacket(collector.handler());

  encoder->encode(patternFrame(small.width, small.height, 0, 100));
  ASSERT_TRUE(gate.waitEntered(1));
  VideoFrame tooShort = patternFrame(small.width, small.height, 0, 150);
  tooShort.height += 1;  // one row more than the pixels hold
  encoder->encode(tooShort);
  encoder->encode(VideoFrame{});
  gate.allow(1);
  ASSERT_TRUE(collector.waitFor(1));

  // Had either been taken, the thread would now be held on it and frame 200 would not come.
  encoder->encode(patternFrame(small.width, small.height, 1, 200));
  ASSERT_TRUE(gate.waitEntered(2));
  gate.allow(1);
  ASSERT_TRUE(collector.waitFor(2));
  EXPECT_EQ(collector.packets()[1].ptsMicros, 200u);
}

// Stopping while a frame is being encoded: that frame's packet is withheld and the frame
// waiting behind it is discarded. The hook stops the encoder from its own thread, the one
// point where stop() is known to come mid-frame.
TEST(HevcEncoder, StopWithholdsTheFrameInHandAndDiscardsTheWaitingOne) {
  PacketCollector collector;
  VideoEncoder* self = nullptr;
  int taken = 0;
  std::unique_ptr<VideoEncoder> encoder;
  Gate gate;
  auto hold = gate.hook();
  encoder = openEncoder(small, {.encoder = "",
                                .onLog = {},
                                .beforeEncode = [&] {
                                  ++taken;
                                  hold();
                                  self->stop();
                                }});
  self = encoder.get();
  encoder->setOnPacket(collector.handler());
  encoder->encode(patternFrame(small.width, small.height, 0, 100));
  ASSERT_TRUE(gate.waitEntered(1));
  encoder->encode(patternFrame(small.width, small.height, 1, 200));
  gate.allow(1);
  encoder->stop();  // waits for the thread
  encoder->encode(patternFrame(small.width, small.height, 2, 300));
  encoder->stop();
  EXPECT_TRUE(collector.packets().empty());
  EXPECT_EQ(taken, 1);
}

// --- Configuration and codec choice ----------------------------------------------------------

TEST(HevcEncoder, RefusesConfigurationsNoEncoderTakes) {
  const EncoderConfig bad[] = {
      {0, 180, 30, 1'000'000},    {-320, 180, 30, 1'000'000}, {321, 180, 30, 1'000'000},
      {320, 181, 30, 1'000'000},  {8194, 180, 30, 1'000'000}, {320, 8194, 30, 1'000'000},
      {320, 180, 0, 1'000'000},   {320, 180, -1, 1'000'000},  {320, 180, 1001, 1'000'000},
      {320, 180, 30, 0},          {320, 180, 30, -5},
  };
  for (const auto& config : bad) {
    auto made = makeHevcEncoder(config, {.encoder = "libx265", .onLog = {}, .beforeEncode = {}});
    ASSERT_FALSE(made.ok()) << config.width << "x" << config.height << " " << config.fps << " " << config.bitrate;
    EXPECT_EQ(made.error(), EncoderError::invalidConfig);
  }
}

struct ChoiceCase {
  const char* name;
  const char* option;       // HevcEncoderOptions::encoder
  const char* environment;  // LUMENBROOK_ENCODER, or null for unset
  const char* expectedLog;  // the first log line starts with this
};

class EncoderChoice : public ::testing::TestWithParam<ChoiceCase> {
 protected:
  void SetUp() override {
    if (const char* v = std::getenv("LUMENBROOK_ENCODER")) saved_ = v;
  }
  void TearDown() override {
    if (saved_) {
      setenv("LUMENBROOK_ENCODER", saved_->c_str(), 1);
    } else {
      unsetenv("LUMENBROOK_ENCODER");
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST_P(EncoderChoice, SoftwareEncoderUnlessAKnownOneIsNamed) {
  const auto& c = GetParam();
  if (c.environment) {
    setenv("LUMENBROOK_ENCODER", c.environment, 1);
  } else {
    unsetenv("LUMENBROOK_ENCODER");
  }
  std::vector<std::string> log;
  auto made = makeHevcEncoder(small, {.encoder = c.option,
                                      .onLog = [&](const std::string& line) { log.push_back(line); },
                                      .beforeEncode = {}});
  ASSERT_TRUE(made.ok());
  auto& encoder = *made;
  EXPECT_EQ(encoder->name(), "libx265");
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front().rfind(c.expectedLog, 0), 0u) << log.front();
  EXPECT_EQ(log.back(), "encoder libx265: 320x180 at 30 fps, 1000000 bit/s");

  PacketCollector collector;
  encoder->setOnPacket(collector.handler());
  encoder->encode(patternFrame(small.width, small.height, 0, 7));
  ASSERT_TRUE(collector.waitFor(1));
  EXPECT_TRUE(collector.packets()[0].keyframe);
}

INSTANTIATE_TEST_SUITE_P(
    Names, EncoderChoice,
    ::testing::Values(
        ChoiceCase{"default", "", nullptr, "encoder libx265: "},
        ChoiceCase{"empty_environment", "", "", "encoder libx265: "},
        ChoiceCase{"software_from_environment", "", "libx265", "encoder libx265: "},
        ChoiceCase{"unknown_in_environment", "", "hevc_magic",
                   "encoder \"hevc_magic\" is not one of hevc_vaapi, hevc_nvenc, hevc_qsv, libx265; using libx265"},
        ChoiceCase{"unknown_option", "x264", "libx265",
                   "encoder \"x264\" is not one of hevc_vaapi, hevc_nvenc, hevc_qsv, libx265; using libx265"},
        ChoiceCase{"option_wins_over_environment", "libx265", "hevc_magic", "encoder libx265: "}),
    [](const auto& info) { return std::string(info.param.name); });

// A hardware encoder that cannot open here falls back with the reason; where one opens, there
// is nothing to fall back from.
TEST(HevcEncoder, HardwareEncoderThatCannotOpenFallsBackToSoftware) {
  for (const char* name : {"hevc_vaapi", "hevc_nvenc", "hevc_qsv"}) {
    SCOPED_TRACE(name);
    std::vector<std::string> log;
    auto made = makeHevcEncoder(
        small, {.encoder = name, .onLog = [&](const std::string& line) { log.push_back(line); }, .beforeEncode = {}});
    ASSERT_TRUE(made.ok());
    if ((*made)->name() == name) {
      std::cout << "[ INFO     ] " << name << " opened on this machine; no fallback to check\n";
      continue;
    }
    EXPECT_EQ((*made)->name(), "libx265");
    ASSERT_EQ(log.size(), 2u);
    const std::string prefix = std::string("encoder ") + name + " unavailable (";
    EXPECT_EQ(log[0].rfind(prefix, 0), 0u) << log[0];
    EXPECT_GT(log[0].size(), prefix.size() + std::string("); using libx265").size()) << "no reason given";
    EXPECT_TRUE(log[0].ends_with("); using libx265")) << log[0];
  }
}

}  // namespace
}  // namespace lumenbrook
