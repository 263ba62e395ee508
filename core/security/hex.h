#pragma once
// Hexadecimal text: lower case when written, either case when read.

#include <optional>
#include <string>
#include <string_view>

#include "core/util/bytes.h"

namespace lumenbrook {

// Two lower-case digits per byte ("%02x").
std::string hexEncode(ByteView bytes);

// Pairs of digits 0-9, a-f, A-F; an odd length or any other character is absent. The empty
// text decodes to no bytes.
[[nodiscard]] std::optional<Bytes> hexDecode(std::string_view text);

}  // namespace lumenbrook
