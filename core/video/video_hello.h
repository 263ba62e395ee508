#pragma once
// The first datagram a phone sends on a stream's UDP path (sealed with the stream's
// phone-to-host datagram key): the 16 challenge bytes the host announced, then the phone's own
// UDP source port, big-endian. The host binds the path only when both match, so a datagram
// forwarded from elsewhere, or rewritten by address translation, does not take the stream.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/util/bytes.h"

namespace lumenbrook {

struct VideoHello {
  static constexpr std::size_t challengeSize = 16;
  static constexpr std::size_t size = challengeSize + 2;

  Bytes challenge;  // written as given; a reader accepts exactly challengeSize bytes
  std::uint16_t port = 0;

  friend bool operator==(const VideoHello&, const VideoHello&) = default;

  Bytes encoded() const;
  // Absent unless the plaintext is exactly `size` bytes long.
  [[nodiscard]] static std::optional<VideoHello> parse(ByteView plaintext);
};

}  // namespace lumenbrook
