#include "core/content/text_measure.h"

#include <cstdint>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace lumenbrook {

std::size_t graphemeCount(std::string_view text) {
  if (text.empty()) return 0;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_FAILURE(status) || !it) {
    utext_close(ut);
    // Without break data every byte would be a guess; scalars are the closest safe count.
    std::size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
  }
  it->setText(ut, status);
  std::size_t count = 0;
  for (int32_t b = it->next(); b != icu::BreakIterator::DONE; b = it->next()) ++count;
  it.reset();
  utext_close(ut);
  return count;
}

std::string_view trimSpacesAndTabs(std::string_view text) {
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view trimWhitespace(std::string_view text) {
  // ICU's UTF-8 walkers index with 32 bits; nothing the content records hold comes near.
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return text;
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  auto length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t prev = end;
    UChar32 c;
    U8_PREV(s, begin, prev, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = prev;
  }
  return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

}  // namespace lumenbrook
