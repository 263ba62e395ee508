#include "net/mac_vault.h"

#include <algorithm>
#include <vector>

#include "core/crypto/crypto.h"
#include "core/util/json.h"

namespace lumenbrook {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUnusableSuffix = ".unusable";

struct IdentityRecord {
  Uuid id;
  Bytes key;
};

std::optional<IdentityRecord> decodeIdentity(ByteView bytes) {
  auto j = parseJson(asChars(bytes));
  if (!j || !j->is_object()) return std::nullopt;
  try {
    return IdentityRecord{json::readUuid(json::member(*j, "id")),
                          json::readBytes(json::member(*j, "key"))};
  } catch (const JsonError&) {
    return std::nullopt;
  }
}

std::string encodeIdentity(const DeviceIdentity& identity) {
  Json j = Json::object();
  j["id"] = identity.id().text();
  j["key"] = json::writeBytes(identity.signingKey().raw().bytes());
  return dumpJson(j);  // ASCII only: cannot fail
}

std::string asideName(std::string_view account, int n) {
  std::string name = std::string(account) + std::string(kUnusableSuffix);
  if (n > 1) name += "-" + std::to_string(n);
  return name;
}

bool isAsideOf(const std::string& name, std::string_view account) {
  const std::string aside = asideName(account, 1);
  return name == aside || name.starts_with(aside + "-");
}

}  // namespace

// Moves an item that exists but cannot be used out of the way, to "<item>.unusable" or, when
// an earlier one is there already, "<item>.unusable-2" and on: each may be the only copy of a
// secret, so none is written over. True when nothing is left in the way.
bool MacVault::setAside(std::string_view account) const {
  if (!store_->exists(account)) return true;
  auto taken = store_->accounts();
  if (!taken) return false;
  // Past every name listed, one is free unless the store hides some (a locked keyring item
  // shows no account): then give up rather than probe on.
  const int limit = static_cast<int>(taken->size()) + 2;
  for (int n = 1; n <= limit; ++n) {
    const std::string aside = asideName(account, n);
    if (std::find(taken->begin(), taken->end(), aside) != taken->end()) continue;
    if (store_->exists(aside)) continue;
    return store_->move(account, aside);
  }
  return false;
}

fs::path MacVault::defaultDirectory() {
  return stateDirectory();
}

MacVault::MacVault(fs::path directory)
    : store_(std::make_shared<FileSecretStore>(directory)), dir_(std::move(directory)) {}

MacVault::MacVault(std::shared_ptr<SecretStore> store, fs::path directory)
    : store_(std::move(store)), dir_(std::move(directory)) {}

void MacVault::setBeforeReplaceHook(ReplaceHook hook) {
  if (auto* files = dynamic_cast<FileSecretStore*>(store_.get())) {
    files->setBeforeReplaceHook(std::move(hook));
  }
}

std::optional<Bytes> MacVault::load(std::string_view account) const {
  return store_->load(account);
}

bool MacVault::save(std::string_view account, ByteView bytes) const {
  return store_->save(account, bytes);
}

DeviceIdentity MacVault::loadIdentity(const std::string& name) const {
  auto stored = load(identityAccount);
  if (stored) {
    if (auto record = decodeIdentity(*stored)) {
      if (auto key = crypto::Ed25519PrivateKey::fromRaw(record->key)) {
        return DeviceIdentity(record->id, name, std::move(*key));
      }
    }
  }
  DeviceIdentity fresh(Uuid::fromRandom(crypto::randomArray<16>()), name,
                       crypto::Ed25519PrivateKey::generate());
  // A present but unusable item may still be the only copy of a key some phone trusts.
  if (setAside(identityAccount)) {
    (void)save(identityAccount, asBytes(encodeIdentity(fresh)));
  }
  return fresh;
}

TrustStore MacVault::loadTrust(bool* setAsideUnusable) const {
  if (setAsideUnusable) *setAsideUnusable = false;
  const bool present = store_->exists(trustAccount);
  if (auto stored = load(trustAccount)) {
    auto decoded = decodeJson<TrustStore>(asChars(*stored));
    if (decoded.ok()) return std::move(decoded).value();
  } else if (!present) {
    return TrustStore{};  // first launch
  }
  // An empty store would let every phone's pairing be written over by the next change, and
  // the service would be open to pairing as if nothing had been paired: keep the item and
  // start switched off, so the user decides.
  (void)setAside(trustAccount);
  if (setAsideUnusable) *setAsideUnusable = true;
  TrustStore off;
  off.setKillSwitch(true);
  return off;
}

bool MacVault::saveTrust(const TrustStore& trust) const {
  auto encoded = encodeJson(trust);
  if (!encoded.ok()) return false;
  return save(trustAccount, asBytes(encoded.value()));
}

bool MacVault::wipe() const {
  auto names = store_->accounts();
  bool ok = names.has_value();
  for (std::string_view account : {identityAccount, trustAccount}) {
    if (!store_->remove(account)) ok = false;
    if (!names) continue;
    for (const std::string& name : *names) {
      if (isAsideOf(name, account) && !store_->remove(name)) ok = false;
    }
  }
  return ok;
}

}  // namespace lumenbrook
