#include "core/video/video_hello.h"

namespace lumenbrook {

Bytes VideoHello::encoded() const {
  Bytes out = challenge;
  appendU16BE(out, port);
  return out;
}

std::optional<VideoHello> VideoHello::parse(ByteView plaintext) {
  if (plaintext.size() != size) return std::nullopt;
  return VideoHello{Bytes(plaintext.begin(), plaintext.begin() + challengeSize),
                    loadU16BE(plaintext.data() + challengeSize)};
}

}  // namespace lumenbrook
