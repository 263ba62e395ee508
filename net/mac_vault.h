#pragma once
// The host's persistent secrets: its own DeviceIdentity and the TrustStore of paired phones,
// one file per item ("identity", "trust") in a private state directory.
//
// Formats:
//   identity  {"id":"<UUID, upper case>","key":"<base64 of the 32-byte Ed25519 seed>"}
//   trust     the TrustStore's JSON
//
// Durability: the directory is 0700 and every file 0600; each save writes a temporary file,
// syncs it, renames it over the item and syncs the directory, so a crash at any point leaves
// either the old or the new bytes, never a mixture.
//
// Threading: holds no mutable state; any thread. Only one process and one thread at a time
// write an item (the host service's loop writes "trust"; start-up writes "identity").

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/security/device_identity.h"
#include "core/security/trust_store.h"
#include "core/util/bytes.h"
#include "net/private_file.h"

namespace lumenbrook {

class MacVault {
 public:
  static constexpr std::string_view identityAccount = "identity";
  static constexpr std::string_view trustAccount = "trust";

  // $XDG_STATE_HOME/lumenbrook when that is an absolute path, else
  // ~/.local/state/lumenbrook.
  static std::filesystem::path defaultDirectory();

  explicit MacVault(std::filesystem::path directory = defaultDirectory());

  const std::filesystem::path& directory() const { return dir_; }

  // The item's bytes; absent when it does not exist, cannot be read, or the account is not a
  // plain name (letters, digits, "-", "_").
  std::optional<Bytes> load(std::string_view account) const;
  // Replaces the item atomically, creating the directory when needed. False when nothing was
  // replaced; the old bytes then stay.
  bool save(std::string_view account, ByteView bytes) const;

  // The stored identity with `name`, or a new one (fresh id and key) that is stored first.
  // Always returns an identity; an item that exists but cannot be used is kept beside the new
  // one as "identity.unusable" (or "identity.unusable-N" when an earlier one is there) rather
  // than destroyed.
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

  // Tests simulate a crash: called with the temporary file once it is complete and synced,
  // before it replaces the item. Returning false abandons the save right there, leaving the
  // temporary file behind as a crash would (the next save removes it).
  using ReplaceHook = lumenbrook::ReplaceHook;
  void setBeforeReplaceHook(ReplaceHook hook) { beforeReplace_ = std::move(hook); }

 private:
  void setAside(std::string_view account) const;

  std::filesystem::path dir_;
  ReplaceHook beforeReplace_;
};

}  // namespace lumenbrook
