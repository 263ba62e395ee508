#pragma once
// Where the host keeps its secrets: small named items ("accounts") of bytes, replaced whole.
// Implementations: owner-only files (net/file_secret_store.h), the desktop's keyring
// (desktop/linux/keyring_secret_store.h), and in-memory fakes in tests.
//
// Accounts are short names such as "identity", "trust" or "trust.unusable-2"; the bytes are
// opaque to the store.
//
// Threading: an implementation may be called from any thread, one call at a time per account
// (the host service's loop writes "trust"; start-up writes "identity").

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/bytes.h"

namespace lumenbrook {

class SecretStore {
 public:
  virtual ~SecretStore() = default;

  // The item's bytes; absent when it does not exist or cannot be read now.
  [[nodiscard]] virtual std::optional<Bytes> load(std::string_view account) = 0;
  // Whether the item is there. True also when the store cannot tell, so that an item that
  // could not be read is never taken for one that was never written.
  [[nodiscard]] virtual bool exists(std::string_view account) = 0;
  // Replaces the item (or creates it). False when nothing was replaced; the old bytes stay.
  [[nodiscard]] virtual bool save(std::string_view account, ByteView bytes) = 0;
  // True when the item is gone afterwards, including when it never existed.
  [[nodiscard]] virtual bool remove(std::string_view account) = 0;
  // Every account stored here; absent when the store cannot list them now.
  [[nodiscard]] virtual std::optional<std::vector<std::string>> accounts() = 0;
  // Moves `from` to the free account `to`. The default copies and reads back before it
  // removes, so the bytes are never in neither place; stores that can rename do so.
  [[nodiscard]] virtual bool move(std::string_view from, std::string_view to) {
    auto bytes = load(from);
    if (!bytes || !save(to, *bytes) || load(to) != bytes) return false;
    return remove(from);
  }
  // A few words for log lines, e.g. "owner-only files in /home/u/.local/state/lumenbrook".
  virtual std::string description() const = 0;
};

}  // namespace lumenbrook
