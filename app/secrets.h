#pragma once
// Where the host keeps its secrets (identity, paired phones): the desktop's keyring when it
// answers, else owner-only files in the state directory. The remembered listen port is not a
// secret and always stays in the state directory (app/listen_port.h).
//
// Moving to the keyring: an item ("identity", "trust") found only in the files is written to
// the keyring and read back; the files are deleted only once every such item came back byte
// for byte. If any did not, the copies just made are taken out of the keyring again and this
// run uses the files, so the two never hold halves of the host's state. An item in both
// places: the keyring's is used; the file is deleted only when it holds the same bytes,
// otherwise it is kept untouched (and said so), since nothing is deleted that is not stored
// elsewhere. Copies set aside as unusable stay where they are.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/security/secret_store.h"
#include "desktop/linux/keyring_secret_store.h"
#include "net/mac_vault.h"

namespace lumenbrook {

enum class SecretsChoice {
  automatic,  // the keyring when it answers, else the files
  keyring,    // the same, but a keyring that does not answer is worth a stronger word
  files,      // the files; the keyring is never asked
};

// "auto", "keyring" or "files".
[[nodiscard]] std::optional<SecretsChoice> parseSecretsChoice(std::string_view text);

struct SecretsTiming {
  KeyringTiming keyring;
};

struct OpenedSecrets {
  MacVault vault;
  std::string description;  // where they are, e.g. "the desktop keyring (Secret Service)"
  bool inKeyring = false;
};

using SecretsLog = std::function<void(const std::string&)>;

// The vault the host uses. Never fails: when the keyring is wanted but cannot be used, the
// files are, with one log line saying so and why. Moves items from the files to the keyring
// as the header says.
OpenedSecrets openSecrets(SecretsChoice choice, const std::filesystem::path& stateDir,
                          const SecretsLog& log, SecretsTiming timing = {});

// openSecrets' rules once the keyring has answered (or not): for tests, which bring fakes.
OpenedSecrets useSecrets(SecretsChoice choice, const std::filesystem::path& stateDir,
                         Result<std::shared_ptr<SecretStore>, KeyringProblem> keyring,
                         const SecretsLog& log);

// Deletes the identity, the paired phones and every copy set aside, from the keyring (when it
// answers) and from the files, and the remembered listen port. True when everything is gone;
// a keyring that is there but locked or silent cannot be said to be empty.
bool wipeSecrets(const std::filesystem::path& stateDir, const SecretsLog& log,
                 SecretsTiming timing = {});

}  // namespace lumenbrook
