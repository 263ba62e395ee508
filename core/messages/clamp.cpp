#include "core/messages/clamp.h"

#include <cstdint>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace lumenbrook::Clamp {
namespace {

constexpr UChar32 kTab = 0x09;
constexpr UChar32 kLineFeed = 0x0A;
constexpr UChar32 kZeroWidthJoiner = 0x200D;

void appendUtf8(std::string& out, UChar32 c) {
  char buf[U8_MAX_LENGTH];
  int32_t n = 0;
  U8_APPEND_UNSAFE(buf, n, c);
  out.append(buf, static_cast<std::size_t>(n));
}

// Walks the well-formed scalars of `s` from `i`; ill-formed sequences are skipped.
// Returns false at the end of the text.
bool nextScalar(std::string_view s, std::int64_t& i, UChar32& c) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const auto length = static_cast<std::int64_t>(s.size());
  while (i < length) {
    U8_NEXT(p, i, length, c);
    if (c >= 0) return true;
  }
  return false;
}

bool isMark(int8_t category) {
  return category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK ||
         category == U_COMBINING_SPACING_MARK;
}

bool isCandidate(UChar32 c, int8_t category, bool lines) {
  if (c == kTab || c == kZeroWidthJoiner) return true;
  if (c == kLineFeed) return lines;
  if (category == U_CONTROL_CHAR || category == U_FORMAT_CHAR) return false;
  if (category == U_LINE_SEPARATOR || category == U_PARAGRAPH_SEPARATOR) return lines;
  return true;
}

// Byte length of the first `max` grapheme clusters of valid UTF-8 `s`, ending at or before
// `limit` (a boundary beyond `limit` belongs to text past the part the caller keeps).
std::size_t clusterPrefix(const std::string& s, std::size_t limit, int max) {
  if (max <= 0 || limit == 0) return 0;
  UErrorCode status = U_ZERO_ERROR;
  UText* raw = utext_openUTF8(nullptr, s.data(), static_cast<int64_t>(s.size()), &status);
  std::unique_ptr<UText, decltype(&utext_close)> ut(raw, &utext_close);
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) return 0;
  it->setText(ut.get(), status);
  if (U_FAILURE(status)) return 0;
  std::size_t end = 0;
  it->first();
  for (int n = 0; n < max; ++n) {
    int32_t next = it->next();
    if (next == icu::BreakIterator::DONE || static_cast<std::size_t>(next) > limit) break;
    end = static_cast<std::size_t>(next);
  }
  return end;
}

}  // namespace

std::string text(std::string_view s, int max, bool lines) {
  if (max <= 0) return {};
  const std::int64_t budget = 4 * static_cast<std::int64_t>(max);
  std::string out;
  int marks = 0;
  std::int64_t i = 0;
  UChar32 c = 0;
  bool cutShort = false;

  // Returns whether `c` is kept, updating the mark run.
  auto keep = [&](UChar32 scalar) {
    const int8_t category = u_charType(scalar);
    if (!isCandidate(scalar, category, lines)) return false;
    if (isMark(category)) {
      if (++marks > maxMarks) return false;
    } else {
      marks = 0;
    }
    return true;
  };

  while (nextScalar(s, i, c)) {
    if (static_cast<std::int64_t>(out.size()) >= budget) {
      cutShort = true;
      break;
    }
    if (keep(c)) appendUtf8(out, c);
  }

  const std::size_t kept = out.size();
  if (cutShort) {
    // Whether the last kept character is complete depends only on what precedes the cut and
    // on the next scalar that would have been kept; add that one so the break iterator can
    // tell, and never return a cluster the budget cut in two.
    bool more = keep(c);
    while (!more && nextScalar(s, i, c)) more = keep(c);
    if (more) appendUtf8(out, c);
  }
  out.resize(clusterPrefix(out, kept, max));
  return out;
}

std::string characters(std::string_view s, int max) {
  if (max <= 0) return {};
  std::string valid;
  valid.reserve(s.size());
  std::int64_t i = 0;
  UChar32 c = 0;
  while (nextScalar(s, i, c)) appendUtf8(valid, c);
  valid.resize(clusterPrefix(valid, valid.size(), max));
  return valid;
}

}  // namespace lumenbrook::Clamp
