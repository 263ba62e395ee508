#pragma once
// Cleans text that came from elsewhere before it is shown or sent: drops control and format
// characters (keeping tab and the zero-width joiner), optionally line breaks, and long runs of
// combining marks, then cuts to a number of user-perceived characters.

#include <string>
#include <string_view>

namespace lumenbrook::Clamp {

// The longest run of combining marks (Mn, Mc, Me) that text() keeps.
inline constexpr int maxMarks = 8;

// At most `max` extended grapheme clusters of cleaned `s`; line feed, line separator and
// paragraph separator survive only when `lines`. Work is bounded: scalars are taken only until
// the kept text reaches 4 × max bytes, and a character cut short by that bound is left out
// whole. Invalid UTF-8 sequences are dropped, so the result is always valid UTF-8. A negative
// `max` gives the empty string.
std::string text(std::string_view s, int max, bool lines);

// The first `max` extended grapheme clusters of `s`, nothing else changed except that invalid
// UTF-8 sequences are dropped. A negative `max` gives the empty string.
std::string characters(std::string_view s, int max);

}  // namespace lumenbrook::Clamp
