#include "core/messages/control_codec.h"

#include <limits>

namespace lumenbrook::ControlCodec {

Result<Bytes, std::string> encode(const Envelope& envelope) {
  auto body = encodeJson(envelope);
  if (!body) return Failure{body.error()};
  if (body->size() > std::numeric_limits<std::uint32_t>::max())
    return Failure{std::string("envelope too long to encode")};
  Bytes out;
  out.reserve(4 + body->size());
  appendU32BE(out, static_cast<std::uint32_t>(body->size()));
  append(out, asBytes(*body));
  return out;
}

Result<std::vector<Envelope>, std::string> decode(Bytes& buffer) {
  std::vector<Envelope> envelopes;
  std::size_t pos = 0;
  // Consumed records leave the buffer on every exit, failure included; erasing once at the
  // end keeps a buffer of many small records linear.
  auto consume = [&] {
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(pos));
  };
  while (buffer.size() - pos >= 4) {
    std::uint32_t n = loadU32BE(buffer.data() + pos);
    if (n > maxMessage) {
      consume();
      return Failure{"record of " + std::to_string(n) + " bytes exceeds the limit of " +
                     std::to_string(maxMessage)};
    }
    if (buffer.size() - pos - 4 < n) break;
    auto envelope = decodeJson<Envelope>(asChars(ByteView(buffer).subspan(pos + 4, n)));
    if (!envelope) {
      consume();
      return Failure{envelope.error()};
    }
    envelopes.push_back(std::move(*envelope));
    pos += 4 + std::size_t{n};
  }
  consume();
  return envelopes;
}

}  // namespace lumenbrook::ControlCodec
