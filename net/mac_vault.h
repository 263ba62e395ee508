#pragma once
// The host's persistent secrets: its own DeviceIdentity and the TrustStore of paired phones,
// the items "identity" and "trust" of a SecretStore (owner-only files in the state directory
// unless another store is given; see app/secrets.h).
//
// Formats:
//   identity  {"id":"<UUID, upper case>","key":"<base64 of the 32-byte Ed25519 seed>"}
//   trust     the TrustStore's JSON
//
// Threading: holds no mutable state of its own; any thread. Only one process and one thread
// at a time write an item (the host service's loop writes "trust"; start-up writes
// "identity").

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/security/device_identity.h"
#include "core/security/secret_store.h"
#include "core/security/trust_store.h"
#include "core/util/bytes.h"
#include "net/file_secret_store.h"
#include "net/private_file.h"

namespace lumenbrook {

class MacVault {
 public:
  static constexpr std::string_view identityAccount = "identity";
  static constexpr std::string_view trustAccount = "trust";

  // $XDG_STATE_HOME/lumenbrook when that is an absolute path, else
  // ~/.local/state/lumenbrook.
  static std::filesystem::path defaultDirectory();

  // Owner-only files in `directory` (see net/file_secret_store.h).
  explicit MacVault(std::filesystem::path directory = defaultDirectory());
  // Secrets in `store`; `directory` stays the state directory for what is not secret.
  // REQUIRES: store != nullptr
  MacVault(std::shared_ptr<SecretStore> store, std::filesystem::path directory);

  const std::filesystem::path& directory() const { return dir_; }
  SecretStore& store() const { return *store_; }

  // The item's bytes; absent when it does not exist, cannot be read, or the store refuses the
  // account (files take plain names only: letters, digits, "-", "_", ".", no leading ".").
  std::optional<Bytes> load(std::string_view account) const;
  // Replaces the item (atomically for files, creating the directory when needed). False when
  // nothing was replaced; the old bytes then stay.
  bool save(std::string_view account, ByteView bytes) const;

  // The stored identity with `name`, or a new one (fresh id and key) that is stored first.
  // Always returns an identity; an item that exists but cannot be used is kept beside the new
  // one as "identity.unusable" (or "identity.unusable-N" when an earlier one is there) rather
  // than destroyed. When it cannot be set aside, the new identity is returned without being
  // stored, so the old bytes are never written over.
  DeviceIdentity loadIdentity(const std::string& name) const;
  // The stored trust store, or an empty one when there is none. An item that exists but
  // cannot be read or decoded is set aside as "trust.unusable" (never written over; see
  // loadIdentity) and the store returned is empty with the kill switch on, so that the service
  // starts switched off instead of open with no phones; `setAsideUnusable` then says so.
  TrustStore loadTrust(bool* setAsideUnusable = nullptr) const;
  // Stores `trust`. False when it could not be stored; a store that cannot be encoded leaves
  // the previous item in place.
  bool saveTrust(const TrustStore& trust) const;
  // Deletes both items and every copy set aside. False when one could not be deleted.
  bool wipe() const;

  // Tests simulate a crash in a file store (see FileSecretStore); other stores ignore it.
  using ReplaceHook = lumenbrook::ReplaceHook;
  void setBeforeReplaceHook(ReplaceHook hook);

 private:
  bool setAside(std::string_view account) const;

  std::shared_ptr<SecretStore> store_;
  std::filesystem::path dir_;
};

}  // namespace lumenbrook
