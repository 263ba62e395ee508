#pragma once
// Secrets as owner-only files: one file per account in a private directory.
//
// Durability: the directory is 0700 and every file 0600; each save writes a temporary file,
// syncs it, renames it over the item and syncs the directory, so a crash at any point leaves
// either the old or the new bytes, never a mixture.
//
// Accounts must be plain names (letters, digits, "-", "_" and ".", not starting with "."), so
// that none can leave the directory or be taken for a save's temporary (".<name>.XXXXXX").
//
// Threading: holds no mutable state besides the test hook; any thread.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/security/secret_store.h"
#include "net/private_file.h"

namespace lumenbrook {

class FileSecretStore final : public SecretStore {
 public:
  explicit FileSecretStore(std::filesystem::path directory);

  const std::filesystem::path& directory() const { return dir_; }

  std::optional<Bytes> load(std::string_view account) override;
  bool exists(std::string_view account) override;
  // Creates the directory when needed.
  bool save(std::string_view account, ByteView bytes) override;
  // Also removes what interrupted saves of the item left behind: they hold the same secret.
  bool remove(std::string_view account) override;
  std::optional<std::vector<std::string>> accounts() override;
  // A rename, which also moves an item that cannot be read.
  bool move(std::string_view from, std::string_view to) override;
  std::string description() const override;

  // Tests simulate a crash: called with the temporary file once it is complete and synced,
  // before it replaces the item. Returning false abandons the save right there, leaving the
  // temporary file behind as a crash would (the next save removes it).
  void setBeforeReplaceHook(ReplaceHook hook) { beforeReplace_ = std::move(hook); }

  static bool plainName(std::string_view account);

 private:
  std::filesystem::path dir_;
  ReplaceHook beforeReplace_;
};

}  // namespace lumenbrook
