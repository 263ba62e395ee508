#include "core/security/qr_payload.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "core/crypto/crypto.h"
#include "core/security/hex.h"
#include "core/security/local_network.h"
#include "core/security/url_query.h"

namespace lumenbrook {
namespace {

constexpr std::size_t kHexFieldLength = 32;

// Trims Unicode white space and line breaks from both ends; stops at bytes that are not UTF-8
// (those fail later as characters no URL may hold).
std::string_view trim(std::string_view text) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  auto begin = std::int32_t{0};
  auto end = static_cast<std::int32_t>(text.size());
  while (begin < end) {
    std::int32_t next = begin;
    UChar32 c;
    U8_NEXT(p, next, end, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    begin = next;
  }
  while (end > begin) {
    std::int32_t prev = end;
    UChar32 c;
    U8_PREV(p, begin, prev, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = prev;
  }
  return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

const UrlQueryItem* first(const std::vector<UrlQueryItem>& items, std::string_view name) {
  for (const auto& i : items) {
    if (i.name == name) return &i;
  }
  return nullptr;
}

// Decimal digits only (no sign, no spaces), 1 to 65535.
std::optional<std::uint16_t> parsePort(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 0xFFFF) return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

bool isHexField(std::string_view text) {
  return text.size() == kHexFieldLength && hexDecode(text).has_value();
}

}  // namespace

std::string QRPayload::code() const {
  std::vector<UrlQueryItem> items{
      {"h", hostName},
      {"p", std::to_string(port)},
      {"fp", hostFingerprint},
  };
  if (!secret.empty()) items.push_back({"s", secret});
  return std::string(codePrefix) + encodeUrlQuery(items);
}

std::optional<QRPayload> QRPayload::parse(std::string_view code, const std::vector<Bytes>& ownV6) {
  std::string_view text = trim(code);
  if (!text.starts_with(codePrefix)) return std::nullopt;
  if (text.size() > maxCodeLength) return std::nullopt;

  // The text after the prefix is the rest of a URL after its "?": the query runs to the first
  // "#", and the fragment after it must be well formed as well.
  std::string_view rest = text.substr(codePrefix.size());
  std::string_view query = rest;
  if (auto hash = rest.find('#'); hash != std::string_view::npos) {
    query = rest.substr(0, hash);
    if (!isUrlQueryText(rest.substr(hash + 1))) return std::nullopt;
  }
  auto items = decodeUrlQuery(query);
  if (!items) return std::nullopt;

  const UrlQueryItem* h = first(*items, "h");
  if (!h || !h->value || !LocalNetwork::acceptableHostName(*h->value, ownV6)) return std::nullopt;

  const UrlQueryItem* p = first(*items, "p");
  if (!p || !p->value) return std::nullopt;
  auto port = parsePort(*p->value);
  if (!port) return std::nullopt;

  const UrlQueryItem* fp = first(*items, "fp");
  if (!fp || !fp->value || !isHexField(*fp->value)) return std::nullopt;

  std::string secret;
  if (const UrlQueryItem* s = first(*items, "s"); s && s->value) {
    if (!isHexField(*s->value)) return std::nullopt;
    secret = *s->value;
  }
  return QRPayload{*h->value, *port, *fp->value, std::move(secret)};
}

std::string QRPayload::makeSecret() {
  Bytes random = crypto::randomBytes(16);
  return hexEncode(random);
}

}  // namespace lumenbrook
