// The application model against a real host service on loopback, with a fake desktop and a
// user-interface queue the test drains: what the user sees follows what the service reports,
// and the user's actions reach the service.

#include "app/helper_model.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>

#include <gtest/gtest.h>

#include "tests/net/host_server_fixture.h"

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Field = HelperModel::Field;
using testing::Events;
using testing::PhoneHarness;

// The user-interface thread of these tests is the test's own: work posted by the model waits
// here until the test runs it.
class UiQueue {
 public:
  void post(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      work_.push_back(std::move(work));
    }
    cv_.notify_all();
  }
  // Runs posted work until `done` holds; false when it did not within the events' timeout.
  bool runUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + testing::kEventTimeout;
    while (!done()) {
      std::function<void()> next;
      {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_until(lock, deadline, [this] { return !work_.empty(); })) return false;
        next = std::move(work_.front());
        work_.pop_front();
      }
      next();
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> work_;
};

class NoPictures final : public FrameSource {
 public:
  void start(int, int, int, Deliver) override {}
  void stop() override {}
};

class RecordingInjector final : public InputInjector {
 public:
  explicit RecordingInjector(Events<HostEvent>& posted) : posted_(posted) {}
  void post(const HostEvent& e) override { posted_.add(e); }
  void releaseAll() override {}

 private:
  Events<HostEvent>& posted_;
};

class FakeDesktop final : public DisplayBackend {
 public:
  std::string name() const override { return "fake"; }
  bool captureAllowed() override { return capture; }
  bool inputAllowed() override { return input; }
  std::unique_ptr<FrameSource> makeSource(int width, int height) override {
    sources.add("desktop " + std::to_string(width) + "x" + std::to_string(height));
    return std::make_unique<NoPictures>();
  }
  Rect desktopBounds() override { return {0, 0, 1000, 800}; }
  std::optional<Point> pointer() override { return Point{500, 400}; }
  std::unique_ptr<InputInjector> makeInjector() override {
    return std::make_unique<RecordingInjector>(posted);
  }

  std::atomic<bool> capture{false};
  std::atomic<bool> input{false};
  Events<std::string> sources;
  Events<HostEvent> posted;
};

class FakeLoginItem final : public LoginItem {
 public:
  bool enabled() const override { return on; }
  Result<Unit, std::string> setEnabled(bool want) override {
    if (failWith) return Failure{*failWith};
    on = want;
    return Unit{};
  }
  bool on = false;
  std::optional<std::string> failWith;
};

class ModelTest : public ::testing::Test {
 protected:
  ModelTest() : dir_(fs::temp_directory_path() / ("lb-model-" + std::to_string(::getpid()))) {
    fs::remove_all(dir_);
  }
  ~ModelTest() override {
    model.reset();
    fs::remove_all(dir_);
  }

  MacVault vault() const { return MacVault(dir_ / "state"); }

  HelperModel::Setup setup() {
    HelperModel::Setup s;
    s.name = "Desk";
    s.advertisedHost = "127.0.0.1";
    s.vault = vault();
    s.loadPort = [this] { return rememberedPort.load(); };
    s.savePort = [this](std::uint16_t port) {
      rememberedPort = port;
      return true;
    };
    s.desktop = desktop;
    s.pattern = [this] {
      patterns.add(1);
      return std::make_unique<NoPictures>();
    };
    s.timing = testing::quietTiming();
    s.environment.ownIPv6 = [] { return std::vector<Bytes>{}; };
    s.environment.makeAdvertiser = [](EventLoop&, ServiceRecord,
                                      std::function<void(const std::string&)>) {
      return std::unique_ptr<ServiceAdvertiser>(std::make_unique<NullAdvertiser>());
    };
    s.environment.clock = [this] { return Date{now += 10}; };
    s.loginItem = loginItem;
    s.post = [this](std::function<void()> work) { ui.post(std::move(work)); };
    s.onChange = [this](Field f) { changes.push_back(f); };
    s.quit = [this] { ++quits; };
    return s;
  }

  void launch() { launch(setup()); }
  void launch(HelperModel::Setup s) {
    model = HelperModel::make(std::move(s));
    ASSERT_TRUE(model->killSwitch() || ui.runUntil([&] { return model->listeningPort().has_value(); }));
  }

  std::size_t count(Field f) const {
    return static_cast<std::size_t>(std::count(changes.begin(), changes.end(), f));
  }

