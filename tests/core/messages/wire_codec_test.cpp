#include "core/messages/wire_codec.h"

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

const Uuid kDevice =
    *Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF");

// One value of every kind, in declaration order, with distinct bytes per field so a field
// written under the wrong name cannot round-trip.
std::vector<Wire> everyKind() {
  return {
      {Wire::PairStart{kDevice, "Ana's phone \xE2\x9C\x93", filled(32, 1), filled(32, 2),
                       filled(32, 3)}},
      {Wire::PairMacCommit{filled(32, 4), "Studio", filled(32, 5)}},
      {Wire::PairReveal{filled(32, 6), filled(16, 7)}},
      {Wire::PairMacReveal{filled(32, 8), filled(16, 9), filled(64, 10), filled(32, 11)}},
      {Wire::PairPhoneProof{filled(64, 12), filled(32, 13)}},
      {Wire::PairCodeShown{}},
      {Wire::PairConfirmed{true, filled(32, 14)}},
      {Wire::PairPhoneConfirmed{false, filled(32, 15)}},
      {Wire::ClientHello{filled(32, 16), filled(32, 17)}},
      {Wire::ServerHello{filled(32, 18), filled(32, 19)}},
      {Wire::ClientFinish{filled(32, 20)}},
      {Wire::Refused{"This phone is not paired."}},
      {Wire::Sealed{Bytes{0x00, 0xFB, 0xFF, 0x3E}}},
  };
}

Bytes framed(const Wire& w) {
  auto f = WireCodec::frame(w);
  EXPECT_TRUE(f.ok()) << f.error();
  return f.ok() ? *f : Bytes{};
}

std::string bodyOf(const Bytes& frame) { return std::string(asChars(frame).substr(4)); }

TEST(WireCodec, EveryKindRoundTripsAndEmptiesTheBuffer) {
  auto all = everyKind();
  ASSERT_EQ(all.size(), std::variant_size_v<Wire::Value>);
  for (std::size_t i = 0; i < all.size(); ++i) {
    ASSERT_EQ(all[i].value.index(), i);
    Bytes buffer = framed(all[i]);
    auto out = WireCodec::unframe(buffer, std::numeric_limits<std::int64_t>::max());
    ASSERT_TRUE(out.ok()) << all[i].kindName() << ": " << out.error();
    ASSERT_EQ(out->size(), 1u);
    EXPECT_EQ(out->front(), all[i]) << all[i].kindName();
    EXPECT_TRUE(buffer.empty());
  }
}

TEST(WireCodec, FrameIsBigEndianLengthThenCompactJson) {
  Bytes f = framed(Wire{Wire::PairCodeShown{}});
  EXPECT_EQ(f, record(R"({"pairCodeShown":{}})"));

  f = framed(Wire{Wire::Sealed{Bytes{0xFB, 0xFF}}});
  auto body = bodyOf(f);
  EXPECT_TRUE(body == R"({"sealed":{"_0":"+/8="}})" || body == R"({"sealed":{"_0":"+\/8="}})")
      << body;
  EXPECT_EQ(loadU32BE(f.data()), body.size());
}

TEST(WireCodec, WritesTheUuidUpperCase) {
  auto lower = Uuid::parse("6f9619ff-8b86-d011-b42d-00c04fc964ff");
  ASSERT_TRUE(lower);
  Wire w{Wire::PairStart{*lower, "n", {}, {}, {}}};
  auto body = bodyOf(framed(w));
  EXPECT_NE(body.find(R"("deviceID":"6F9619FF-8B86-D011-B42D-00C04FC964FF")"), std::string::npos)
      << body;
}

TEST(WireCodec, FrameFailsOnTextJsonCannotCarry) {
  auto f = WireCodec::frame(Wire{Wire::Refused{"bad \xFF byte"}});
  EXPECT_FALSE(f.ok());
}

struct DecodeCase {
  const char* name;
  std::string body;
  Wire expected;
};

