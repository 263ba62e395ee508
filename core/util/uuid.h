#pragma once
// 128-bit identifiers in their canonical 36-character text form.

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumenbrook {

class Uuid {
 public:
  Uuid() = default;  // the nil UUID
  explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

  // Accepts the canonical 8-4-4-4-12 form in either case; anything else is absent.
  [[nodiscard]] static std::optional<Uuid> parse(std::string_view text);
  // A version 4 UUID built from 16 random bytes supplied by the caller (the core has no RNG).
  static Uuid fromRandom(std::array<std::uint8_t, 16> random);

  // Canonical text, upper case.
  std::string text() const;
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

  friend auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace lumenbrook