  // Pairs `phone` through the model's pairing window, both users saying the codes match.
  std::optional<PhoneClient::Pairing> pair(PhoneHarness& phone) {
    model->openPairWindow();
    const std::size_t codes = phone.codes.size();
    if (!model->pairQR() || !phone.pair(*model->pairQR())) return {};
    auto shown = phone.codes.waitNth(codes + 1);
    if (!ui.runUntil([&] { return model->pendingCode().has_value(); })) return {};
    EXPECT_EQ(model->pendingCode()->phone, phone.identity.name());
    EXPECT_EQ(model->pendingCode()->code, shown.value_or(""));
    std::size_t before = phone.paired.size();
    std::size_t devices = model->devices().size();
    model->confirm(true);
    phone.confirm(true);
    auto pairing = phone.paired.waitNth(before + 1);
    if (!ui.runUntil([&] { return model->devices().size() == devices + 1; })) return {};
    return pairing;
  }

  bool login(PhoneHarness& phone, const PhoneClient::Pairing& pairing) {
    if (!testing::loginPhone(phone, *model->listeningPort(), pairing)) return false;
    return ui.runUntil([&] { return model->connectedPhone().has_value(); });
  }

  struct NullAdvertiser final : ServiceAdvertiser {
    void publish(std::uint16_t) override {}
    void withdraw() override {}
  };

  fs::path dir_;
  UiQueue ui;
  std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::atomic<std::uint16_t> rememberedPort{0};
  std::atomic<double> now{720000000};
  Events<int> patterns;
  std::vector<Field> changes;
  int quits = 0;
  std::shared_ptr<HelperModel> model;
};

TEST_F(ModelTest, FirstLaunchStoresANewIdentityAndTheSecondListensWhereTheFirstDid) {
  launch();
  EXPECT_TRUE(model->devices().empty());
  EXPECT_FALSE(model->killSwitch());
  EXPECT_FALSE(model->statusTimerRunning());  // no reader given
  std::uint16_t first = *model->listeningPort();
  EXPECT_NE(first, 0);
  EXPECT_EQ(rememberedPort.load(), first);
  std::optional<Bytes> identity = vault().load(MacVault::identityAccount);
  ASSERT_TRUE(identity);
  model.reset();

  launch();
  EXPECT_EQ(*model->listeningPort(), first);
  EXPECT_EQ(vault().load(MacVault::identityAccount), identity);
}

TEST_F(ModelTest, PairingLoggingInAndLeavingShowInTheFields) {
  launch();
  PhoneHarness phone("Zoë's phone");
  auto pairing = pair(phone);
  ASSERT_TRUE(pairing);
  EXPECT_FALSE(model->pendingCode());
  ASSERT_EQ(model->devices().size(), 1u);
  EXPECT_EQ(model->devices()[0].name, "Zoë's phone");
  // Stored at once, on the service's thread.
  EXPECT_EQ(vault().loadTrust().devices().size(), 1u);

  ASSERT_TRUE(login(phone, *pairing));
  EXPECT_EQ(model->connectedPhone(), "Zoë's phone");
  phone.close();
  ASSERT_TRUE(ui.runUntil([&] { return !model->connectedPhone(); }));
  EXPECT_GE(count(Field::connectedPhone), 2u);
}

TEST_F(ModelTest, ClosingThePairingWindowClearsTheCodeAndAnyPendingComparison) {
  launch();
  model->openPairWindow();
  ASSERT_TRUE(model->pairQR());
  EXPECT_TRUE(model->qrImage());
  PhoneHarness phone;
  ASSERT_TRUE(phone.pair(*model->pairQR()));
  ASSERT_TRUE(ui.runUntil([&] { return model->pendingCode().has_value(); }));
  model->closePairWindow();
  EXPECT_FALSE(model->pairQR());
  EXPECT_FALSE(model->qrImage());
  EXPECT_FALSE(model->pendingCode());
  // The phone that was comparing is let go.
  EXPECT_TRUE(phone.closed.waitNth(1) || phone.failed.waitNth(1));
}

