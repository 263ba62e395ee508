#include "app/terminal_qr.h"

#include <qrencode.h>

#include <memory>

namespace lumenbrook {

std::optional<QrMatrix> encodeQr(std::string_view text) {
  std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
      QRcode_encodeData(static_cast<int>(text.size()),
                        reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M),
      &QRcode_free);
  if (!code || code->width <= 0) return std::nullopt;
  QrMatrix m;
  m.size = code->width;
  const std::size_t count = static_cast<std::size_t>(m.size) * static_cast<std::size_t>(m.size);
  m.dark.resize(count);
  for (std::size_t i = 0; i < count; ++i) m.dark[i] = (code->data[i] & 1) != 0;
  return m;
}

std::string drawQr(const QrMatrix& matrix, int quietZone) {
  const int total = matrix.size + 2 * quietZone;
  auto light = [&](int x, int y) {
    int mx = x - quietZone;
    int my = y - quietZone;
    if (mx < 0 || my < 0 || mx >= matrix.size || my >= matrix.size) return true;
    return !matrix.at(mx, my);
  };
  std::string out;
  for (int y = 0; y < total; y += 2) {
    for (int x = 0; x < total; ++x) {
      bool top = light(x, y);
      bool bottom = y + 1 < total ? light(x, y + 1) : false;
      if (top && bottom) {
        out += "\u2588";  // full block
      } else if (top) {
        out += "\u2580";  // upper half block
      } else if (bottom) {
        out += "\u2584";  // lower half block
      } else {
        out += ' ';
      }
    }
    out += '\n';
  }
  return out;
}

}  // namespace lumenbrook
