#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/crypto/crypto.h"
#include "core/security/device_identity.h"
#include "core/security/hex.h"
#include "core/security/qr_payload.h"
#include "core/security/url_query.h"
#include "test_identities.h"

namespace lumenbrook {
namespace {

using fixtures::hex;

// --- hexadecimal ----------------------------------------------------------------------------

TEST(Hex, WritesLowerCaseAndReadsEitherCase) {
  EXPECT_EQ(hexEncode(Bytes{}), "");
  EXPECT_EQ(hexEncode(Bytes{0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
  struct Case {
    std::string_view text;
    Bytes bytes;
  } cases[] = {{"", {}},
               {"00", {0x00}},
               {"ABcd", {0xab, 0xcd}},
               {"0123456789abcdefABCDEF",
                {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xab, 0xcd, 0xef}}};
  for (const auto& c : cases) {
    auto b = hexDecode(c.text);
    ASSERT_TRUE(b) << c.text;
    EXPECT_EQ(*b, c.bytes) << c.text;
  }
}

TEST(Hex, RejectsOddLengthsAndForeignCharacters) {
  const std::string_view cases[] = {
      "a", "abc", "0g", "zz", " 0", "0 ", "0x00", "+1", std::string_view("0\0", 2)};
  for (std::string_view bad : cases) {
    EXPECT_FALSE(hexDecode(bad)) << bad;
  }
}

// --- URL query ------------------------------------------------------------------------------

TEST(UrlQuery, DecodesItemsNamesAndValues) {
  using Items = std::vector<UrlQueryItem>;
  struct Case {
    std::string_view query;
    Items items;
  } cases[] = {
      {"", {}},
      {"a=1&b", {{"a", "1"}, {"b", std::nullopt}}},
      {"a=", {{"a", ""}}},
      {"a&", {{"a", std::nullopt}, {"", std::nullopt}}},
      {"a=b=c", {{"a", "b=c"}}},
      {"n%61me=v%3D%26", {{"name", "v=&"}}},
      {"h=Studio%2dMac.local", {{"h", "Studio-Mac.local"}}},
      {"a=b+c", {{"a", "b+c"}}},
      {"x=%C3%A9", {{"x", "\xC3\xA9"}}},
      {"p=/?:@!$'()*,;", {{"p", "/?:@!$'()*,;"}}},
  };
  for (const auto& c : cases) {
    auto items = decodeUrlQuery(c.query);
    ASSERT_TRUE(items) << c.query;
    EXPECT_EQ(*items, c.items) << c.query;
  }
}

TEST(UrlQuery, RejectsMalformedEscapesAndForeignCharacters) {
  const std::string_view cases[] = {
      "%",          "a=%",   "a=%4",  "a=%4g",    "a=%zz",
      "%%41",       "a b",   "a=\"",  "a=<",      "a=#",
      "a=\xC3\xA9", "a=%FF", "a=%C3", "a=%00%FF", std::string_view("a=\0", 3)};
  for (std::string_view bad : cases) {
    EXPECT_FALSE(decodeUrlQuery(bad)) << bad;
  }
}

TEST(UrlQuery, EncodingSurvivesDecoding) {
  std::vector<UrlQueryItem> items{
      {"h", "Studio-Mac.local"}, {"p", "5000"}, {"odd name", "a&b=c+d%e #f\"<>"},
      {"u", "B\xC3\xBCro"},      {"empty", ""}, {"flag", std::nullopt}};
  std::string text = encodeUrlQuery(items);
  EXPECT_TRUE(isUrlQueryText(text)) << text;
  EXPECT_EQ(decodeUrlQuery(text), items) << text;
  EXPECT_EQ(encodeUrlQuery({{"h", "Studio-Mac.local"}, {"p", "5000"}, {"fp", "0a1b"}}),
            "h=Studio-Mac.local&p=5000&fp=0a1b");
}

// --- device identity ------------------------------------------------------------------------

constexpr std::string_view kMacSeed =
    "65666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f8081828384";

TEST(DeviceIdentity, FingerprintIsTheFirstHalfOfTheKeyDigestInLowerHex) {
  // SHA-256("abc") = ba7816bf8f01cfea414140de5dae2223 b00361a396177a9cb410ff61f20015ad
  EXPECT_EQ(DeviceIdentity::fingerprint(asBytes("abc")), "ba7816bf8f01cfea414140de5dae2223");
  auto mac =
      fixtures::identityFromSeed(kMacSeed, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "Studio-Mac");
  crypto::PublicKey key = mac.publicKey();
  EXPECT_EQ(mac.fingerprint(), DeviceIdentity::fingerprint(key));
  // Computed independently from the RFC 8032 public key of this seed.
  EXPECT_EQ(mac.fingerprint(), "bbc3f7d0c18ed5991c6d4e56ab8446de");
}

TEST(DeviceIdentity, SignatureCoversLabelSuffixAndData) {
  auto mac =
      fixtures::identityFromSeed(kMacSeed, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "Studio-Mac");
  crypto::PublicKey key = mac.publicKey();
  Bytes data = toBytes("transcript bytes");
  Bytes sig = mac.sign("mac", data);
  ASSERT_EQ(sig.size(), 64u);
  EXPECT_TRUE(crypto::ed25519Verify(key, toBytes("mac-sigtranscript bytes"), sig));
  EXPECT_FALSE(crypto::ed25519Verify(key, toBytes("mactranscript bytes"), sig));
  EXPECT_FALSE(crypto::ed25519Verify(key, toBytes("phone-sigtranscript bytes"), sig));
  EXPECT_NE(mac.sign("phone", data), sig);
}

// --- pairing-code text ----------------------------------------------------------------------

constexpr std::string_view kFp = "00112233445566778899aabbccddeeff";
constexpr std::string_view kSecret = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

TEST(QRPayload, WritesItemsInOrderAndOmitsAnEmptySecret) {
  QRPayload p{"Studio-Mac.local", 51000, std::string(kFp), std::string(kSecret)};
  EXPECT_EQ(p.code(),
            "LUMENBROOK-PAIR-1:h=Studio-Mac.local&p=51000&fp=00112233445566778899aabbccddeeff"
            "&s=0f1e2d3c4b5a69788796a5b4c3d2e1f0");
  p.secret.clear();
  EXPECT_EQ(p.code(),
            "LUMENBROOK-PAIR-1:h=Studio-Mac.local&p=51000&fp=00112233445566778899aabbccddeeff");
}

TEST(QRPayload, CodeReadsBackEqual) {
  const QRPayload payloads[] = {
      {"Studio-Mac.local", 51000, std::string(kFp), std::string(kSecret)},
      {"Studio-Mac.local", 1, std::string(kFp), ""},
      {".local", 65535, std::string(kFp), std::string(kSecret)},
      {"B\xC3\xBCro-Mac.local", 4000, std::string(kFp), std::string(kSecret)},
      {"192.168.1.20", 4000, std::string(kFp), ""},
      {"fe80::1", 4000, std::string(kFp), std::string(kSecret)},
  };
  for (const auto& p : payloads) {
    EXPECT_EQ(QRPayload::parse(p.code(), {}), p) << p.code();
  }
}

std::string withItems(std::string_view items) {
  return std::string(QRPayload::codePrefix) + std::string(items);
}

TEST(QRPayload, AcceptsScannedVariants) {
  const std::string fp(kFp), s(kSecret);
  const std::string base = "h=mac.local&p=80&fp=" + fp;
  struct Case {
    std::string text;
    QRPayload expected;
  } cases[] = {
      {"  " + withItems(base + "&s=" + s) + "\n", {"mac.local", 80, fp, s}},
      {"\t\r\n" + withItems(base) + " \xE2\x80\xA8", {"mac.local", 80, fp, ""}},  // U+2028
      {withItems("fp=" + fp + "&s=" + s + "&p=80&h=mac.local"), {"mac.local", 80, fp, s}},
      {withItems(base + "&v=2&x&s=" + s), {"mac.local", 80, fp, s}},
      {withItems(base + "&s"), {"mac.local", 80, fp, ""}},
      {withItems("h=Mac.local&h=other.local&p=80&p=81&fp=" + fp), {"Mac.local", 80, fp, ""}},
      {withItems("h=mac.local&p=80&fp=00112233445566778899AABBCCDDEEFF"),
       {"mac.local", 80, "00112233445566778899AABBCCDDEEFF", ""}},
      {withItems("h=Studio%2DMac.local&p=%380&fp=" + fp), {"Studio-Mac.local", 80, fp, ""}},
      {withItems("h=mac.local&p=00080&fp=" + fp), {"mac.local", 80, fp, ""}},
      {withItems(base + "#anything/?"), {"mac.local", 80, fp, ""}},
      {withItems("h=2001:db8::7&p=80&fp=" + fp), {"2001:db8::7", 80, fp, ""}},
  };
  // The machine's own address puts 2001:db8::/64 on the local network.
  const std::vector<Bytes> ownV6{hex("20010db8000000000000000000000001")};
  for (const auto& c : cases) {
    EXPECT_EQ(QRPayload::parse(c.text, ownV6), c.expected) << c.text;
  }
}

TEST(QRPayload, RejectsEveryBrokenRule) {
  const std::string fp(kFp), s(kSecret);
  const std::string tail = "&p=80&fp=" + fp;
  const std::string cases[] = {
      "",
      "h=mac.local" + tail,                                      // no prefix
      "lumenbrook-pair-1:h=mac.local" + tail,                    // prefix case
      "x LUMENBROOK-PAIR-1:h=mac.local" + tail,                  // text before it
      withItems("p=80&fp=" + fp),                                // no host
      withItems("h" + tail),                                     // host without a value
      withItems("h=" + tail),                                    // empty host
      withItems("h=example.com" + tail),                         // not a local name
      withItems("h=8.8.8.8" + tail),                             // public address
      withItems("h=mac%20x.local" + tail),                       // space in the name
      withItems("h=bad_name.local&h=mac.local" + tail),          // the first item counts
      withItems("h=2001:db8:1::7" + tail),                       // outside the own /64
      withItems("h=mac.local&fp=" + fp),                         // no port
      withItems("h=mac.local&p&fp=" + fp),                       // port without a value
      withItems("h=mac.local&p=0&fp=" + fp),                     // port 0
      withItems("h=mac.local&p=65536&fp=" + fp),                 // port too large
      withItems("h=mac.local&p=99999999999999999999&fp=" + fp),  // overflow
      withItems("h=mac.local&p=+80&fp=" + fp),                   // sign
      withItems("h=mac.local&p=-1&fp=" + fp),
      withItems("h=mac.local&p=8a&fp=" + fp),
      withItems("h=mac.local&p=80"),  // no fingerprint
      withItems("h=mac.local&p=80&fp"),
      withItems("h=mac.local&p=80&fp=" + fp.substr(1)),             // 31 characters
      withItems("h=mac.local&p=80&fp=" + fp + "0"),                 // 33 characters
      withItems("h=mac.local&p=80&fp=" + fp.substr(1) + "g"),       // not hexadecimal
      withItems("h=mac.local" + tail + "&s=" + s.substr(1) + "x"),  // secret not hex
      withItems("h=mac.local" + tail + "&s=" + s.substr(1)),        // 31 characters
      withItems("h=mac.local" + tail + "&s=" + s + "00"),           // 34 characters
      withItems("h=mac.local" + tail + "&s="),                      // empty value
      withItems("h=mac.local" + tail + "&x=%zz"),                   // malformed escape
      withItems("h=mac.local" + tail + "&x=a b"),                   // space inside
      withItems("h=mac.local" + tail + "#a#b"),                     // malformed fragment
      withItems("h=mac.local" + tail + "&x=\xFF"),                  // not UTF-8
      withItems("h=mac.local&p=8%30&fp=" + fp + "%"),               // trailing "%"
  };
  for (const auto& text : cases) {
    EXPECT_FALSE(QRPayload::parse(text, {hex("20010db8000000000000000000000001")})) << text;
  }
}

TEST(QRPayload, LengthLimitCountsTheWholeTrimmedText) {
  const std::string valid = withItems("h=mac.local&p=80&fp=" + std::string(kFp) + "&pad=");
  std::string at511 = valid + std::string(511 - valid.size(), 'x');
  std::string at512 = valid + std::string(512 - valid.size(), 'x');
  EXPECT_TRUE(QRPayload::parse(at511, {}));
  EXPECT_TRUE(QRPayload::parse("   " + at511 + "\n\n", {}));
  EXPECT_FALSE(QRPayload::parse(at512, {}));
}

TEST(QRPayload, SecretsAreFreshLowerHex) {
  std::set<std::string> seen;
  for (int i = 0; i < 4; ++i) {
    std::string s = QRPayload::makeSecret();
    EXPECT_EQ(s.size(), 32u);
    EXPECT_EQ(s.find_first_not_of("0123456789abcdef"), std::string::npos) << s;
    seen.insert(s);
  }
  EXPECT_EQ(seen.size(), 4u);
}

}  // namespace
}  // namespace lumenbrook
