#pragma once
// What the reference phone keeps between runs: its own DeviceIdentity and, per paired
// computer, what a login needs (the pairing key, the computer's identity key, fingerprint and
// name, and where it was reached).
//
// Format (JSON, binary fields in padded base64):
//   {"identity":{"id":"<UUID>","name":"...","key":"<32-byte Ed25519 seed>"},
//    "hosts":[{"name":"...","fingerprint":"<32 hex>","identityKey":"...","psk":"...",
//              "host":"127.0.0.1","port":51000}]}
//
// Durability: the file is 0600; a save writes a temporary file in the same directory, syncs
// it, renames it over the file and syncs the directory, so a crash leaves the old or the new
// state, never a mixture. A file that exists but cannot be read or understood is an error and
// is never written over: it may hold the only copy of the user's pairings.
//
// Threading: plain values and blocking file calls; one process at a time writes a file.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/security/device_identity.h"
#include "core/util/bytes.h"
#include "core/util/result.h"
#include "net/private_file.h"
#include "net/transport.h"

namespace lumenbrook {

struct PairedHost {
  std::string name;         // the computer's name as it gave it when pairing
  std::string fingerprint;  // from the pairing code: 32 hexadecimal characters
  Bytes identityKey;        // the computer's Ed25519 public key
  Bytes psk;                // the 32-byte pairing key
  Endpoint address;         // where it was reached

  friend bool operator==(const PairedHost&, const PairedHost&) = default;
};

class PhoneState {
 public:
  static constexpr const char* kDefaultName = "Reference phone";

  // $XDG_STATE_HOME/lumenbrook/phone.json when that is an absolute path, else
  // ~/.local/state/lumenbrook/phone.json.
  static std::filesystem::path defaultPath();

  // A new identity (fresh id and key) and no paired computers.
  static PhoneState fresh(std::string name = kDefaultName);

  // The state stored at `path`; a fresh one when there is no file. The error names the file
  // and says why it cannot be used.
  [[nodiscard]] static Result<PhoneState, std::string> load(const std::filesystem::path& path);

  // Tests simulate a crash: called with the complete, synced temporary file before it
  // replaces the state. Returning false abandons the save there, leaving the temporary file
  // behind as a crash would (the next save removes it).
  using ReplaceHook = lumenbrook::ReplaceHook;
  // Replaces the file atomically, creating its directory (0700) when needed. On an error the
  // previous file is untouched.
  [[nodiscard]] Result<Unit, std::string> save(const std::filesystem::path& path,
                                               const ReplaceHook& beforeReplace = {}) const;

  // Whether a save to `path` can create its file (creating the directory when needed), tried
  // with a temporary file that is removed again: checked before pairing, so that a computer
  // never keeps a pairing the phone cannot.
  [[nodiscard]] static Result<Unit, std::string> checkWritable(const std::filesystem::path& path);

  const DeviceIdentity& identity() const { return identity_; }
  const std::vector<PairedHost>& hosts() const { return hosts_; }

  // The same id and key under another display name.
  void rename(std::string name);
  // Adds a pairing; one with the same fingerprint (the same computer paired again) is
  // replaced in place.
  void remember(PairedHost host);

  // The paired computer to log in to: the only one, or with `host` the one whose address or
  // name is `host`. The error is a sentence for the user.
  [[nodiscard]] Result<PairedHost, std::string> choose(const std::optional<std::string>& host) const;

  friend bool operator==(const PhoneState&, const PhoneState&) = default;

 private:
  PhoneState(DeviceIdentity identity, std::vector<PairedHost> hosts)
      : identity_(std::move(identity)), hosts_(std::move(hosts)) {}

  DeviceIdentity identity_;
  std::vector<PairedHost> hosts_;
};

}  // namespace lumenbrook
