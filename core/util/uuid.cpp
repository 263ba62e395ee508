#include "core/util/uuid.h"

namespace lumenbrook {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  std::size_t out = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int hi = hexValue(text[i]);
    int lo = hexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[out++] = static_cast<std::uint8_t>(hi << 4 | lo);
    i += 2;
  }
  return Uuid(bytes);
}

Uuid Uuid::fromRandom(std::array<std::uint8_t, 16> random) {
  random[6] = static_cast<std::uint8_t>((random[6] & 0x0F) | 0x40);
  random[8] = static_cast<std::uint8_t>((random[8] & 0x3F) | 0x80);
  return Uuid(random);
}

std::string Uuid::text() const {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(digits[bytes_[i] >> 4]);
    out.push_back(digits[bytes_[i] & 0x0F]);
  }
  return out;
}

}  // namespace lumenbrook
