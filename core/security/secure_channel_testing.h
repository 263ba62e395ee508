#pragma once
// For tests only: puts a sealer at a chosen counter, so the end of the counter space can be
// reached without 2^64 seals. Never used by the protocol: setting a counter back would
// repeat nonces.

#include <cstdint>

#include "core/security/secure_channel.h"

namespace lumenbrook {

struct SecureChannelTesting {
  static void setCounter(Sealer& sealer, std::uint64_t counter) { sealer.counter_ = counter; }
};

}  // namespace lumenbrook
