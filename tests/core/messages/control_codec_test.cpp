#include "core/messages/control_codec.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "tests/core/messages/frame_builder.h"

namespace lumenbrook {
namespace {

using testing::concat;
using testing::filled;
using testing::header;
using testing::prefix;
using testing::record;

using CM = ControlMessage;
using IE = InputEvent;

Envelope control(CM::Value v) { return Envelope{ControlMessage{std::move(v)}}; }
Envelope input(IE e) { return Envelope{std::move(e)}; }

const Uuid kPhone = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

MacStatus laptop() {
  return MacStatus{.name = "Studio",
                   .batteryPercent = 87,
                   .charging = false,
                   .diskFreeGB = 212.5,
                   .diskTotalGB = 494.38,
                   .frontmostApp = "Notes",
                   .runningApps = 9,
                   .uptimeHours = 52.7};
}

// No battery, no frontmost application.
MacStatus desktop(double diskFreeGB) {
  MacStatus s;
  s.name = "Mini";
  s.diskFreeGB = diskFreeGB;
  s.diskTotalGB = 1000;
  return s;
}

// Every control case, every input case, and the bounds of the integer fields.
std::vector<Envelope> samples() {
  const auto u64max = std::numeric_limits<std::uint64_t>::max();
  const auto u32max = std::numeric_limits<std::uint32_t>::max();
  return {
      control(CM::Hello{kPhone, "Ana's phone", "1.4.2", ScreenTraits::tv4K()}),
      control(CM::Welcome{"Studio", 1920, 1080, 60}),
      control(CM::ScreenChanged{ScreenTraits::portrait()}),
      control(CM::VideoReady{65535, u32max, filled(16, 0xC3)}),
      control(CM::RequestKeyframe{4'000'000'000u}),
      control(CM::Nack{812, {0, 3, 65535}}),
      control(CM::Nack{1, {}}),
      control(CM::Ping{u32max, u64max}),
      control(CM::Pong{0, u64max, u64max - 1}),
      control(CM::Refused{"Too many phones are connected."}),
      control(CM::Bye{}),
      control(CM::MacStatusReport{laptop()}),
      control(CM::MacStatusReport{desktop(250)}),
      control(CM::StatusWanted{true}),
      control(CM::StatusWanted{false}),
      input(IE{IE::PointerMove{-3.25, 1e-9}}),
      input(IE{IE::ButtonEvent{IE::Button::left, true}}),
      input(IE{IE::ButtonEvent{IE::Button::right, false}}),
      input(IE{IE::Scroll{0.1, -120.5}}),
      input(IE{IE::Zoom{1.0625}}),
      input(IE{IE::Key{65535, true, u32max, "\xC3\xA9"}}),
      input(IE{IE::Key{36, false, 0, std::nullopt}}),
  };
}

TEST(ControlCodec, EveryCaseRoundTrips) {
  auto all = samples();
  std::size_t controlCases = 0, inputCases = 0;
  for (const auto& e : all) {
    controlCases |= e.isControl() ? std::size_t{1} << e.control().value.index() : 0;
    inputCases |= e.isControl() ? 0 : std::size_t{1} << e.input().value.index();
  }
  ASSERT_EQ(controlCases, (std::size_t{1} << std::variant_size_v<CM::Value>) - 1);
  ASSERT_EQ(inputCases, (std::size_t{1} << 5) - 1);

  for (const auto& e : all) {
    auto encoded = ControlCodec::encode(e);
    ASSERT_TRUE(encoded.ok()) << encoded.error();
    Bytes buffer = *encoded;
    auto out = ControlCodec::decode(buffer);
    ASSERT_TRUE(out.ok()) << out.error();
    ASSERT_EQ(out->size(), 1u);
    EXPECT_EQ(out->front(), e) << asChars(*encoded).substr(4);
    EXPECT_TRUE(buffer.empty());
  }
}

// Texts whose keys are already in the writer's order, so encoding the decoded value must
// reproduce them byte for byte, length prefix included.
class ControlCanonical : public ::testing::TestWithParam<std::string> {};

TEST_P(ControlCanonical, DecodesAndEncodesBackToTheSameRecord) {
  Bytes buffer = record(GetParam());
  auto out = ControlCodec::decode(buffer);
  ASSERT_TRUE(out.ok()) << out.error();
  ASSERT_EQ(out->size(), 1u);
  auto again = ControlCodec::encode(out->front());
  ASSERT_TRUE(again.ok()) << again.error();
  EXPECT_EQ(asChars(*again).substr(4), GetParam());
  EXPECT_EQ(*again, record(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ControlCanonical,
    ::testing::Values(
        R"({"control":{"_0":{"ping":{"id":7,"sentMicros":1700000123456}}}})",
        R"({"control":{"_0":{"bye":{}}}})",
        R"({"control":{"_0":{"statusWanted":{"_0":true}}}})",
        R"({"control":{"_0":{"nack":{"frameID":812,"missing":[3,4,9]}}}})",
        R"({"control":{"_0":{"videoReady":{"challenge":"AAECAwQFBgcICQoLDA0ODw==","stream":3,"udpPort":50123}}}})",
        R"({"control":{"_0":{"hello":{"appVersion":"2.0","deviceID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"P","screen":{"distance":"acrossRoom","height":720.0,"maxFPS":30,"name":"TV","overscan":true,"scale":1.5,"supportsHDR":false,"width":1280.0}}}}})",
        R"({"control":{"_0":{"welcome":{"fps":60,"hostName":"Studio","streamHeight":1080,"streamWidth":1920}}}})",
        R"({"input":{"_0":{"button":{"_0":"left","down":true}}}})",
        R"({"input":{"_0":{"key":{"code":0,"down":true,"modifiers":0,"text":"a"}}}})",
        R"({"input":{"_0":{"key":{"code":36,"down":false,"modifiers":0}}}})",
        R"({"input":{"_0":{"pointerMove":{"dx":1.5,"dy":-2.25}}}})"));

struct DecodeCase {
  const char* name;
  std::string text;
  Envelope expected;
};

class ControlDecodes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ControlDecodes, ToTheExpectedEnvelope) {
  Bytes buffer = record(GetParam().text);
  auto out = ControlCodec::decode(buffer);
  ASSERT_TRUE(out.ok()) << out.error();
  ASSERT_EQ(out->size(), 1u);
  EXPECT_EQ(out->front(), GetParam().expected);
  EXPECT_TRUE(buffer.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ControlDecodes,
    ::testing::Values(
        DecodeCase{"Ping", R"({"control":{"_0":{"ping":{"id":7,"sentMicros":1700000123456}}}})",
                   control(CM::Ping{7, 1700000123456})},
        DecodeCase{"KeysInAnyOrder",
                   R"({"control":{"_0":{"ping":{"sentMicros":2,"id":1}}}})",
                   control(CM::Ping{1, 2})},
        DecodeCase{"IntegralFloat", R"({"control":{"_0":{"ping":{"id":7.0,"sentMicros":1e3}}}})",
                   control(CM::Ping{7, 1000})},
        DecodeCase{"ScreenChanged",
                   R"({"control":{"_0":{"screenChanged":{"_0":{"name":"4K TV","width":3840,)"
                   R"("height":2160,"scale":1,"maxFPS":60,"supportsHDR":true,"overscan":true,)"
                   R"("distance":"room"}}}}})",
                   control(CM::ScreenChanged{ScreenTraits::tv4K()})},
        DecodeCase{"MacStatus",
                   R"({"control":{"_0":{"macStatus":{"_0":{"name":"Studio","batteryPercent":87,)"
                   R"("charging":false,"diskFreeGB":212.5,"diskTotalGB":494.38,)"
                   R"("frontmostApp":"Notes","runningApps":9,"uptimeHours":52.7}}}}})",
                   control(CM::MacStatusReport{laptop()})},
        DecodeCase{"LowerCaseUuid",
                   R"({"control":{"_0":{"hello":{"deviceID":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f",)"
                   R"("name":"Ana's phone","appVersion":"1.4.2","screen":{"name":"4K TV",)"
                   R"("width":3840,"height":2160,"scale":1,"maxFPS":60,"supportsHDR":true,)"
                   R"("overscan":true,"distance":"room"}}}}})",
                   control(CM::Hello{kPhone, "Ana's phone", "1.4.2", ScreenTraits::tv4K()})},
        DecodeCase{"KeyWithText",
                   R"({"input":{"_0":{"key":{"code":0,"down":true,"modifiers":0,"text":"a"}}}})",
                   input(IE{IE::Key{0, true, 0, "a"}})},
        DecodeCase{"KeyWithoutText",
                   R"({"input":{"_0":{"key":{"code":36,"down":false,"modifiers":0}}}})",
                   input(IE{IE::Key{36, false, 0, std::nullopt}})},
        DecodeCase{"KeyWithNullText",
                   R"({"input":{"_0":{"key":{"code":36,"down":false,"modifiers":0,"text":null}}}})",
                   input(IE{IE::Key{36, false, 0, std::nullopt}})},
        DecodeCase{"RightButton", R"({"input":{"_0":{"button":{"down":false,"_0":"right"}}}})",
                   input(IE{IE::ButtonEvent{IE::Button::right, false}})},
        DecodeCase{"IntegerDouble", R"({"input":{"_0":{"zoom":{"scale":2}}}})",
                   input(IE{IE::Zoom{2.0}})},
        DecodeCase{"UnknownMembersEverywhere",
                   R"({"v":2,"input":{"x":0,"_0":{"more":[],"scroll":{"dx":1,"dy":-1,"z":9}}}})",
                   input(IE{IE::Scroll{1, -1}})},
        DecodeCase{"ByeContentsIgnored", R"({"control":{"_0":{"bye":{"why":"done"}}}})",
                   control(CM::Bye{})}),
    [](const auto& info) { return std::string(info.param.name); });

