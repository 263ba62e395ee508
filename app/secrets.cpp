#include "app/secrets.h"

#include <memory>
#include <vector>

#include "app/listen_port.h"
#include "net/file_secret_store.h"

namespace lumenbrook {

namespace {

constexpr std::string_view kItems[] = {MacVault::identityAccount, MacVault::trustAccount};

OpenedSecrets inFiles(const std::filesystem::path& stateDir) {
  auto files = std::make_shared<FileSecretStore>(stateDir);
  std::string description = files->description();
  return {MacVault(std::move(files), stateDir), std::move(description), false};
}

std::string joined(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? " and " : ", ";
    out += names[i];
  }
  return out;
}

// Copies what only the files hold into the keyring and checks it there; deletes files only
// when every copy holds. False when something could not be moved: then the files are as they
// were and the keyring as it was.
bool moveToKeyring(SecretStore& files, SecretStore& keyring, const SecretsLog& log) {
  std::vector<std::string_view> copied, leftovers, kept;
  bool ok = true;
  for (std::string_view item : kItems) {
    if (!files.exists(item)) continue;
    auto bytes = files.load(item);
    if (keyring.exists(item)) {
      if (bytes && keyring.load(item) == bytes) leftovers.push_back(item);
      else kept.push_back(item);
      continue;
    }
    if (!bytes) {
      ok = false;
      break;
    }
    copied.push_back(item);  // not in the keyring before: taking it out again is safe
    if (!keyring.save(item, *bytes) || keyring.load(item) != bytes) {
      ok = false;
      break;
    }
  }
  if (!ok) {
    for (std::string_view item : copied) (void)keyring.remove(item);
    return false;
  }
  std::vector<std::string_view> moved;
  for (std::string_view item : copied) {
    if (files.remove(item)) moved.push_back(item);
  }
  for (std::string_view item : leftovers) (void)files.remove(item);
  if (!moved.empty()) {
    log("moved " + joined(moved) + " from " + files.description() + " to " +
        keyring.description());
  }
  if (!kept.empty()) {
    log(joined(kept) + " in " + files.description() + " differ from the keyring's, which are used; "
        "the files are kept");
  }
  return true;
}

}  // namespace

std::optional<SecretsChoice> parseSecretsChoice(std::string_view text) {
  if (text == "auto") return SecretsChoice::automatic;
  if (text == "keyring") return SecretsChoice::keyring;
  if (text == "files") return SecretsChoice::files;
  return std::nullopt;
}

OpenedSecrets useSecrets(SecretsChoice choice, const std::filesystem::path& stateDir,
                         Result<std::shared_ptr<SecretStore>, KeyringProblem> keyring,
                         const SecretsLog& log) {
  OpenedSecrets files = inFiles(stateDir);
  if (choice == SecretsChoice::files) return files;
  auto fallBack = [&](std::string_view why) {
    log("secrets are in " + files.description +
        (choice == SecretsChoice::keyring ? ", not the keyring asked for: " : ": ") +
        std::string(why));
    return std::move(files);
  };
  if (!keyring.ok()) return fallBack(describe(keyring.error()));
  std::shared_ptr<SecretStore> store = std::move(keyring).value();
  if (!moveToKeyring(files.vault.store(), *store, log)) {
    return fallBack("they could not be moved to the keyring");
  }
  std::string description = store->description();
  return {MacVault(std::move(store), stateDir), std::move(description), true};
}

OpenedSecrets openSecrets(SecretsChoice choice, const std::filesystem::path& stateDir,
                          const SecretsLog& log, SecretsTiming timing) {
  if (choice == SecretsChoice::files) return inFiles(stateDir);
  auto opened = KeyringSecretStore::open(timing.keyring);
  if (!opened.ok()) return useSecrets(choice, stateDir, Failure{opened.error()}, log);
  return useSecrets(choice, stateDir, std::shared_ptr<SecretStore>(std::move(opened.value())),
                    log);
}

bool wipeSecrets(const std::filesystem::path& stateDir, const SecretsLog& log,
                 SecretsTiming timing) {
  FileSecretStore files(stateDir);
  bool ok = MacVault(stateDir).wipe();
  ok = files.remove(kListenPortAccount) && ok;
  auto keyring = KeyringSecretStore::open(timing.keyring);
  if (keyring.ok()) {
    ok = MacVault(std::shared_ptr<SecretStore>(std::move(keyring.value())), stateDir).wipe() && ok;
  } else if (keyring.error() != KeyringProblem::absent) {
    log("secrets in the keyring were not deleted: " + std::string(describe(keyring.error())));
    ok = false;
  }
  return ok;
}

}  // namespace lumenbrook
