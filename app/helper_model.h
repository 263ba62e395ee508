#pragma once
// The application around the host service, shared by every front end (the headless host, the
// tray app): it loads the identity and trust store, builds and starts the service, mirrors
// what the service reports as observable fields, replays the phone's input on the desktop,
// keeps the status snapshot fresh for phones, and carries out the user's actions.
//
// Threads:
// - The user-interface thread ("UI"): make(), every accessor and action, and every change of
//   an observed field. Work reaches it only through Setup::post, so each front end decides
//   what that thread is (the headless host's main loop, the tray app's event loop, a queue a
//   test drains). Changes arrive in the order the service issued them.
// - The service's "host-server" loop: saving the trust store, remembering the port,
//   handleInput() and the frame-source factory. The input mapper lives there.
// - A status thread refreshing the snapshot that the service hands to phones.
//
// Lifetime: held by std::shared_ptr. The service stops when the model is released (or by
// removeEverything()); work posted to the UI thread after that does nothing.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/desktop_input.h"
#include "app/menu_model.h"
#include "app/terminal_qr.h"
#include "core/input/input_mapper.h"
#include "core/messages/mac_status.h"
#include "core/security/trust_store.h"
#include "core/util/result.h"
#include "desktop/display_backend.h"
#include "net/host_server.h"
#include "net/mac_vault.h"

namespace lumenbrook {

class StatusRefresher;

// Whether the application starts when the user logs in.
class LoginItem {
 public:
  virtual ~LoginItem() = default;
  // Read back from the system each time, so that a change made elsewhere shows.
  [[nodiscard]] virtual bool enabled() const = 0;
  // The error is a sentence for the user.
  [[nodiscard]] virtual Result<Unit, std::string> setEnabled(bool on) = 0;
};

// Every phone of `trust`, revoked ones too, oldest pairing first.
[[nodiscard]] std::vector<PairedDevice> devicesByPairingTime(const TrustStore& trust);

// The XDG autostart entry in `directory` that starts `executable`.
[[nodiscard]] std::shared_ptr<LoginItem> autostartLoginItem(std::filesystem::path directory,
                                                            std::filesystem::path executable);

class HelperModel final : public MenuModel, public std::enable_shared_from_this<HelperModel> {
 public:
  static constexpr double pairingWindowSeconds = 120;

  // The observed fields; onChange names the one that changed.
  enum class Field {
    pendingCode,
    devices,
    killSwitch,
    connectedPhone,
    screenRecordingAllowed,
    accessibilityAllowed,
    startsAtLogin,
    lastLog,
    pairingLocked,
    statusTimer,
    mapper,
    pairQR,
    listeningPort,
  };

  using PendingCode = MenuModel::PendingCode;

  using Post = std::function<void(std::function<void()>)>;
  using Log = std::function<void(const std::string&)>;

  // Everything the model is built from; the defaults are production's.
  struct Setup {
    std::string name;            // the computer's display name, as phones see it
    std::string advertisedHost;  // the host name phones dial
    MacVault vault;              // where the identity and the trust store live
    // The port remembered from the last run (0: none) and how to remember a new one. Called
    // on the UI thread and on the service loop respectively.
    std::function<std::uint16_t()> loadPort = [] { return std::uint16_t{0}; };
    std::function<bool(std::uint16_t)> savePort = [](std::uint16_t) { return true; };
    // Overrides the remembered port.
    std::optional<std::uint16_t> port;
    // Null: no desktop; streams show the pattern and input is dropped.
    std::shared_ptr<DisplayBackend> desktop;
    PatternFactory pattern;
    // The service's surroundings; the model installs makeSource itself.
    HostServer::Timing timing;
    HostServer::Environment environment;
    double statusInterval = 15.0;
    // Reads this machine's status; runs on the status thread every statusRefresh.
    std::function<MacStatus()> readStatus;
    std::chrono::steady_clock::duration statusRefresh = std::chrono::seconds(15);
    // Null: start at login is not available.
    std::shared_ptr<LoginItem> loginItem;
    // Deletes every stored secret and remembered setting; the vault's wipe() when unset.
    std::function<bool()> wipeSecrets;
    // Runs `work` on the UI thread, later and in call order. REQUIRED.
    Post post;
    // Every diagnostic line, as it happens, from any thread (the headless host's console).
    Log log;
    // A field changed; on the UI thread.
    std::function<void(Field)> onChange;
    // removeEverything() is done; on the UI thread. The front end then ends the process.
    std::function<void()> quit;
  };

