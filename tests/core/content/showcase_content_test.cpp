#include "core/content/showcase_content.h"

#include <string>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

ShowcaseContent withLinks(std::size_t n, std::optional<std::int64_t> qrIndex) {
  ShowcaseContent s{"Ada's", "Bakery", {}, std::nullopt};
  for (std::size_t i = 0; i < n; ++i) s.links.push_back({"L" + std::to_string(i), "u" + std::to_string(i)});
  s.qrIndex = qrIndex;
  return s;
}

TEST(ShowcaseContent, SanitizedKeepsFourLinksAndAValidQrIndex) {
  struct Case {
    std::size_t links;
    std::optional<std::int64_t> qrIndex;
    std::size_t keptLinks;
    std::optional<std::int64_t> keptIndex;
  } cases[] = {
      {6, 5, 4, std::nullopt}, {6, 3, 4, 3},  {6, 4, 4, std::nullopt}, {2, 1, 2, 1},
      {2, -1, 2, std::nullopt}, {0, 0, 0, std::nullopt}, {3, std::nullopt, 3, std::nullopt},
  };
  for (auto c : cases) {
    auto s = withLinks(c.links, c.qrIndex).sanitized();
    EXPECT_EQ(s.links.size(), c.keptLinks) << c.links;
    EXPECT_EQ(s.qrIndex, c.keptIndex) << c.links;
  }
}

TEST(ShowcaseContent, SanitizedClampsEveryText) {
  ShowcaseContent s{std::string(70, 'n') + "\n", std::string(150, 't'),
                    {{std::string(41, 'l'), std::string(201, 'u')}, {"a\tb\x07", "x\ny"}}, 0};
  auto out = s.sanitized();
  EXPECT_EQ(out.name, std::string(60, 'n'));
  EXPECT_EQ(out.tagline, std::string(140, 't'));
  EXPECT_EQ(out.links[0], (ShowcaseLink{std::string(40, 'l'), std::string(200, 'u')}));
  EXPECT_EQ(out.links[1], (ShowcaseLink{"a\tb", "xy"}));
  EXPECT_EQ(out.qrIndex, 0);
}

TEST(ShowcaseContent, QrTextAddsAMissingScheme) {
  const std::string letters200(200, 'a');
  struct Case {
    std::string url;
    std::optional<std::string> text;
  } cases[] = {
      {"shop/menu", "https://shop/menu"},
      {"tel:+15551234", "tel:+15551234"},
      {"mailto:ada@example.com", "mailto:ada@example.com"},
      {"ftp://example.com/x", "ftp://example.com/x"},
      {"example.com/a://b", "example.com/a://b"},
      {"  \n example.com \t\r\n", "https://example.com"},
      {"\xE3\x80\x80wide\xC2\xA0", "https://wide"},  // ideographic and no-break spaces trim too
      {" " + letters200 + " ", "https://" + letters200},
      {std::string(201, 'a'), std::nullopt},
      {" \n\t ", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    ShowcaseContent s{"", "", {{"a", "first"}, {"b", c.url}}, 1};
    EXPECT_EQ(s.qrText(), c.text) << c.url;
  }
}

TEST(ShowcaseContent, QrTextNeedsAnExistingLink) {
  for (std::optional<std::int64_t> index : {std::optional<std::int64_t>{}, {-1}, {2}, {INT64_MAX}}) {
    EXPECT_EQ(withLinks(2, index).qrText(), std::nullopt);
  }
  EXPECT_EQ(withLinks(2, 0).qrText(), "https://u0");
}

TEST(ShowcaseContent, IsEmptyIgnoresBlankNameAndTagline) {
  struct Case {
    ShowcaseContent s;
    bool empty;
  } cases[] = {
      {{}, true},
      {{" \t ", "\t", {}, std::nullopt}, true},
      {{"", "", {{"", ""}, {"", ""}}, 0}, true},
      {{"x", "", {}, std::nullopt}, false},
      {{"", "\n", {}, std::nullopt}, false},  // only spaces and tabs count as blank
      {{"", "", {{"label", ""}}, std::nullopt}, false},
      {{"", "", {{"", " "}}, std::nullopt}, false},  // links are not trimmed
  };
  for (const auto& c : cases) EXPECT_EQ(c.s.isEmpty(), c.empty) << c.s.name << "|" << c.s.tagline;
}

TEST(ShowcaseContent, JsonLeavesOutAnAbsentQrIndex) {
  auto s = withLinks(1, std::nullopt);
  EXPECT_EQ(Json(s), Json::parse(R"({"name":"Ada's","tagline":"Bakery","links":[{"label":"L0","url":"u0"}]})"));
  s.qrIndex = 0;
  EXPECT_EQ(Json(s)["qrIndex"], 0);
  EXPECT_EQ(Json(s).get<ShowcaseContent>(), s);
  EXPECT_THROW(Json::parse(R"({"name":"","tagline":"","links":[{"label":1,"url":""}]})").get<ShowcaseContent>(),
               JsonError);
  EXPECT_THROW(Json::parse(R"({"name":"","tagline":"","links":{}})").get<ShowcaseContent>(), JsonError);
}

}  // namespace
}  // namespace lumenbrook
