#pragma once
// The query component of a URL as a list of name/value items ("a=1&b&c=%20").
//
// Writing escapes every byte outside the URL query characters, and also "&", "=", "+", "#"
// and "%", so any item text survives a round trip. Reading is strict: a character that a URL
// query may not hold, a malformed escape ("%", "%4", "%zz") or an escape that decodes to text
// that is not UTF-8 makes the whole query unreadable. "+" stays "+" (no form decoding).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenbrook {

struct UrlQueryItem {
  std::string name;
  // Absent for an item written without "=" ("a" as opposed to "a=").
  std::optional<std::string> value;

  friend bool operator==(const UrlQueryItem&, const UrlQueryItem&) = default;
};

// Items joined by "&", each as name or name "=" value, both percent-encoded.
std::string encodeUrlQuery(const std::vector<UrlQueryItem>& items);

// Splits on "&" and then on the first "=" of each item, percent-decoding names and values.
// The empty query has no items; every "&" separates two items, so "a&" holds "a" and "".
[[nodiscard]] std::optional<std::vector<UrlQueryItem>> decodeUrlQuery(std::string_view query);

// True when `text` consists only of characters a URL query (or fragment) may hold, with every
// "%" starting a well-formed escape.
bool isUrlQueryText(std::string_view text);

}  // namespace lumenbrook
