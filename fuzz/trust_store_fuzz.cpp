// decodeJson<TrustStore> on arbitrary stored text (a damaged or hostile keychain item).
//
// Checks: a store that reads keeps its invariants (every device under its own id, 32-byte
// keys, no identity key twice), writes again and reads back equal, and answers logins and
// pairing requests for its own devices as its contract says.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string_view>

#include "core/security/trust_store.h"
#include "fuzz/fuzz_support.h"

using namespace lumenbrook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto store = decodeJson<TrustStore>(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!store) return 0;

  std::set<Bytes> identityKeys;
  for (const auto& [id, device] : store->devices()) {
    LB_FUZZ_CHECK(id == device.id);
    LB_FUZZ_CHECK(device.identityKey.size() == 32 && device.psk.size() == 32);
    LB_FUZZ_CHECK(identityKeys.insert(device.identityKey).second);

    const bool trusted = !store->killSwitch() && !device.revokedAt;
    LB_FUZZ_CHECK(store->decide(device.id, device.identityKey).allowed() == trusted);
    LB_FUZZ_CHECK(store->psk(device.id, device.identityKey) ==
                  (trusted ? std::optional<Bytes>(device.psk) : std::nullopt));
    LB_FUZZ_CHECK(!store->canPair(device.id, device.identityKey).allowed());
  }

  auto text = encodeJson(*store);
  LB_FUZZ_CHECK(text.ok());
  auto back = decodeJson<TrustStore>(*text);
  LB_FUZZ_CHECK(back.ok() && *back == *store);
  return 0;
}
