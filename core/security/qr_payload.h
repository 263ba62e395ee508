#pragma once
// The pairing-code text the Mac shows as a QR code while a pairing window is open:
//
//   LUMENBROOK-PAIR-1:h=<host>&p=<port>&fp=<32 hex>[&s=<32 hex>]
//
// where the phone connects (host name and TCP port), which Mac to expect (its identity
// fingerprint) and the window's one-time secret. The base payload of a Mac with no open window
// has an empty secret and no "s" item.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/bytes.h"

namespace lumenbrook {

struct QRPayload {
  static constexpr std::string_view codePrefix = "LUMENBROOK-PAIR-1:";
  // Longest acceptable code, prefix included, after trimming.
  static constexpr std::size_t maxCodeLength = 511;

  std::string hostName;
  std::uint16_t port = 0;
  std::string hostFingerprint;
  std::string secret;  // 32 lower-case hexadecimal characters, or empty

  // The pairing-code text.
  std::string code() const;

  // Reads a scanned code. Absent unless, after trimming white space at both ends, it starts
  // with `codePrefix`, is at most `maxCodeLength` long, its query is well formed, "h" is an
  // acceptable host name (LocalNetwork::acceptableHostName), "p" a decimal port 1-65535, "fp"
  // 32 hexadecimal characters and "s" absent, valueless or 32 hexadecimal characters. Only
  // the first item of each name counts; unknown items are ignored; texts are kept as written.
  // Numeric hosts are judged against `ownV6`, the reader's own LAN IPv6 addresses.
  [[nodiscard]] static std::optional<QRPayload> parse(std::string_view code,
                                                      const std::vector<Bytes>& ownV6);

  // A fresh pairing secret: 16 bytes from the system's secure random source, as 32
  // lower-case hexadecimal characters.
  static std::string makeSecret();

  friend bool operator==(const QRPayload&, const QRPayload&) = default;
};

}  // namespace lumenbrook
