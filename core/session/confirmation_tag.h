#pragma once
// The tags that carry each user's verdict on the pairing code: HMAC-SHA256 keyed with the
// pairing key over "<side> confirmed" or "<side> rejected", then the pairing transcript. The
// side ("phone" or "mac") is inside the tag so one side's verdict cannot be reflected back as
// the other's.

#include <string_view>

#include "core/security/pairing.h"
#include "core/util/bytes.h"

namespace lumenbrook::confirmation {

inline constexpr std::string_view phoneSide = "phone";
inline constexpr std::string_view macSide = "mac";

Bytes tag(const PairingResult& result, std::string_view side, bool ok);
// Constant time in the tag's contents.
bool isValid(ByteView tag, const PairingResult& result, std::string_view side, bool ok);

}  // namespace lumenbrook::confirmation