  // The start-up sequence: never fails. Keychain and listener problems are logged and the
  // model carries on (a new identity, an empty trust store, any free port).
  [[nodiscard]] static std::shared_ptr<HelperModel> make(Setup setup);
  ~HelperModel() override;
  HelperModel(const HelperModel&) = delete;
  HelperModel& operator=(const HelperModel&) = delete;

  // Observed fields: UI thread only.
  const std::optional<PendingCode>& pendingCode() const override { return pendingCode_; }
  // Every phone of the trust store, revoked ones too, oldest pairing first.
  const std::vector<PairedDevice>& devices() const override { return devices_; }
  bool killSwitch() const override { return killSwitch_; }
  // The phone that last logged in; absent once any connection ends.
  const std::optional<std::string>& connectedPhone() const override { return connectedPhone_; }
  bool screenRecordingAllowed() const override { return screenRecordingAllowed_; }
  bool accessibilityAllowed() const override { return accessibilityAllowed_; }
  bool startsAtLogin() const override { return startsAtLogin_; }
  const std::string& lastLog() const { return lastLog_; }
  bool pairingLocked() const override { return pairingLocked_; }
  bool statusTimerRunning() const { return statusTimerRunning_; }
  // The pairing-code text of the open pairing window.
  const std::optional<std::string>& pairQR() const { return pairQR_; }
  // The QR code of pairQR (error correction M); absent without one.
  std::optional<QrMatrix> qrImage() const override;
  // The port the service listens on, once it does.
  const std::optional<std::uint16_t>& listeningPort() const { return listeningPort_; }
  // A copy of the input state, which lives on the service loop; any thread.
  InputMapper mapper() const;

  HostServer& server() { return *server_; }

  // User actions: UI thread only.
  void refreshPermissions() override;
  // Nothing can be requested on these desktops: both re-read the permission and, where it is
  // still missing, say in lastLog what the user can do.
  void requestScreenRecording() override;
  void requestAccessibility() override;
  void setStartsAtLogin(bool on) override;
  void openPairWindow() override;
  void closePairWindow() override;
  void confirm(bool ok) override;
  void setKillSwitch(bool on) override { server_->setKillSwitch(on); }
  void revoke(const Uuid& id) override { server_->revoke(id); }
  void forget(const Uuid& id) override { server_->forget(id); }
  // Removes the login item, stops storing trust changes, revokes every phone, stops the
  // service, deletes every stored secret, then calls Setup::quit.
  void removeEverything() override;

  // The service's onInput, on its loop: dropped while the desktop takes no input, else
  // mapped and posted.
  void handleInput(const InputEvent& event);

 private:
  explicit HelperModel(Setup setup);
  void start();
  void installCallbacks();
  // Runs `work` on the UI thread while the model is alive.
  void onUi(std::function<void(HelperModel&)> work);
  void changed(Field field);
  template <class T>
  void set(T& field, T value, Field which) {
    if (field == value) return;
    field = std::move(value);
    changed(which);
  }
  void setDevices(const TrustStore& trust);
  void log(const std::string& line);
  bool inputPossible() const;

  Setup setup_;
  std::optional<PendingCode> pendingCode_;
  std::vector<PairedDevice> devices_;
  bool killSwitch_ = false;
  std::optional<std::string> connectedPhone_;
  bool screenRecordingAllowed_ = false;
  bool accessibilityAllowed_ = false;
  bool startsAtLogin_ = false;
  std::string lastLog_;
  bool pairingLocked_ = false;
  bool statusTimerRunning_ = false;
  std::optional<std::string> pairQR_;
  std::optional<std::uint16_t> listeningPort_;

  // Read on the service loop: cleared by removeEverything() so that its revocations are not
  // stored.
  std::atomic<bool> storeTrust_{true};
  mutable std::mutex inputMutex_;  // guards input_ for mapper() from other threads
  std::unique_ptr<DesktopInput> input_;
  std::unique_ptr<StatusRefresher> status_;
  std::shared_ptr<HostServer> server_;  // last: stopped first, before what its callbacks use
};

}  // namespace lumenbrook