TEST_F(ModelTest, ThreeFailedComparisonsLockPairingUntilTheWindowIsOpenedAgain) {
  launch();
  model->openPairWindow();
  const std::string code = *model->pairQR();
  for (int i = 0; i < HostServer::pairingAttemptLimit; ++i) {
    PhoneHarness phone;
    ASSERT_TRUE(phone.pair(code));
    ASSERT_TRUE(ui.runUntil([&] { return model->pendingCode().has_value(); }));
    model->confirm(false);
    EXPECT_FALSE(model->pendingCode());
    ASSERT_TRUE(phone.failed.waitNth(1));
  }
  ASSERT_TRUE(ui.runUntil([&] { return model->pairingLocked(); }));
  EXPECT_FALSE(model->pairQR());

  model->openPairWindow();
  EXPECT_FALSE(model->pairingLocked());
  ASSERT_TRUE(model->pairQR());
  EXPECT_NE(*model->pairQR(), code);
}

TEST_F(ModelTest, AStoredKillSwitchStartsTheServiceSwitchedOff) {
  TrustStore off;
  off.setKillSwitch(true);
  ASSERT_TRUE(vault().saveTrust(off));
  launch();
  EXPECT_TRUE(model->killSwitch());
  EXPECT_FALSE(model->server().listening());
  model->openPairWindow();
  EXPECT_FALSE(model->pairQR());

  model->setKillSwitch(false);
  ASSERT_TRUE(ui.runUntil([&] { return !model->killSwitch() && model->listeningPort(); }));
  EXPECT_FALSE(vault().loadTrust().killSwitch());
}

TEST_F(ModelTest, InputIsDroppedWhileTheDesktopTakesNoneAndMappedOnceItDoes) {
  launch();
  const Point start = model->mapper().cursor();
  model->handleInput(InputEvent{InputEvent::PointerMove{-100, 0}});
  EXPECT_EQ(model->mapper().cursor(), start);
  EXPECT_EQ(desktop->posted.size(), 0u);

  desktop->input = true;
  model->handleInput(InputEvent{InputEvent::PointerMove{30, 20}});
  ASSERT_EQ(desktop->posted.size(), 1u);
  EXPECT_EQ(desktop->posted.items()[0].location, (Point{start.x + 30, start.y + 20}));
  EXPECT_EQ(model->mapper().cursor(), (Point{start.x + 30, start.y + 20}));
  ASSERT_TRUE(ui.runUntil([&] { return count(Field::mapper) >= 1; }));

  // A logged-in phone's input takes the same way.
  PhoneHarness phone;
  auto pairing = pair(phone);
  ASSERT_TRUE(pairing && login(phone, *pairing));
  ASSERT_TRUE(phone.send(Envelope{InputEvent{InputEvent::PointerMove{-10, 0}}}));
  auto posted = desktop->posted.waitNth(2);
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->location, (Point{start.x + 20, start.y + 20}));
}

TEST_F(ModelTest, EachStreamTakesTheDesktopOnlyWhileItCanBeCaptured) {
  HelperModel::Setup s = setup();
  s.timing.defaultStreamDelay = 1ms;
  launch(std::move(s));
  PhoneHarness phone;
  auto pairing = pair(phone);
  ASSERT_TRUE(pairing && login(phone, *pairing));
  ASSERT_TRUE(patterns.waitNth(1));
  EXPECT_EQ(desktop->sources.size(), 0u);

  desktop->capture = true;
  model->refreshPermissions();
  EXPECT_TRUE(model->screenRecordingAllowed());
  phone.close();
  ASSERT_TRUE(ui.runUntil([&] { return !model->connectedPhone(); }));
  PhoneHarness again(phone.identity);
  ASSERT_TRUE(login(again, *pairing));
  EXPECT_TRUE(desktop->sources.waitFor("desktop 1920x1080"));
  EXPECT_EQ(patterns.size(), 1u);
}

TEST_F(ModelTest, PermissionsAreWrittenOnlyWhenTheyChangeAndRequestsSayWhatIsMissing) {
  launch();
  EXPECT_FALSE(model->screenRecordingAllowed());
  EXPECT_FALSE(model->accessibilityAllowed());
  model->refreshPermissions();
  EXPECT_EQ(count(Field::screenRecordingAllowed) + count(Field::accessibilityAllowed), 0u);

  model->requestScreenRecording();
  ASSERT_TRUE(ui.runUntil([&] { return model->lastLog().rfind("Screen capture: ", 0) == 0; }));
  model->requestAccessibility();
  ASSERT_TRUE(ui.runUntil([&] { return model->lastLog().rfind("Input: ", 0) == 0; }));

  desktop->capture = true;
  desktop->input = true;
  model->requestAccessibility();
  EXPECT_TRUE(model->screenRecordingAllowed());
  EXPECT_TRUE(model->accessibilityAllowed());
  EXPECT_EQ(count(Field::screenRecordingAllowed), 1u);
  EXPECT_EQ(count(Field::accessibilityAllowed), 1u);
}

