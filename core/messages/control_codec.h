#pragma once
// Records inside sealed payloads: a 4-byte big-endian JSON length N, then N bytes of one
// Envelope's compact JSON.
//
// Pure functions without state; callable from any thread.

#include <cstdint>
#include <string>
#include <vector>

#include "core/messages/envelope.h"
#include "core/util/bytes.h"
#include "core/util/result.h"

namespace lumenbrook::ControlCodec {

// The largest body decode accepts (1 MiB). encode does not check it; the receiver rejects.
inline constexpr std::uint32_t maxMessage = 1'048'576;

// One record. Fails only when the envelope cannot be written as JSON: a non-finite Double
// in an input event, invalid UTF-8 in a string, or JSON that does not fit a 32-bit length.
[[nodiscard]] Result<Bytes, std::string> encode(const Envelope& envelope);

// Takes every complete record from the front of `buffer`; an incomplete trailing record
// stays. Fails when a length exceeds maxMessage (without waiting for its body) or a
// complete body is not an Envelope (a zero length included). On failure the records before
// the bad one have been removed from `buffer` and are not returned, and the bad record
// stays at its front: the caller is expected to give up on the peer, not to retry.
[[nodiscard]] Result<std::vector<Envelope>, std::string> decode(Bytes& buffer);

}  // namespace lumenbrook::ControlCodec
