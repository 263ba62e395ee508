#pragma once
// Secrets in the desktop's keyring, through the freedesktop Secret Service (libsecret).
//
// Items: schema "org.lumenbrook.Host", attributes application="lumenbrook" and
// account=<account>, in the default collection, labelled for people ("Lumenbrook identity",
// "Lumenbrook paired phones"). Values are stored as binary secrets (content type
// application/octet-stream), so any bytes, NUL and non-UTF-8 included, come back as they were.
//
// Deadlines: a keyring can be absent, locked behind a prompt nobody answers, or hung. Every
// call runs on the store's own main context and is cancelled when its deadline passes
// (cancelling also dismisses an unlock prompt); a call that still does not end within half a
// second after that is abandoned. So no call blocks much beyond `KeyringTiming::deadline`, and a failed call
// reads as "not stored" / "could not tell" rather than a crash.
//
// The session bus is the one $DBUS_SESSION_BUS_ADDRESS or $XDG_RUNTIME_DIR/bus names; with
// neither there is no keyring (no session bus is started to find one).
//
// Threading: any thread; calls from several threads run one at a time.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/security/secret_store.h"
#include "core/util/result.h"

namespace lumenbrook {

struct KeyringTiming {
  // Per call, and for the whole of open() including an unlock prompt. A person typing a
  // password needs longer than a keyring that unlocked at login; start-up must not hang.
  std::chrono::milliseconds deadline{5000};
};

enum class KeyringProblem {
  absent,    // no session bus, no Secret Service on it, or no default keyring
  locked,    // the default keyring is locked and was not unlocked within the deadline
  timedOut,  // the Secret Service did not answer within the deadline
};

// "no keyring", "keyring locked", "keyring did not answer in time"
std::string_view describe(KeyringProblem problem);

class KeyringSecretStore final : public SecretStore {
 public:
  // The keyring when its Secret Service answers and the default collection is unlocked (or
  // unlocks within the deadline); else why not.
  [[nodiscard]] static Result<std::unique_ptr<KeyringSecretStore>, KeyringProblem> open(
      KeyringTiming timing = {});

  ~KeyringSecretStore() override;
  KeyringSecretStore(const KeyringSecretStore&) = delete;
  KeyringSecretStore& operator=(const KeyringSecretStore&) = delete;

  std::optional<Bytes> load(std::string_view account) override;
  bool exists(std::string_view account) override;
  bool save(std::string_view account, ByteView bytes) override;
  bool remove(std::string_view account) override;
  // Accounts of the items it can see; a locked item shows none.
  std::optional<std::vector<std::string>> accounts() override;
  std::string description() const override;

  // The label an item of `account` carries.
  static std::string labelFor(std::string_view account);

 private:
  struct Handles;
  KeyringSecretStore(std::unique_ptr<Handles> handles, KeyringTiming timing);

  std::unique_ptr<Handles> handles_;
  KeyringTiming timing_;
};

}  // namespace lumenbrook
