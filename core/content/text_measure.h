#pragma once
// Small text measurements shared by the content records. All take UTF-8; invalid sequences
// are never read past the end and count as one character each.

#include <cstddef>
#include <string>
#include <string_view>

namespace lumenbrook {

// Number of user-perceived characters (extended grapheme clusters).
std::size_t graphemeCount(std::string_view text);

// `text` without leading and trailing U+0020 and U+0009 only.
std::string_view trimSpacesAndTabs(std::string_view text);

// `text` without leading and trailing white space and line breaks (the Unicode White_Space
// property: spaces of every width, tab, line feed to carriage return, next line, line and
// paragraph separators).
std::string_view trimWhitespace(std::string_view text);

}  // namespace lumenbrook
