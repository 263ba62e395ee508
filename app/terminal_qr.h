#pragma once
// The pairing code as a QR code drawn with text, for a terminal.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenbrook {

// The modules of one QR symbol, row by row; true is a dark module.
struct QrMatrix {
  int size = 0;
  std::vector<bool> dark;  // size * size entries

  bool at(int x, int y) const { return dark[static_cast<std::size_t>(y * size + x)]; }
  friend bool operator==(const QrMatrix&, const QrMatrix&) = default;
};

// The smallest symbol holding `text`'s bytes in byte mode at error-correction level M;
// absent when it does not fit in any version.
[[nodiscard]] std::optional<QrMatrix> encodeQr(std::string_view text);

// Two module rows per line of text with half-block characters, framed by `quietZone` light
// modules on every side. Light modules are drawn and dark ones left blank, which reads
// correctly on the usual light-on-dark terminal.
std::string drawQr(const QrMatrix& matrix, int quietZone = 4);

}  // namespace lumenbrook