class WireDecodes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(WireDecodes, ToTheExpectedMessage) {
  Bytes buffer = record(GetParam().body);
  auto out = WireCodec::unframe(buffer, 1);
  ASSERT_TRUE(out.ok()) << out.error();
  ASSERT_EQ(out->size(), 1u);
  EXPECT_EQ(out->front(), GetParam().expected);
  EXPECT_TRUE(buffer.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, WireDecodes,
    ::testing::Values(
        DecodeCase{"EmptyPairCodeShown", R"({"pairCodeShown":{}})", {Wire::PairCodeShown{}}},
        DecodeCase{"PairCodeShownContentsIgnored", R"({"pairCodeShown":{"x":1,"tag":false}})",
                   {Wire::PairCodeShown{}}},
        DecodeCase{"UnknownTopLevelMemberIgnored",
                   R"({"clientFinish":{"mac":"AAEC"},"hello":{"a":1}})",
                   {Wire::ClientFinish{Bytes{0, 1, 2}}}},
        DecodeCase{"UnknownFieldIgnored", R"({"clientFinish":{"extra":[1],"mac":"AAEC"}})",
                   {Wire::ClientFinish{Bytes{0, 1, 2}}}},
        DecodeCase{"LowerCaseUuid",
                   R"({"pairStart":{"deviceID":"6f9619ff-8b86-d011-b42d-00c04fc964ff",)"
                   R"("name":"P","identityKey":"AA==","commitment":"AQ==","tag":"Ag=="}})",
                   {Wire::PairStart{kDevice, "P", {0}, {1}, {2}}}},
        DecodeCase{"EscapedSolidusInBase64", R"({"sealed":{"_0":"+\/8="}})",
                   {Wire::Sealed{Bytes{0xFB, 0xFF}}}},
        DecodeCase{"EmptyBytes", R"({"sealed":{"_0":""}})", {Wire::Sealed{}}},
        DecodeCase{"WhitespaceAndOrder", " {\n \"serverHello\" : { \"mac\":\"AQ==\",\t\"nonce\":\"AA==\" } } ",
                   {Wire::ServerHello{{0}, {1}}}},
        DecodeCase{"UnicodeEscapes", R"({"refused":{"reason":"caf\u00e9 \ud83d\ude00"}})",
                   {Wire::Refused{"caf\xC3\xA9 \xF0\x9F\x98\x80"}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RejectCase {
  const char* name;
  Bytes frame;
  const char* error;  // exact text when the message is fixed, else nullptr
};

class WireRejects : public ::testing::TestWithParam<RejectCase> {};

// A valid frame goes first: a failure must leave even it in the buffer.
TEST_P(WireRejects, AndLeavesTheBufferAsItWas) {
  Bytes buffer = concat({record(R"({"pairCodeShown":{}})"), GetParam().frame});
  const Bytes before = buffer;
  auto out = WireCodec::unframe(buffer, std::numeric_limits<std::int64_t>::max());
  ASSERT_FALSE(out.ok());
  if (GetParam().error) {
    EXPECT_EQ(out.error(), GetParam().error);
  }
  EXPECT_EQ(buffer, before);
}

const char* const kKeys = "Invalid number of keys found, expected one.";

INSTANTIATE_TEST_SUITE_P(
    Bodies, WireRejects,
    ::testing::Values(
        RejectCase{"NotJson", record("pairCodeShown"), nullptr},
        RejectCase{"TruncatedJson", record(R"({"pairCodeShown":{})"), nullptr},
        RejectCase{"ZeroLengthBody", header(0), nullptr},
        RejectCase{"InvalidUtf8", record("{\"refused\":{\"reason\":\"\xC3\"}}"), nullptr},
        RejectCase{"TwoKinds", record(R"({"pairCodeShown":{},"clientFinish":{"mac":""}})"),
                   kKeys},
        RejectCase{"NoKind", record(R"({"hello":{}})"), kKeys},
        RejectCase{"EmptyObject", record("{}"), kKeys},
        RejectCase{"NotAnObject", record(R"(["pairCodeShown"])"), nullptr},
        RejectCase{"DeeplyNested", record(std::string(32000, '[') + std::string(32000, ']')),
                   nullptr},
        RejectCase{"PayloadNotObject", record(R"({"pairCodeShown":true})"), nullptr},
        RejectCase{"SealedBareString", record(R"({"sealed":"AAEC"})"), nullptr},
        RejectCase{"MissingField", record(R"({"pairReveal":{"publicKey":"AA=="}})"), nullptr},
        RejectCase{"NullField", record(R"({"clientFinish":{"mac":null}})"), nullptr},
        RejectCase{"BoolAsString", record(R"({"pairConfirmed":{"ok":"true","tag":""}})"),
                   nullptr},
        RejectCase{"StringAsNumber", record(R"({"refused":{"reason":7}})"), nullptr},
        RejectCase{"BytesAsArray", record(R"({"clientFinish":{"mac":[0,1]}})"), nullptr},
        RejectCase{"UnpaddedBase64", record(R"({"clientFinish":{"mac":"AAE"}})"), nullptr},
        RejectCase{"Base64BadChar", record(R"({"clientFinish":{"mac":"AA-_"}})"), nullptr},
        RejectCase{"Base64LineBreak", record(R"({"clientFinish":{"mac":"AAEC\nAAEC"}})"),
                   nullptr},
        RejectCase{"UuidNoHyphens",
                   record(R"({"pairStart":{"deviceID":"6F9619FF8B86D011B42D00C04FC964FF",)"
                          R"("name":"","identityKey":"","commitment":"","tag":""}})"),
                   nullptr},
        RejectCase{"UuidBadDigit",
                   record(R"({"pairStart":{"deviceID":"6F9619FF-8B86-D011-B42D-00C04FC964FG",)"
                          R"("name":"","identityKey":"","commitment":"","tag":""}})"),
                   nullptr},
        RejectCase{"HeaderOverLimitWithoutBody", header(65537), nullptr},
        RejectCase{"HeaderAtMaximum32Bit", header(0xFFFFFFFF), nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// Exactly `n` bytes of valid JSON for a refused message.
std::string refusedBodyOfSize(std::size_t n) {
  const std::string open = R"({"refused":{"reason":")", close = R"("}})";
  return open + std::string(n - open.size() - close.size(), 'r') + close;
}

struct BufferCase {
  const char* name;
  Bytes buffer;
  std::int64_t limit;
  std::size_t messages;  // how many are returned
  Bytes rest;            // what stays in the buffer
};

class WireBuffer : public ::testing::TestWithParam<BufferCase> {};

TEST_P(WireBuffer, KeepsExactlyTheUnconsumedBytes) {
  Bytes buffer = GetParam().buffer;
  auto out = WireCodec::unframe(buffer, GetParam().limit);
  ASSERT_TRUE(out.ok()) << out.error();
  EXPECT_EQ(out->size(), GetParam().messages);
  EXPECT_EQ(buffer, GetParam().rest);
}

const Bytes kShown = record(R"({"pairCodeShown":{}})");
const Bytes kFinish = record(R"({"clientFinish":{"mac":"AAEC"}})");
const std::int64_t kAll = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, WireBuffer,
    ::testing::Values(
        BufferCase{"Empty", {}, kAll, 0, {}},
        BufferCase{"OneByte", {0}, kAll, 0, {0}},
        BufferCase{"ThreeBytes", {0, 0, 0}, kAll, 0, {0, 0, 0}},
        BufferCase{"HeaderOnly", header(20), kAll, 0, header(20)},
        BufferCase{"FrameThenHalf", concat({kShown, prefix(kFinish, 9)}), kAll, 1,
                   prefix(kFinish, 9)},
        BufferCase{"FrameThenThreeHeaderBytes", concat({kShown, prefix(kFinish, 3)}), kAll, 1,
                   prefix(kFinish, 3)},
        BufferCase{"TwoFrames", concat({kShown, kFinish}), kAll, 2, {}},
        BufferCase{"LimitOne", concat({kShown, kFinish}), 1, 1, kFinish},
        BufferCase{"LimitZero", concat({kShown, kFinish}), 0, 0, concat({kShown, kFinish})},
        BufferCase{"NegativeLimit", kShown, -1, 0, kShown},
        // The limit stops before a bad frame is looked at.
        BufferCase{"LimitBeforeBadFrame", concat({kShown, header(70000)}), 1, 1, header(70000)},
        BufferCase{"MaximalHeaderWaitsForBody", concat({header(65536), Bytes(100, '{')}), kAll, 0,
                   concat({header(65536), Bytes(100, '{')})},
        BufferCase{"MaximalFrameDecodes", record(refusedBodyOfSize(65536)), kAll, 1, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WireCodec, SplitFrameIsDeliveredOnceAfterItsLastByte) {
  Wire w{Wire::PairMacCommit{filled(32, 4), "Studio", filled(32, 5)}};
  Bytes whole = concat({framed(w), framed(Wire{Wire::PairCodeShown{}})});
  Bytes buffer;
  std::vector<Wire> got;
  for (std::uint8_t b : whole) {
    buffer.push_back(b);
    auto out = WireCodec::unframe(buffer, kAll);
    ASSERT_TRUE(out.ok()) << out.error();
    got.insert(got.end(), out->begin(), out->end());
  }
  EXPECT_EQ(got, (std::vector<Wire>{w, Wire{Wire::PairCodeShown{}}}));
  EXPECT_TRUE(buffer.empty());
}

TEST(WireCodec, OversizedMessageIsFramedButRejectedByTheReader) {
  Wire big{Wire::Sealed{filled(60000, 0xAB)}};  // 80,000 base64 characters
  auto f = WireCodec::frame(big);
  ASSERT_TRUE(f.ok()) << f.error();
  EXPECT_GT(loadU32BE(f->data()), WireCodec::maxFrame);
  Bytes buffer = *f;
  EXPECT_FALSE(WireCodec::unframe(buffer, kAll).ok());
  EXPECT_EQ(buffer, *f);
}

TEST(WireCodec, DecodedMessagesFollowArrivalOrder) {
  auto all = everyKind();
  Bytes buffer;
  for (const auto& w : all) append(buffer, framed(w));
  auto out = WireCodec::unframe(buffer, kAll);
  ASSERT_TRUE(out.ok()) << out.error();
  EXPECT_EQ(*out, all);
  EXPECT_TRUE(buffer.empty());
}

}  // namespace
}  // namespace lumenbrook
