#pragma once
// Frames of the control connection: a 4-byte big-endian body length N, then N bytes of one
// Wire message's compact JSON. Frames follow each other with nothing in between.
//
// Pure functions without state; callable from any thread.

#include <cstdint>
#include <string>
#include <vector>

#include "core/messages/wire.h"
#include "core/util/bytes.h"
#include "core/util/result.h"

namespace lumenbrook::WireCodec {

// The largest body a reader accepts. Writers do not check it: a peer that receives a larger
// frame rejects it, which is the point where the limit protects anyone.
inline constexpr std::uint32_t maxFrame = 65536;

// One complete frame. Fails only when the message cannot be written as JSON (invalid UTF-8
// in a string) or its JSON does not fit a 32-bit length.
[[nodiscard]] Result<Bytes, std::string> frame(const Wire& message);

// Takes up to `limit` complete frames from the front of `buffer` (a negative limit takes
// none). On success exactly the bytes of the returned frames are removed, in one compaction;
// an incomplete trailing frame stays. Fails when a header announces more than maxFrame
// bytes (as soon as the header is present) or a complete body is not a Wire message,
// including an empty body; then `buffer` is left exactly as on entry, even the frames before
// the bad one, so the caller sees all or nothing of this call.
[[nodiscard]] Result<std::vector<Wire>, std::string> unframe(Bytes& buffer, std::int64_t limit);

}  // namespace lumenbrook::WireCodec
