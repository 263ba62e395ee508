#include "core/util/json.h"

#include <gtest/gtest.h>

#include "core/util/base64.h"
#include "core/util/date.h"
#include "core/util/uuid.h"

namespace lumenbrook {
namespace {

TEST(Base64, RoundTripsEveryPaddingLength) {
  for (std::string s : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    auto text = base64Encode(asBytes(s));
    auto back = base64Decode(text);
    ASSERT_TRUE(back) << s;
    EXPECT_EQ(asChars(*back), s);
  }
  EXPECT_EQ(base64Encode(asBytes("foob")), "Zm9vYg==");
}

TEST(Base64, RejectsNonCanonicalText) {
  for (std::string_view bad : {"Zm9vYg=", "Zm9v\nYg==", "Zm9vYg=a", "Zm=vYg==", "Zm9-", "Zg===", "===="}) {
    EXPECT_FALSE(base64Decode(bad)) << bad;
  }
}

TEST(UuidText, ParsesEitherCaseAndWritesUpper) {
  auto u = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->text(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(Uuid::parse(u->text()), u);
  for (std::string_view bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5G",
                               "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0", "E621E1F8_C36C-495A-93FC-0C247A3E6E5F"}) {
    EXPECT_FALSE(Uuid::parse(bad)) << bad;
  }
}

TEST(JsonReaders, IntegersMustBeIntegralAndFit) {
  struct Case {
    const char* text;
    bool fitsU16;
  } cases[] = {{"0", true}, {"65535", true}, {"65536", false}, {"-1", false},
               {"7.0", true}, {"7.5", false}, {"1e2", true}, {"\"7\"", false}, {"true", false}};
  for (auto c : cases) {
    auto j = parseJson(c.text);
    ASSERT_TRUE(j) << c.text;
    if (c.fitsU16) {
      EXPECT_NO_THROW(json::readInt<std::uint16_t>(*j)) << c.text;
    } else {
      EXPECT_THROW(json::readInt<std::uint16_t>(*j), JsonError) << c.text;
    }
  }
  EXPECT_EQ(json::readInt<std::uint64_t>(*parseJson("18446744073709551615")), UINT64_MAX);
  EXPECT_THROW(json::readInt<std::uint64_t>(*parseJson("18446744073709551616.0")), JsonError);
  EXPECT_EQ(json::readInt<std::int32_t>(*parseJson("-2147483648")), INT32_MIN);
  EXPECT_THROW(json::readInt<std::int32_t>(*parseJson("2147483648")), JsonError);
}

TEST(JsonReaders, CaseKeyCountsOnlyKnownNames) {
  EXPECT_EQ(json::caseKey(*parseJson(R"({"b":{},"zzz":1})"), {"a", "b"}), "b");
  for (const char* text : {R"({})", R"({"a":{},"b":{}})", R"({"zzz":1})"}) {
    try {
      json::caseKey(*parseJson(text), {"a", "b"});
      ADD_FAILURE() << text;
    } catch (const JsonError& e) {
      EXPECT_EQ(e.what(), kInvalidNumberOfKeys);
    }
  }
}

TEST(JsonWriters, NonFiniteDoublesCannotBeWritten) {
  EXPECT_THROW(json::writeDouble(std::nan("")), JsonError);
  EXPECT_THROW(json::writeDouble(INFINITY), JsonError);
  EXPECT_EQ(dumpJson(json::writeDouble(0.5)), "0.5");
}

TEST(JsonParse, MalformedTextIsAbsent) {
  EXPECT_FALSE(parseJson(""));
  EXPECT_FALSE(parseJson("{"));
  EXPECT_TRUE(parseJson(R"({"a":"\/"})"));
}

TEST(DateJson, SecondsSinceReference) {
  Date d = Date::fromUnixSeconds(978307200.5);
  EXPECT_DOUBLE_EQ(d.sinceReference, 0.5);
  EXPECT_EQ(decodeJson<Date>("0.5").value(), d);
}

}  // namespace
}  // namespace lumenbrook