struct RejectCase {
  const char* name;
  Bytes bad;
  const char* error;  // exact text when the message is fixed, else nullptr
};

class ControlRejects : public ::testing::TestWithParam<RejectCase> {};

// A good record first and a partial one after: the good one is consumed, the bad one and
// everything behind it stay.
TEST_P(ControlRejects, AndKeepsTheBadRecordAtTheFront) {
  Bytes good = record(R"({"control":{"_0":{"bye":{}}}})");
  Bytes tail = prefix(good, 6);
  Bytes buffer = concat({good, GetParam().bad, tail});
  auto out = ControlCodec::decode(buffer);
  ASSERT_FALSE(out.ok());
  if (GetParam().error) {
    EXPECT_EQ(out.error(), GetParam().error);
  }
  EXPECT_EQ(buffer, concat({GetParam().bad, tail}));
}

const char* const kKeys = "Invalid number of keys found, expected one.";

std::string ping(std::string_view fields) {
  return R"({"control":{"_0":{"ping":{)" + std::string(fields) + "}}}}";
}
std::string key(std::string_view fields) {
  return R"({"input":{"_0":{"key":{)" + std::string(fields) + "}}}}";
}
std::string videoReady(std::string_view port) {
  return R"({"control":{"_0":{"videoReady":{"udpPort":)" + std::string(port) +
         R"(,"stream":1,"challenge":"AAECAwQFBgcICQoLDA0ODw=="}}}})";
}
const char* const kScreenNoDistance =
    R"({"control":{"_0":{"screenChanged":{"_0":{"name":"4K TV","width":3840,"height":2160,)"
    R"("scale":1,"maxFPS":60,"supportsHDR":true,"overscan":true}}}}})";

