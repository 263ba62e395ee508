#pragma once
// Standard padded base64 (RFC 4648 section 4), the form every binary field takes inside JSON.
// It lives here because OpenSSL does the transcoding; core/util's JSON readers build on it.

#include <optional>
#include <string>
#include <string_view>

#include "core/util/bytes.h"

namespace lumenbrook {

std::string base64Encode(ByteView data);

// Strict: alphabet A-Z a-z 0-9 + /, length a multiple of 4, "=" only as final padding,
// no whitespace. Anything else is absent.
[[nodiscard]] std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace lumenbrook
