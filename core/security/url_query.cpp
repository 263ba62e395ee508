#include "core/security/url_query.h"

#include <unicode/utf8.h>

namespace lumenbrook {
namespace {

bool isUnreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// Query characters other than escapes: unreserved, sub-delims, ":", "@", "/" and "?".
bool isQueryChar(char c) {
  if (isUnreserved(c)) return true;
  constexpr std::string_view others = "!$&'()*+,;=:@/?";
  return others.find(c) != std::string_view::npos;
}

// Written as they are; the separators and "+" and "%" are always escaped.
bool isLiteralInItem(char c) { return isQueryChar(c) && c != '&' && c != '=' && c != '+'; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendEncoded(std::string& out, std::string_view text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  for (char c : text) {
    if (isLiteralInItem(c)) {
      out.push_back(c);
    } else {
      auto b = static_cast<unsigned char>(c);
      out.push_back('%');
      out.push_back(digits[b >> 4]);
      out.push_back(digits[b & 0x0F]);
    }
  }
}

bool isUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  auto length = static_cast<std::int32_t>(s.size());
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(p, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

// REQUIRES: isUrlQueryText(text), so every "%" is followed by two hexadecimal digits.
std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      out.push_back(static_cast<char>(hexDigit(text[i + 1]) << 4 | hexDigit(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  if (!isUtf8(out)) return std::nullopt;
  return out;
}

}  // namespace

bool isUrlQueryText(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (hexDigit(text[i + 1]) < 0 || hexDigit(text[i + 2]) < 0) return false;
      i += 2;
    } else if (!isQueryChar(c)) {
      return false;
    }
  }
  return true;
}

std::string encodeUrlQuery(const std::vector<UrlQueryItem>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out.push_back('&');
    appendEncoded(out, items[i].name);
    if (items[i].value) {
      out.push_back('=');
      appendEncoded(out, *items[i].value);
    }
  }
  return out;
}

std::optional<std::vector<UrlQueryItem>> decodeUrlQuery(std::string_view query) {
  if (!isUrlQueryText(query)) return std::nullopt;
  std::vector<UrlQueryItem> items;
  if (query.empty()) return items;
  std::size_t start = 0;
  while (true) {
    std::size_t end = query.find('&', start);
    std::string_view item =
        query.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    UrlQueryItem decoded;
    std::size_t eq = item.find('=');
    auto name = percentDecode(item.substr(0, eq));
    if (!name) return std::nullopt;
    decoded.name = std::move(*name);
    if (eq != std::string_view::npos) {
      auto value = percentDecode(item.substr(eq + 1));
      if (!value) return std::nullopt;
      decoded.value = std::move(*value);
    }
    items.push_back(std::move(decoded));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return items;
}

}  // namespace lumenbrook
