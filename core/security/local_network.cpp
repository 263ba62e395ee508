#include "core/security/local_network.h"

#include <arpa/inet.h>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <memory>

namespace lumenbrook {
namespace {

constexpr int kArphrdEther = 1;
constexpr int kArphrdLoopback = 772;
constexpr std::size_t kMaxHostNameLength = 253;
constexpr std::string_view kLocalSuffix = ".local";

// inet_pton reads a C string: a text with an embedded NUL would be judged by its prefix.
std::optional<Bytes> parseIPv4(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  std::string s(text);
  in_addr a{};
  if (inet_pton(AF_INET, s.c_str(), &a) != 1) return std::nullopt;
  const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
  return Bytes(p, p + 4);
}

std::optional<Bytes> parseIPv6(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  std::string s(text);
  in6_addr a{};
  if (inet_pton(AF_INET6, s.c_str(), &a) != 1) return std::nullopt;
  const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
  return Bytes(p, p + 16);
}

bool isLocalIPv4(const std::uint8_t* b) {
  return b[0] == 10 || b[0] == 127 || (b[0] == 169 && b[1] == 254) ||
         (b[0] == 172 && (b[1] & 0xF0) == 0x10) || (b[0] == 192 && b[1] == 168);
}

bool isV4Mapped(const Bytes& b) {
  return std::all_of(b.begin(), b.begin() + 10, [](std::uint8_t x) { return x == 0; }) &&
         b[10] == 0xFF && b[11] == 0xFF;
}

bool isV6Loopback(const Bytes& b) {
  return std::all_of(b.begin(), b.begin() + 15, [](std::uint8_t x) { return x == 0; }) &&
         b[15] == 1;
}

std::string asciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
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

// Characters as a reader sees them: extended grapheme clusters.
std::optional<std::size_t> countCharacters(const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) return std::nullopt;
  it->setText(text);
  std::size_t count = 0;
  for (std::int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) ++count;
  return count;
}

// Each code point a letter or number (general categories L and N), "-" or "."; a combining
// mark is neither, so decomposed accents are refused rather than guessed at.
bool isLabelText(const icu::UnicodeString& text) {
  for (std::int32_t i = 0; i < text.length();) {
    UChar32 c = text.char32At(i);
    i += U16_LENGTH(c);
    if (c == '-' || c == '.') continue;
    if ((U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_N_MASK)) == 0) return false;
  }
  return true;
}

}  // namespace

LocalNetwork::InterfaceKind LocalNetwork::classify(const InterfaceFacts& f) {
  if (f.loopbackFlag || f.hardwareType == kArphrdLoopback) return InterfaceKind::loopback;
  // Virtual links have no bus device behind them; a bridge or tap can still be given one, so
  // those are excluded by name of their kind too.
  if (!f.hasDevice || f.bridge || f.tunTap) return InterfaceKind::other;
  if (f.wireless || f.devType == "wlan") return InterfaceKind::wifi;
  if (f.hardwareType == kArphrdEther && f.devType.empty()) return InterfaceKind::wiredEthernet;
  return InterfaceKind::other;
}

std::vector<Bytes> LocalNetwork::ownIPv6(const std::vector<Interface>& interfaces) {
  std::vector<Bytes> out;
  for (const auto& i : interfaces) {
    if (i.kind != InterfaceKind::wifi && i.kind != InterfaceKind::wiredEthernet) continue;
    for (const auto& a : i.addresses) {
      if (a.size() == 16) out.push_back(a);
    }
  }
  return out;
}

bool LocalNetwork::isLocal(std::string_view host, const std::vector<Bytes>& ownV6) {
  if (auto v4 = parseIPv4(host)) return isLocalIPv4(v4->data());
  auto v6 = parseIPv6(host);
  if (!v6) return false;
  const Bytes& b = *v6;
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return true;  // fe80::/10
  if ((b[0] & 0xFE) == 0xFC) return true;                  // fc00::/7
  if (isV4Mapped(b)) return isLocalIPv4(b.data() + 12);
  if (isV6Loopback(b)) return true;
  return std::any_of(ownV6.begin(), ownV6.end(), [&](const Bytes& own) {
    return own.size() >= 8 && std::equal(own.begin(), own.begin() + 8, b.begin());
  });
}

bool LocalNetwork::Path::usesInterfaceType(InterfaceKind kind) const {
  return std::find(interfaces.begin(), interfaces.end(), kind) != interfaces.end();
}

bool LocalNetwork::onLocalInterface(const std::optional<Path>& path) {
  if (!path) return false;
  return path->usesInterfaceType(InterfaceKind::wifi) ||
         path->usesInterfaceType(InterfaceKind::wiredEthernet) ||
         path->usesInterfaceType(InterfaceKind::loopback);
}

std::optional<LocalNetwork::Path> LocalNetwork::pathOf(std::string_view localAddress,
                                                       const std::vector<Interface>& interfaces) {
  std::string_view text = localAddress;
  std::string_view zone;
  if (auto pct = text.find('%'); pct != std::string_view::npos) {
    zone = text.substr(pct + 1);
    text = text.substr(0, pct);
  }
  auto bytes = parseIPv4(text);
  if (!bytes) {
    bytes = parseIPv6(text);
    if (!bytes) return std::nullopt;
    if (isV4Mapped(*bytes)) bytes = Bytes(bytes->begin() + 12, bytes->end());
  }
  Path path;
  bool loopback =
      (bytes->size() == 4 && (*bytes)[0] == 127) || (bytes->size() == 16 && isV6Loopback(*bytes));
  if (loopback) path.interfaces.push_back(InterfaceKind::loopback);
  for (const auto& i : interfaces) {
    // A numeric zone is an interface index, which the list does not carry: match by address.
    bool zoneNamesOther = !zone.empty() && i.name != zone &&
                          zone.find_first_not_of("0123456789") != std::string_view::npos;
    if (zoneNamesOther) continue;
    if (std::find(i.addresses.begin(), i.addresses.end(), *bytes) != i.addresses.end() &&
        !path.usesInterfaceType(i.kind)) {
      path.interfaces.push_back(i.kind);
    }
  }
  return path;
}

std::optional<std::string> LocalNetwork::address(const std::optional<Endpoint>& endpoint) {
  if (!endpoint || endpoint->kind != Endpoint::Kind::hostPort) return std::nullopt;
  std::string_view host = endpoint->host;
  if (auto pct = host.find('%'); pct != std::string_view::npos) host = host.substr(0, pct);
  // Lower-cased first, so that "::FFFF:" is dropped too and both spellings of one peer give
  // one text.
  std::string lower = asciiLower(host);
  constexpr std::string_view mapped = "::ffff:";
  if (lower.starts_with(mapped)) lower.erase(0, mapped.size());
  return lower;
}

bool LocalNetwork::acceptableHostName(std::string_view name, const std::vector<Bytes>& ownV6) {
  if (!isUtf8(name)) return false;
  auto text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(name.data(), static_cast<std::int32_t>(name.size())));
  text.toLower(icu::Locale::getRoot());
  std::string lower;
  text.toUTF8String(lower);

  if (lower.ends_with(kLocalSuffix)) {
    auto length = countCharacters(text);
    icu::UnicodeString label(text, 0,
                             text.length() - static_cast<std::int32_t>(kLocalSuffix.size()));
    if (length && *length <= kMaxHostNameLength && isLabelText(label)) return true;
  }
  return isLocal(lower, ownV6);
}

}  // namespace lumenbrook
