#include "core/crypto/base64.h"

#include <openssl/evp.h>

namespace lumenbrook {
namespace {

bool isAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

}  // namespace

std::string base64Encode(ByteView data) {
  std::string out(4 * ((data.size() + 2) / 3), '\0');
  if (data.empty()) return out;
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                          static_cast<int>(data.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    padding = (text.size() >= 2 && text[text.size() - 2] == '=') ? 2 : 1;
  }
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (!isAlphabet(text[i])) return std::nullopt;
  }
  if (text.empty()) return Bytes{};
  // EVP_DecodeBlock is lenient about what we already rejected above; it decodes whole quanta
  // and leaves padding bytes as zeros, which we drop.
  Bytes out(text.size() / 4 * 3);
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0 || static_cast<std::size_t>(n) != out.size()) return std::nullopt;
  out.resize(out.size() - padding);
  return out;
}

}  // namespace lumenbrook