TEST_F(ModelTest, StartAtLoginReflectsTheRealStateAndReportsFailures) {
  launch();
  EXPECT_FALSE(model->startsAtLogin());
  model->setStartsAtLogin(true);
  EXPECT_TRUE(model->startsAtLogin());

  loginItem->failWith = "the autostart folder is read-only";
  model->setStartsAtLogin(false);
  EXPECT_TRUE(model->startsAtLogin());
  ASSERT_TRUE(ui.runUntil(
      [&] { return model->lastLog() == "Login item: the autostart folder is read-only"; }));
}

TEST(AutostartLoginItem, WritesAndRemovesTheEntry) {
  fs::path dir = fs::temp_directory_path() / ("lb-login-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  auto item = autostartLoginItem(dir, "/opt/lumenbrook/bin/lumenbrook");
  EXPECT_FALSE(item->enabled());
  ASSERT_TRUE(item->setEnabled(true));
  EXPECT_TRUE(item->enabled());
  EXPECT_TRUE(fs::exists(dir / "lumenbrook.desktop"));
  ASSERT_TRUE(item->setEnabled(false));
  EXPECT_FALSE(item->enabled());
  fs::remove_all(dir);
}

TEST_F(ModelTest, PhonesAskingForStatusGetTheReadersSnapshot) {
  HelperModel::Setup s = setup();
  s.statusInterval = 0.01;
  s.timing.statusMinimum = 10ms;
  s.readStatus = [] {
    MacStatus status;
    status.name = "Desk";
    status.frontmostApp = "Notes";
    status.runningApps = 3;
    status.uptimeHours = 5;
    return status;
  };
  launch(std::move(s));
  EXPECT_TRUE(model->statusTimerRunning());
  PhoneHarness phone;
  auto pairing = pair(phone);
  ASSERT_TRUE(pairing && login(phone, *pairing));
  ASSERT_TRUE(phone.send(Envelope{ControlMessage{ControlMessage::StatusWanted{true}}}));
  ASSERT_TRUE(phone.envelopes.waitUntil([](const std::vector<Envelope>& all) {
    for (const Envelope& e : all) {
      if (!e.isControl()) continue;
      auto* report = std::get_if<ControlMessage::MacStatusReport>(&e.control().value);
      if (report && report->status.frontmostApp == "Notes" && report->status.runningApps == 3) {
        return true;
      }
    }
    return false;
  }));
}

TEST_F(ModelTest, RemovingEverythingRevokesUnstoredDeletesTheSecretsAndQuits) {
  std::optional<TrustStore> storedWhenWiped;
  HelperModel::Setup s = setup();
  s.wipeSecrets = [this, &storedWhenWiped] {
    storedWhenWiped = vault().loadTrust();
    return vault().wipe();
  };
  loginItem->on = true;
  launch(std::move(s));
  PhoneHarness first("First"), second("Second");
  ASSERT_TRUE(pair(first));
  auto pairing = pair(second);
  ASSERT_TRUE(pairing && login(second, *pairing));
  const Bytes identity = vault().load(MacVault::identityAccount).value();

  model->removeEverything();
  EXPECT_EQ(quits, 1);
  EXPECT_FALSE(loginItem->on);
  EXPECT_FALSE(model->startsAtLogin());
  EXPECT_EQ(model->server().clientCount(), 0u);
  EXPECT_TRUE(second.closed.waitNth(1) || second.failed.waitNth(1));
  // The revocations happened but were not stored: the store wiped was the one before them.
  ASSERT_TRUE(storedWhenWiped);
  ASSERT_EQ(storedWhenWiped->devices().size(), 2u);
  for (const auto& [id, device] : storedWhenWiped->devices()) EXPECT_FALSE(device.revokedAt);
  ASSERT_TRUE(ui.runUntil([&] {
    return model->devices().size() == 2 && model->devices()[0].revokedAt &&
           model->devices()[1].revokedAt;
  }));
  EXPECT_FALSE(vault().load(MacVault::identityAccount));
  EXPECT_FALSE(vault().load(MacVault::trustAccount));
  model.reset();

  launch();
  EXPECT_TRUE(model->devices().empty());
  EXPECT_NE(vault().load(MacVault::identityAccount), identity);
}

}  // namespace
}  // namespace lumenbrook