INSTANTIATE_TEST_SUITE_P(
    Records, ControlRejects,
    ::testing::Values(
        RejectCase{"ZeroLength", header(0), nullptr},
        RejectCase{"NotJson", record("control"), nullptr},
        RejectCase{"DeeplyNested",
                   record(R"({"input":{"_0":)" + std::string(500000, '[') +
                          std::string(500000, ']') + "}}"),
                   nullptr},
        RejectCase{"NumberOverflow", record(R"({"input":{"_0":{"zoom":{"scale":1e400}}}})"),
                   nullptr},
        RejectCase{"TwoEnvelopeCases",
                   record(R"({"control":{"_0":{"bye":{}}},"input":{"_0":{"zoom":{"scale":1}}}})"),
                   kKeys},
        RejectCase{"TwoControlCases",
                   record(R"({"control":{"_0":{"bye":{},"ping":{"id":1,"sentMicros":2}}}})"),
                   kKeys},
        RejectCase{"NoControlCase", record(R"({"control":{"_0":{"goodbye":{}}}})"), kKeys},
        RejectCase{"NoInputCase", record(R"({"input":{"_0":{}}})"), kKeys},
        RejectCase{"MissingUnderscoreZero", record(R"({"control":{"bye":{}}})"), nullptr},
        RejectCase{"ByeNotObject", record(R"({"control":{"_0":{"bye":null}}})"), nullptr},
        RejectCase{"UdpPortTooLarge", record(videoReady("65536")), nullptr},
        RejectCase{"UdpPortNegative", record(videoReady("-1")), nullptr},
        RejectCase{"UdpPortFraction", record(videoReady("80.5")), nullptr},
        RejectCase{"UdpPortString", record(videoReady("\"80\"")), nullptr},
        RejectCase{"BadChallengeBase64",
                   record(R"({"control":{"_0":{"videoReady":{"udpPort":1,"stream":1,"challenge":"AAE"}}}})"),
                   nullptr},
        RejectCase{"NegativeId", record(ping(R"("id":-1,"sentMicros":2)")), nullptr},
        RejectCase{"IdTooLarge", record(ping(R"("id":4294967296,"sentMicros":2)")), nullptr},
        RejectCase{"MicrosNegative", record(ping(R"("id":1,"sentMicros":-5)")), nullptr},
        RejectCase{"MicrosTooLarge", record(ping(R"("id":1,"sentMicros":18446744073709551616)")),
                   nullptr},
        RejectCase{"MissingField", record(ping(R"("id":1)")), nullptr},
        RejectCase{"NullField", record(ping(R"("id":1,"sentMicros":null)")), nullptr},
        RejectCase{"NackMissingNotArray",
                   record(R"({"control":{"_0":{"nack":{"frameID":1,"missing":3}}}})"), nullptr},
        RejectCase{"NackIndexTooLarge",
                   record(R"({"control":{"_0":{"nack":{"frameID":1,"missing":[1,65536]}}}})"),
                   nullptr},
        RejectCase{"StatusWantedNotBool",
                   record(R"({"control":{"_0":{"statusWanted":{"_0":1}}}})"), nullptr},
        RejectCase{"ScreenWithoutDistance", record(kScreenNoDistance), nullptr},
        RejectCase{"MacStatusWithoutName",
                   record(R"({"control":{"_0":{"macStatus":{"_0":{"diskFreeGB":1,)"
                          R"("diskTotalGB":2,"runningApps":3,"uptimeHours":4}}}}})"),
                   nullptr},
        RejectCase{"HelloBadUuid",
                   record(R"({"control":{"_0":{"hello":{"deviceID":"E621E1F8","name":"",)"
                          R"("appVersion":"","screen":{}}}}})"),
                   nullptr},
        RejectCase{"MiddleButton", record(R"({"input":{"_0":{"button":{"_0":"middle","down":true}}}})"),
                   nullptr},
        RejectCase{"CapitalisedButton",
                   record(R"({"input":{"_0":{"button":{"_0":"Left","down":true}}}})"), nullptr},
        RejectCase{"ButtonWithoutDown", record(R"({"input":{"_0":{"button":{"_0":"left"}}}})"),
                   nullptr},
        RejectCase{"KeyCodeTooLarge", record(key(R"("code":65536,"down":true,"modifiers":0)")),
                   nullptr},
        RejectCase{"ModifiersNegative", record(key(R"("code":1,"down":true,"modifiers":-1)")),
                   nullptr},
        RejectCase{"KeyTextNumber",
                   record(key(R"("code":1,"down":true,"modifiers":0,"text":5)")), nullptr},
        RejectCase{"DoubleAsString", record(R"({"input":{"_0":{"pointerMove":{"dx":"1","dy":0}}}})"),
                   nullptr},
        RejectCase{"DoubleMissing", record(R"({"input":{"_0":{"pointerMove":{"dx":1}}}})"),
                   nullptr},
        RejectCase{"LengthOverLimitWithoutBody", header(1'048'577), nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// A complete record of exactly `n` bytes.
std::string refusedOfSize(std::size_t n) {
  const std::string open = R"({"control":{"_0":{"refused":{"reason":")", close = R"("}}}})";
  return open + std::string(n - open.size() - close.size(), 'r') + close;
}

struct BufferCase {
  const char* name;
  Bytes buffer;
  std::size_t envelopes;
  Bytes rest;
};

class ControlBuffer : public ::testing::TestWithParam<BufferCase> {};

TEST_P(ControlBuffer, KeepsExactlyTheIncompleteTail) {
  Bytes buffer = GetParam().buffer;
  auto out = ControlCodec::decode(buffer);
  ASSERT_TRUE(out.ok()) << out.error();
  EXPECT_EQ(out->size(), GetParam().envelopes);
  EXPECT_EQ(buffer, GetParam().rest);
}

const Bytes kBye = record(R"({"control":{"_0":{"bye":{}}}})");
const Bytes kZoom = record(R"({"input":{"_0":{"zoom":{"scale":1.5}}}})");

INSTANTIATE_TEST_SUITE_P(
    Cases, ControlBuffer,
    ::testing::Values(
        BufferCase{"Empty", {}, 0, {}},
        BufferCase{"ThreeBytes", {0, 0, 1}, 0, {0, 0, 1}},
        BufferCase{"TwoAndAHalf", concat({kBye, kZoom, prefix(kZoom, 20)}), 2, prefix(kZoom, 20)},
        BufferCase{"TwoAndAHeaderFragment", concat({kBye, kZoom, prefix(kZoom, 2)}), 2,
                   prefix(kZoom, 2)},
        BufferCase{"MaximalLengthWaitsForBody", concat({kBye, header(1'048'576), Bytes(10, ' ')}),
                   1, concat({header(1'048'576), Bytes(10, ' ')})},
        BufferCase{"MaximalRecordDecodes", concat({record(refusedOfSize(1'048'576)), kBye}), 2,
                   {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ControlCodec, DecodeReturnsRecordsInOrder) {
  Bytes buffer;
  for (const auto& e : samples()) {
    auto encoded = ControlCodec::encode(e);
    ASSERT_TRUE(encoded.ok()) << encoded.error();
    append(buffer, *encoded);
  }
  auto out = ControlCodec::decode(buffer);
  ASSERT_TRUE(out.ok()) << out.error();
  EXPECT_EQ(*out, samples());
  EXPECT_TRUE(buffer.empty());
}

TEST(ControlCodec, EncodeDoesNotEnforceTheReceiveLimit) {
  auto encoded = ControlCodec::encode(control(CM::Refused{std::string(1'048'600, 'x')}));
  ASSERT_TRUE(encoded.ok()) << encoded.error();
  EXPECT_EQ(loadU32BE(encoded->data()), encoded->size() - 4);
  Bytes buffer = *encoded;
  EXPECT_FALSE(ControlCodec::decode(buffer).ok());
  EXPECT_EQ(buffer, *encoded);
}

class ControlUnencodable : public ::testing::TestWithParam<Envelope> {};

TEST_P(ControlUnencodable, FailsInsteadOfWritingSomething) {
  EXPECT_FALSE(ControlCodec::encode(GetParam()).ok());
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Values, ControlUnencodable,
    ::testing::Values(input(IE{IE::PointerMove{kNaN, 0}}), input(IE{IE::PointerMove{0, kInf}}),
                      input(IE{IE::Scroll{-kInf, 0}}), input(IE{IE::Scroll{0, kNaN}}),
                      input(IE{IE::Zoom{kInf}}), input(IE{IE::Zoom{kNaN}}),
                      input(IE{IE::Key{1, true, 0, "\xFF"}}),
                      control(CM::Refused{"\xC3"}),
                      control(CM::MacStatusReport{desktop(kNaN)}),
                      control(CM::ScreenChanged{[] {
                        ScreenTraits t = ScreenTraits::acer();
                        t.scale = kInf;
                        return t;
                      }()})));

}  // namespace
}  // namespace lumenbrook
