#include "core/messages/clamp.h"

#include <gtest/gtest.h>

#include "core/util/json.h"

namespace lumenbrook {
namespace {

std::string repeat(std::string_view unit, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += unit;
  return s;
}

const std::string kAcute = "\u0301";  // Mn, two bytes
const std::string kFamily = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // 18 bytes, one cluster
const std::string kThumbsUp = "\U0001F44D\U0001F3FD";                       // with a skin tone

// Valid UTF-8 is exactly what the JSON writer accepts in a string.
bool validUtf8(const std::string& s) {
  try {
    dumpJson(Json(s));
    return true;
  } catch (const JsonError&) {
    return false;
  }
}

struct Case {
  const char* what;
  std::string input;
  int max;
  bool lines;
  std::string expected;
};

TEST(ClampText, CleansAndCuts) {
  const Case cases[] = {
      {"plain", "Studio", 64, false, "Studio"},
      {"line feed dropped", "a\nb", 64, false, "ab"},
      {"line feed kept", "a\nb", 64, true, "a\nb"},
      {"carriage return is a control", "a\r\nb", 64, true, "a\nb"},
      {"tab kept", "a\tb", 64, false, "a\tb"},
      {"separators dropped", "a\u2028b\u2029c", 64, false, "abc"},
      {"separators kept", "a\u2028b\u2029c", 64, true, "a\u2028b\u2029c"},
      {"next line is a control", "a\u0085b", 64, true, "ab"},
      {"C0, DEL and C1", std::string("a\0b\x1B\x7F" "c\u009Bd", 9), 64, true, "abcd"},
      {"format characters", "a\u200Bb\uFEFFc\u202Ed\u2066e\u00ADf", 64, false, "abcdef"},
      {"zero-width joiner kept", kFamily, 64, false, kFamily},
      {"private use and noncharacters kept", "\uE000\uFFFE", 64, false, "\uE000\uFFFE"},
      {"variation selector is a mark", "\u2764\uFE0F", 64, false, "\u2764\uFE0F"},
      {"twelve accents keep eight", "a" + repeat(kAcute, 12), 64, false, "a" + repeat(kAcute, 8)},
      {"eight accents kept", "a" + repeat(kAcute, 8), 64, false, "a" + repeat(kAcute, 8)},
      {"a base letter resets the run", repeat("a" + repeat(kAcute, 10), 3), 64, false,
       repeat("a" + repeat(kAcute, 8), 3)},
      {"dropped controls do not reset the run", "a" + repeat(kAcute, 5) + "\x01" + repeat(kAcute, 5), 64,
       false, "a" + repeat(kAcute, 8)},
      {"a joiner resets the run", "a" + repeat(kAcute, 8) + "\u200D" + repeat(kAcute, 3), 64, false,
       "a" + repeat(kAcute, 8) + "\u200D" + repeat(kAcute, 3)},
      {"spacing and enclosing marks count", "a\u0903\u20DD" + repeat("\u0903", 10), 64, false,
       "a\u0903\u20DD" + repeat("\u0903", 6)},
      {"cut at max", "abcdef", 3, false, "abc"},
      {"max zero", "abc", 0, false, ""},
      {"max negative", "abc", -1, false, ""},
      {"empty", "", 5, true, ""},
      {"max counts clusters", repeat("e" + kAcute, 5), 3, false, repeat("e" + kAcute, 3)},
      {"clusters after dropping", "e\x01" + kAcute + "f", 1, false, "e" + kAcute},
      {"flags are one cluster", "\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 64, false,
       "\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7"},
      {"skin tone within budget", kThumbsUp + "x", 2, false, kThumbsUp},
      // Work stops once the kept text reaches 4 × max bytes.
      {"budget counts bytes", repeat("\U0001F1E9\U0001F1EA", 3), 2, false, "\U0001F1E9\U0001F1EA"},
      {"budget on long text", std::string(1'000'000, 'a'), 3, false, "aaa"},
      // A character the budget would cut in two is left out rather than split.
      {"budget never splits a family", repeat(kFamily, 4), 5, false, kFamily},
      {"budget never splits accents", "a" + repeat(kAcute, 4), 1, false, ""},
      {"budget never splits a skin tone", kThumbsUp, 1, false, ""},
      {"budget stop on a boundary", "\U0001F600b", 1, false, "\U0001F600"},
      {"budget stop before a dropped tail", "\U0001F600\x01\x02\u200B", 1, false, "\U0001F600"},
      {"budget looks past dropped scalars", "\U0001F600\x01" + kAcute, 1, false, ""},
      {"budget ends in a complete cluster", "ab" + kFamily + "c", 5, false, "ab" + kFamily},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string out = Clamp::text(c.input, c.max, c.lines);
    EXPECT_EQ(out, c.expected);
    EXPECT_TRUE(validUtf8(out));
  }
}

TEST(ClampText, DropsInvalidUtf8) {
  const Case cases[] = {
      {"stray byte", "a\xFF" "b", 64, false, "ab"},
      {"lone continuation", "\x80\xBF" "abc", 64, false, "abc"},
      {"overlong NUL", "a\xC0\x80" "b", 64, false, "ab"},
      {"overlong slash", "a\xE0\x80\xAF" "b", 64, false, "ab"},
      {"encoded surrogate", "a\xED\xA0\x80" "b", 64, false, "ab"},
      {"beyond U+10FFFF", "a\xF4\x90\x80\x80" "b", 64, false, "ab"},
      {"truncated at the end", "ab\xE2\x82", 64, false, "ab"},
      {"truncated before ASCII", "a\xF0\x9F\x98" "b", 64, false, "ab"},
      {"mark after garbage still counts", "a" + repeat(kAcute, 8) + "\xFF" + kAcute, 64, false,
       "a" + repeat(kAcute, 8)},
      {"only garbage", "\xC3\xC3\xFE\xFF", 64, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string out = Clamp::text(c.input, c.max, c.lines);
    EXPECT_EQ(out, c.expected);
    EXPECT_TRUE(validUtf8(out));
  }
}

TEST(ClampText, HostileTextStaysWithinItsBounds) {
  const std::string zalgo = repeat("Z" + repeat("\u0336\u0337\u0489\u0321", 40), 200);
  const std::string mixed = repeat(kFamily + "\r\n\xFF\u202E" + "e" + repeat(kAcute, 30), 300);
  for (const std::string* s : {&zalgo, &mixed}) {
    for (int max : {1, 7, 64}) {
      for (bool lines : {false, true}) {
        const std::string out = Clamp::text(*s, max, lines);
        EXPECT_TRUE(validUtf8(out));
        EXPECT_LE(out.size(), 4u * max + 3) << max;  // the budget plus at most one scalar
        EXPECT_EQ(Clamp::text(out, max, lines), out) << max;  // cleaning is idempotent
      }
    }
  }
  // Each kept cluster is Z with eight marks, 17 bytes: fifteen fit the 256-byte budget.
  EXPECT_EQ(Clamp::text(zalgo, 64, false), repeat("Z" + repeat("\u0336\u0337\u0489\u0321", 2), 15));
}

TEST(ClampCharacters, CutsClustersOnly) {
  const Case cases[] = {
      {"controls kept", "a\nb\x01" "c", 64, false, "a\nb\x01" "c"},
      {"clusters", repeat(kFamily, 70), 64, false, repeat(kFamily, 64)},
      {"accents", repeat("e" + kAcute + kAcute, 3), 2, false, repeat("e" + kAcute + kAcute, 2)},
      {"invalid dropped", "a\xFF" "b", 64, false, "ab"},
      {"max zero", "abc", 0, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Clamp::characters(c.input, c.max), c.expected);
  }
}

}  // namespace
}  // namespace lumenbrook
