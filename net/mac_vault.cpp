#include "net/mac_vault.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "core/crypto/crypto.h"
#include "core/util/json.h"
#include "net/private_file.h"

namespace lumenbrook {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUnusableSuffix = ".unusable";

bool plainName(std::string_view account) {
  if (account.empty()) return false;
  for (char c : account) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// Creates the missing parts of `dir` with mode 0700 and narrows `dir` itself to 0700: the
// state directory is the vault's own.
bool ensurePrivateDirectory(const fs::path& dir) {
  if (!makeDirectories(dir)) return false;
  struct stat st{};
  if (::stat(dir.c_str(), &st) != 0) return false;
  return (st.st_mode & 0777) == 0700 || ::chmod(dir.c_str(), 0700) == 0;
}

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

}  // namespace

// Moves an item that exists but cannot be used out of the way, to "<item>.unusable" or, when
// an earlier one is there already, "<item>.unusable-2" and on: each may be the only copy of a
// secret, so none is written over.
void MacVault::setAside(std::string_view account) const {
  const fs::path current = dir_ / account;
  std::error_code ec;
  if (dir_.empty() || !fs::exists(fs::symlink_status(current, ec))) return;
  for (int n = 1;; ++n) {
    fs::path aside = current;
    aside += kUnusableSuffix;
    if (n > 1) aside += "-" + std::to_string(n);
    if (fs::exists(fs::symlink_status(aside, ec))) continue;
    ::rename(current.c_str(), aside.c_str());
    syncDirectory(dir_);
    return;
  }
}

fs::path MacVault::defaultDirectory() {
  return stateDirectory();
}

MacVault::MacVault(fs::path directory) : dir_(std::move(directory)) {}

std::optional<Bytes> MacVault::load(std::string_view account) const {
  if (!plainName(account) || dir_.empty()) return std::nullopt;
  FileDescriptor fd(::open((dir_ / account).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  Bytes out;
  std::uint8_t buf[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return out;
    out.insert(out.end(), buf, buf + n);
  }
}

bool MacVault::save(std::string_view account, ByteView bytes) const {
  if (!plainName(account) || !ensurePrivateDirectory(dir_)) return false;
  return replaceFile(dir_ / account, bytes, beforeReplace_).ok();
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
  // A present but unusable item may still be the only copy of a key some phone trusts.
  setAside(identityAccount);
  DeviceIdentity fresh(Uuid::fromRandom(crypto::randomArray<16>()), name,
                       crypto::Ed25519PrivateKey::generate());
  save(identityAccount, asBytes(encodeIdentity(fresh)));
  return fresh;
}

TrustStore MacVault::loadTrust(bool* setAsideUnusable) const {
  if (setAsideUnusable) *setAsideUnusable = false;
  std::error_code ec;
  const bool present = !dir_.empty() && fs::exists(fs::symlink_status(dir_ / trustAccount, ec));
  if (auto stored = load(trustAccount)) {
    auto decoded = decodeJson<TrustStore>(asChars(*stored));
    if (decoded.ok()) return std::move(decoded).value();
  } else if (!present) {
    return TrustStore{};  // first launch
  }
  // An empty store would let every phone's pairing be written over by the next change, and
  // the service would be open to pairing as if nothing had been paired: keep the item and
  // start switched off, so the user decides.
  setAside(trustAccount);
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
  if (dir_.empty()) return false;
  bool ok = true;
  for (std::string_view account : {identityAccount, trustAccount}) {
    fs::path item = dir_ / account;
    if (::unlink(item.c_str()) != 0 && errno != ENOENT) ok = false;
    // Every copy set aside, "<item>.unusable" and "<item>.unusable-N".
    const std::string aside = std::string(account) + std::string(kUnusableSuffix);
    std::vector<fs::path> copies;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir_, ec)) {
      const std::string name = entry.path().filename().string();
      if (name == aside || name.starts_with(aside + "-")) copies.push_back(entry.path());
    }
    for (const fs::path& p : copies) {
      if (::unlink(p.c_str()) != 0 && errno != ENOENT) ok = false;
    }
    // Leftovers of interrupted saves hold the same secrets.
    removeInterruptedSaves(item);
  }
  syncDirectory(dir_);
  return ok;
}

}  // namespace lumenbrook
