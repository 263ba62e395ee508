#include "core/messages/wire_codec.h"

#include <limits>

namespace lumenbrook::WireCodec {

Result<Bytes, std::string> frame(const Wire& message) {
  auto body = encodeJson(message);
  if (!body) return Failure{body.error()};
  if (body->size() > std::numeric_limits<std::uint32_t>::max())
    return Failure{std::string("message too long to frame")};
  Bytes out;
  out.reserve(4 + body->size());
  appendU32BE(out, static_cast<std::uint32_t>(body->size()));
  append(out, asBytes(*body));
  return out;
}

Result<std::vector<Wire>, std::string> unframe(Bytes& buffer, std::int64_t limit) {
  std::vector<Wire> messages;
  std::size_t pos = 0;
  while (buffer.size() - pos >= 4 && static_cast<std::int64_t>(messages.size()) < limit) {
    std::uint32_t n = loadU32BE(buffer.data() + pos);
    if (n > maxFrame)
      return Failure{"frame of " + std::to_string(n) + " bytes exceeds the limit of " +
                     std::to_string(maxFrame)};
    if (buffer.size() - pos - 4 < n) break;
    auto message = decodeJson<Wire>(asChars(ByteView(buffer).subspan(pos + 4, n)));
    if (!message) return Failure{message.error()};
    messages.push_back(std::move(*message));
    pos += 4 + std::size_t{n};
  }
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(pos));
  return messages;
}

}  // namespace lumenbrook::WireCodec
