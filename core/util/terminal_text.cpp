#include "core/util/terminal_text.h"

#include <cctype>

namespace lumenbrook {

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += '?';
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      out += '?';  // a C1 control, U+0080 to U+009F
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<bool> parseAnswer(std::string_view line) {
  std::size_t begin = line.find_first_not_of(" \t\r\n");
  std::size_t end = line.find_last_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return std::nullopt;
  std::string word(line.substr(begin, end - begin + 1));
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (word == "y" || word == "yes") return true;
  if (word == "n" || word == "no") return false;
  return std::nullopt;
}

}  // namespace lumenbrook
