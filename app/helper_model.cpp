#include "app/helper_model.h"

#include <algorithm>
#include <utility>

#include "app/status_refresher.h"
#include "desktop/linux/autostart.h"

namespace lumenbrook {
namespace {

class AutostartLoginItem final : public LoginItem {
 public:
  AutostartLoginItem(std::filesystem::path directory, std::filesystem::path executable)
      : autostart_(std::move(directory)), executable_(std::move(executable)) {}
  bool enabled() const override { return autostart_.enabled(); }
  Result<Unit, std::string> setEnabled(bool on) override {
    return on ? autostart_.enable(executable_) : autostart_.disable();
  }

 private:
  Autostart autostart_;
  std::filesystem::path executable_;
};

}  // namespace

std::vector<PairedDevice> devicesByPairingTime(const TrustStore& trust) {
  std::vector<PairedDevice> devices;
  for (const auto& [id, device] : trust.devices()) devices.push_back(device);
  std::stable_sort(devices.begin(), devices.end(), [](const PairedDevice& a, const PairedDevice& b) {
    return a.pairedAt.sinceReference < b.pairedAt.sinceReference;
  });
  return devices;
}

std::shared_ptr<LoginItem> autostartLoginItem(std::filesystem::path directory,
                                              std::filesystem::path executable) {
  return std::make_shared<AutostartLoginItem>(std::move(directory), std::move(executable));
}

std::shared_ptr<HelperModel> HelperModel::make(Setup setup) {
  std::shared_ptr<HelperModel> model(new HelperModel(std::move(setup)));
  model->start();
  return model;
}

HelperModel::HelperModel(Setup setup) : setup_(std::move(setup)) {}

HelperModel::~HelperModel() {
  // The service first: once it is gone no callback can reach what follows.
  server_.reset();
  status_.reset();
}

void HelperModel::start() {
  DisplayBackend* desktop = setup_.desktop.get();
  screenRecordingAllowed_ = desktop && desktop->captureAllowed();
  accessibilityAllowed_ = desktop && desktop->inputAllowed();
  startsAtLogin_ = setup_.loginItem && setup_.loginItem->enabled();
  input_ = std::make_unique<DesktopInput>(desktop);

  DeviceIdentity identity = setup_.vault.loadIdentity(setup_.name);
  bool trustSetAside = false;
  TrustStore trust = setup_.vault.loadTrust(&trustSetAside);
  if (trustSetAside) {
    log("the stored trust store could not be read; it is kept aside as \"trust.unusable\" and "
        "the service starts switched off");
  }

  HostServer::Environment environment = setup_.environment;
  // Chosen afresh per stream, so that a desktop that becomes capturable takes effect at the
  // next stream.
  environment.makeSource = [desktop, pattern = setup_.pattern](int width, int height) {
    return makeStreamSource(desktop, width, height, pattern);
  };
  server_ = HostServer::make(identity, trust,
                             HostServer::Config(identity.name(), setup_.advertisedHost),
                             setup_.timing, std::move(environment));
  devices_ = devicesByPairingTime(trust);
  killSwitch_ = trust.killSwitch();
  if (setup_.readStatus) {
    status_ = std::make_unique<StatusRefresher>(setup_.readStatus, setup_.statusRefresh);
    statusTimerRunning_ = true;
  }
  installCallbacks();

  std::uint16_t port = setup_.port ? *setup_.port : setup_.loadPort();
  server_->start(port);
  if (trust.killSwitch()) server_->setKillSwitch(true);
}

void HelperModel::installCallbacks() {
  std::weak_ptr<HelperModel> weak = weak_from_this();
  HostServer& s = *server_;
  // The service stops before the model's members go (see the destructor), so the callbacks
  // below may use `this` on the loop; what they hand to the UI thread goes through onUi.
  s.onLog = [this](const std::string& line) { log(line); };
  s.onListening = [this](const QRPayload& base) {
    if (!setup_.savePort(base.port)) log("couldn't remember the port " + std::to_string(base.port));
    log("listening on port " + std::to_string(base.port) + " as " + base.hostName);
    onUi([port = base.port](HelperModel& m) { m.set(m.listeningPort_, {port}, Field::listeningPort); });
  };
  // Saved at once on the loop, so that what is stored never lags behind a later change.
  s.onTrustChanged = [this](const TrustStore& trust) {
    if (storeTrust_.load() && !setup_.vault.saveTrust(trust)) log("couldn't save the trust store");
    onUi([trust](HelperModel& m) { m.setDevices(trust); });
  };
  s.onPairingCode = [this](const std::string& code, const std::string& phone) {
    onUi([pending = PendingCode{code, phone}](HelperModel& m) {
      m.set(m.pendingCode_, {pending}, Field::pendingCode);
    });
  };
  s.onPaired = [this](const PairedDevice& device) { log("paired with " + device.name); };
  s.onConnected = [this](const Uuid& id) {
    onUi([id](HelperModel& m) {
      std::string name = "Phone";
      for (const auto& device : m.devices_) {
        if (device.id == id) name = device.name;
      }
      m.log("logged in: " + name + " (" + id.text() + ")");
      m.set(m.connectedPhone_, {name}, Field::connectedPhone);
    });
  };
  s.onDisconnected = [this](const std::optional<Uuid>& id) {
    // Only a phone that logged in can have pressed anything.
    if (id) {
      std::lock_guard lock(inputMutex_);
      input_->phoneLeft();
    }
    onUi([](HelperModel& m) { m.set(m.connectedPhone_, {}, Field::connectedPhone); });
  };
  s.onInput = [weak](const InputEvent& event) {
    if (auto model = weak.lock()) model->handleInput(event);
  };
  s.onPairingLocked = [this] {
    onUi([](HelperModel& m) {
      m.set(m.pairingLocked_, true, Field::pairingLocked);
      m.set(m.pairQR_, {}, Field::pairQR);
    });
  };
  if (status_) s.statusProvider = [status = status_.get()] { return status->value(); };
  s.statusInterval = setup_.statusInterval;
}

void HelperModel::onUi(std::function<void(HelperModel&)> work) {
  setup_.post([weak = weak_from_this(), work = std::move(work)] {
    if (auto model = weak.lock()) work(*model);
  });
}

void HelperModel::changed(Field field) {
  if (setup_.onChange) setup_.onChange(field);
}

void HelperModel::setDevices(const TrustStore& trust) {
  set(devices_, devicesByPairingTime(trust), Field::devices);
  set(killSwitch_, trust.killSwitch(), Field::killSwitch);
}

void HelperModel::log(const std::string& line) {
  if (setup_.log) setup_.log(line);
  onUi([line](HelperModel& m) { m.set(m.lastLog_, line, Field::lastLog); });
}

std::optional<QrMatrix> HelperModel::qrImage() const {
  if (!pairQR_) return std::nullopt;
  return encodeQr(*pairQR_);
}

InputMapper HelperModel::mapper() const {
  std::lock_guard lock(inputMutex_);
  return input_->mapper();
}

bool HelperModel::inputPossible() const { return setup_.desktop && setup_.desktop->inputAllowed(); }

void HelperModel::refreshPermissions() {
  DisplayBackend* desktop = setup_.desktop.get();
  set(screenRecordingAllowed_, desktop && desktop->captureAllowed(), Field::screenRecordingAllowed);
  set(accessibilityAllowed_, desktop && desktop->inputAllowed(), Field::accessibilityAllowed);
}

void HelperModel::requestScreenRecording() {
  refreshPermissions();
  if (screenRecordingAllowed_) return;
  log(setup_.desktop ? "Screen capture: this desktop can't be captured now; phones see a test "
                       "pattern until it can"
                     : "Screen capture: no desktop session was found; start Lumenbrook inside "
                       "your desktop session");
}

void HelperModel::requestAccessibility() {
  refreshPermissions();
  if (accessibilityAllowed_) return;
  log(setup_.desktop ? "Input: this desktop doesn't take input from other programs now; "
                       "phones can watch but not point or type"
                     : "Input: no desktop session was found; start Lumenbrook inside your "
                       "desktop session");
}

void HelperModel::setStartsAtLogin(bool on) {
  if (!setup_.loginItem) {
    log("Login item: starting at login is not available here");
    return;
  }
  auto result = setup_.loginItem->setEnabled(on);
  if (!result) log("Login item: " + result.error());
  set(startsAtLogin_, setup_.loginItem->enabled(), Field::startsAtLogin);
}

void HelperModel::openPairWindow() {
  set(pairingLocked_, false, Field::pairingLocked);
  set(pairQR_, server_->openPairing(pairingWindowSeconds), Field::pairQR);
  if (pairQR_) log("pairing window open for 120 s");
}

void HelperModel::closePairWindow() {
  server_->closePairing();
  set(pairQR_, {}, Field::pairQR);
  set(pendingCode_, {}, Field::pendingCode);
}

void HelperModel::confirm(bool ok) {
  if (!pendingCode_) return;
  server_->confirm(pendingCode_->code, ok);
  set(pendingCode_, {}, Field::pendingCode);
}

void HelperModel::removeEverything() {
  if (setup_.loginItem) {
    (void)setup_.loginItem->setEnabled(false);
    set(startsAtLogin_, setup_.loginItem->enabled(), Field::startsAtLogin);
  }
  storeTrust_.store(false);
  for (const auto& device : std::vector<PairedDevice>(devices_)) server_->revoke(device.id);
  server_->stop();
  bool wiped = setup_.wipeSecrets ? setup_.wipeSecrets() : setup_.vault.wipe();
  if (!wiped) log("couldn't delete every stored secret");
  if (setup_.quit) setup_.quit();
}

void HelperModel::handleInput(const InputEvent& event) {
  if (!inputPossible()) return;
  std::lock_guard lock(inputMutex_);
  input_->handle(event);
  onUi([](HelperModel& m) { m.changed(Field::mapper); });
}

}  // namespace lumenbrook
