// Clamp::text and Clamp::characters on arbitrary bytes: names, labels and reasons from peers.
//
// Input: one byte choosing max (-2 ... 37), one choosing lines (bit 0), then the text.
// Checks, for text(): the result is valid UTF-8 (by a checker of its own, not ICU's decoder),
// at most max grapheme clusters, at most 4 × max bytes plus the scalar that reached them, holds
// no control or format character other than tab and the zero-width joiner, no line break
// unless lines, no run of more than maxMarks combining marks; cleaning it again changes
// nothing, and it is a prefix of the result for max + 1. For characters(): valid UTF-8, at
// most max clusters, and a prefix of the result for max + 1.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>

#include "core/messages/clamp.h"
#include "fuzz/fuzz_support.h"

using namespace lumenbrook;

namespace {

// Decodes well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF) into scalars;
// false on anything else.
bool decodeUtf8(std::string_view s, std::u32string& out) {
  out.clear();
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (b0 < 0x80) {
      n = 1, c = b0;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      n = 2, c = b0 & 0x1F, least = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      n = 3, c = b0 & 0x0F, least = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      n = 4, c = b0 & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (s.size() - i < n) return false;
    for (std::size_t k = 1; k < n; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      c = c << 6 | (b & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out.push_back(c);
    i += n;
  }
  return true;
}

int graphemeClusters(const std::string& s) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, decltype(&utext_close)> text(
      utext_openUTF8(nullptr, s.data(), static_cast<int64_t>(s.size()), &status), &utext_close);
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  LB_FUZZ_CHECK(U_SUCCESS(status) && it);
  it->setText(text.get(), status);
  LB_FUZZ_CHECK(U_SUCCESS(status));
  int count = 0;
  it->first();
  while (it->next() != icu::BreakIterator::DONE) ++count;
  return count;
}

bool isMark(char32_t c) {
  const auto category = u_charType(static_cast<UChar32>(c));
  return category == U_NON_SPACING_MARK || category == U_COMBINING_SPACING_MARK ||
         category == U_ENCLOSING_MARK;
}

bool allowed(char32_t c, bool lines) {
  if (c == U'\t' || c == U'\u200D') return true;
  if (c == U'\n' || c == U'\u2028' || c == U'\u2029') return lines;
  const auto category = u_charType(static_cast<UChar32>(c));
  return category != U_CONTROL_CHAR && category != U_FORMAT_CHAR && category != U_LINE_SEPARATOR &&
         category != U_PARAGRAPH_SEPARATOR;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const int max = in.byte() % 40 - 2;
  const bool lines = (in.byte() & 1) != 0;
  const std::string_view s = asChars(in.rest());

  const std::string out = Clamp::text(s, max, lines);
  std::u32string scalars;
  LB_FUZZ_CHECK(decodeUtf8(out, scalars));
  if (max <= 0) LB_FUZZ_CHECK(out.empty());
  // Scalars are taken while the kept text is under 4 × max bytes, so the last may pass it.
  if (max > 0) LB_FUZZ_CHECK(out.size() <= 4 * static_cast<std::size_t>(max) + 3);
  LB_FUZZ_CHECK(graphemeClusters(out) <= max || out.empty());
  int marks = 0;
  for (char32_t c : scalars) {
    LB_FUZZ_CHECK(allowed(c, lines));
    marks = isMark(c) ? marks + 1 : 0;
    LB_FUZZ_CHECK(marks <= Clamp::maxMarks);
  }
  LB_FUZZ_CHECK(Clamp::text(out, max, lines) == out);
  LB_FUZZ_CHECK(Clamp::text(s, max + 1, lines).starts_with(out));

  const std::string first = Clamp::characters(s, max);
  LB_FUZZ_CHECK(decodeUtf8(first, scalars));
  LB_FUZZ_CHECK(graphemeClusters(first) <= max || first.empty());
  LB_FUZZ_CHECK(Clamp::characters(s, max + 1).starts_with(first));
  return 0;
}
