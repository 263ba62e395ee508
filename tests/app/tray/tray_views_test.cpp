// The tray app's views against a fake model: what each state shows, and which action each
// control calls.

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include "app/menu_model.h"
#include "app/tray/tray_app.h"
#include "tests/app/tray/qt_environment.h"

namespace lumenbrook {
namespace {

using testing::spinUntil;

class FakeMenuModel final : public MenuModel {
 public:
  const std::optional<PendingCode>& pendingCode() const override { return pending; }
  const std::vector<PairedDevice>& devices() const override { return phones; }
  bool killSwitch() const override { return off; }
  const std::optional<std::string>& connectedPhone() const override { return connected; }
  bool screenRecordingAllowed() const override { return screen; }
  bool accessibilityAllowed() const override { return input; }
  bool startsAtLogin() const override { return login; }
  bool pairingLocked() const override { return locked; }
  std::optional<QrMatrix> qrImage() const override { return pairText ? encodeQr(*pairText) : std::nullopt; }

  void refreshPermissions() override { calls.push_back("refreshPermissions"); }
  void requestScreenRecording() override { calls.push_back("requestScreenRecording"); }
  void requestAccessibility() override { calls.push_back("requestAccessibility"); }
  void setStartsAtLogin(bool on) override { calls.push_back(std::string("setStartsAtLogin ") + (on ? "on" : "off")); }
  void openPairWindow() override { calls.push_back("openPairWindow"); }
  void closePairWindow() override { calls.push_back("closePairWindow"); }
  void confirm(bool ok) override { calls.push_back(std::string("confirm ") + (ok ? "yes" : "no")); }
  void setKillSwitch(bool on) override { calls.push_back(std::string("setKillSwitch ") + (on ? "on" : "off")); }
  void revoke(const Uuid& id) override { calls.push_back("revoke " + id.text()); }
  void forget(const Uuid& id) override { calls.push_back("forget " + id.text()); }
  void removeEverything() override { calls.push_back("removeEverything"); }

  std::optional<PendingCode> pending;
  std::vector<PairedDevice> phones;
  bool off = false;
  std::optional<std::string> connected;
  bool screen = false;
  bool input = false;
  bool login = false;
  bool locked = false;
  std::optional<std::string> pairText;
  std::vector<std::string> calls;
};

PairedDevice phone(const char* id, std::string name, bool revoked) {
  return PairedDevice{Uuid::parse(id).value(), std::move(name), Bytes(32, 1), Bytes(32, 2),
                      Date{100}, revoked ? std::optional<Date>(Date{200}) : std::nullopt};
}

constexpr const char* kOld = "11111111-1111-4111-8111-111111111111";
constexpr const char* kNew = "22222222-2222-4222-8222-222222222222";

// The texts of the widgets of `T` under `root` that show, in the order they were made (which
// is the order they are laid out).
template <class T>
std::vector<std::string> shown(QWidget& root) {
  std::vector<std::string> texts;
  for (T* w : root.findChildren<T*>()) {
    if (w->isVisibleTo(&root)) texts.push_back(w->text().toStdString());
  }
  return texts;
}

template <class T>
T* named(QWidget& root, const std::string& text) {
  for (T* w : root.findChildren<T*>()) {
    if (w->text().toStdString() == text && w->isVisibleTo(&root)) return w;
  }
  return nullptr;
}

bool contains(const std::vector<std::string>& all, const std::string& one) {
  return std::find(all.begin(), all.end(), one) != all.end();
}

class TrayViews : public ::testing::Test {
 protected:
  void SetUp() override {
    LB_REQUIRE_DISPLAY();
    app = std::make_unique<TrayApp>(model);
    app->panel().setConfirmRemoval([this] { return confirmRemoval; });
    model.calls.clear();  // what showing the panel asked for
  }
  void refresh() { app->changed(HelperModel::Field::devices); }
  QWidget& panel() { return app->panel(); }

  FakeMenuModel model;
  std::unique_ptr<TrayApp> app;
  bool confirmRemoval = true;
};

TEST_F(TrayViews, TheStatusLineAndTheIconFollowTheConnectionAndTheSwitch) {
  struct Case {
    std::optional<std::string> connected;
    bool off;
    std::string line;
    bool filled;
    std::string tip;
    bool toggle;
  };
  const Case cases[] = {
      {std::nullopt, false, "Waiting for a phone", false, "Lumenbrook", true},
      {"Zoë's phone", false, "Streaming to Zoë's phone", true, "Lumenbrook, phone connected", true},
      {std::nullopt, true, "Switched off", false, "Lumenbrook", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    model.connected = c.connected;
    model.off = c.off;
    refresh();
    auto* status = panel().findChild<QLabel*>("status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->text().toStdString(), c.line);
    EXPECT_EQ(app->icon().connected(), c.filled);
    EXPECT_EQ(app->icon().toolTip().toStdString(), c.tip);
    EXPECT_EQ(named<QCheckBox>(panel(), "Lumenbrook is on")->isChecked(), c.toggle);
  }
}

TEST_F(TrayViews, WithoutPhonesThereIsNoPhoneListHeadingOrDivider) {
  refresh();
  EXPECT_FALSE(contains(shown<QLabel>(panel()), "Paired phones"));
  EXPECT_FALSE(panel().findChild<QWidget*>("phonesDivider")->isVisibleTo(&panel()));

  model.phones = {phone(kOld, "Old phone", false)};
  refresh();
  EXPECT_TRUE(contains(shown<QLabel>(panel()), "Paired phones"));
  EXPECT_TRUE(panel().findChild<QWidget*>("phonesDivider")->isVisibleTo(&panel()));
}

TEST_F(TrayViews, ARevokedPhoneIsMarkedRemovedAndCanBeForgotten) {
  model.phones = {phone(kOld, "Old phone", true), phone(kNew, "New phone", false)};
  refresh();
  const auto labels = shown<QLabel>(panel());
  EXPECT_TRUE(contains(labels, "Old phone (removed)"));
  EXPECT_TRUE(contains(labels, "New phone"));
  std::vector<std::string> buttons = shown<QPushButton>(panel());
  auto forget = std::find(buttons.begin(), buttons.end(), "Forget");
  auto remove = std::find(buttons.begin(), buttons.end(), "Remove");
  ASSERT_NE(forget, buttons.end());
  ASSERT_NE(remove, buttons.end());
  EXPECT_LT(forget, remove);  // oldest pairing first

  named<QPushButton>(panel(), "Forget")->click();
  named<QPushButton>(panel(), "Remove")->click();
  EXPECT_EQ(model.calls, (std::vector<std::string>{std::string("forget ") + kOld,
                                                   std::string("revoke ") + kNew}));
}

TEST_F(TrayViews, GrantedPermissionsShowNoAllowButtonsAndNoExplanations) {
  refresh();
  const auto buttons = shown<QPushButton>(panel());
  EXPECT_EQ(std::count(buttons.begin(), buttons.end(), std::string("Allow\u2026")), 2);
  const auto missing = shown<QLabel>(panel());
  EXPECT_TRUE(contains(missing,
                       "Needed to send this computer's screen to the monitor. Until then the "
                       "phone sees a test pattern."));
  EXPECT_TRUE(contains(missing,
                       "Needed so the phone's trackpad and keyboard can control this computer."));

  model.screen = model.input = true;
  refresh();
  EXPECT_FALSE(contains(shown<QPushButton>(panel()), "Allow\u2026"));
  for (const std::string& text : shown<QLabel>(panel())) EXPECT_EQ(text.find("Needed"), std::string::npos);
  std::vector<std::string> rows;
  for (auto* row : panel().findChildren<PermissionRow*>()) rows.push_back(row->accessibleName().toStdString());
  EXPECT_EQ(rows, (std::vector<std::string>{"Screen Recording: allowed", "Accessibility: allowed"}));
}

TEST_F(TrayViews, EachPanelControlCallsItsAction) {
  refresh();
  panel().hide();
  panel().show();
  ASSERT_TRUE(spinUntil([&] { return panel().isVisible(); }));
  EXPECT_TRUE(contains(model.calls, "refreshPermissions"));  // each time the panel opens
  model.calls.clear();

  auto allow = panel().findChildren<PermissionRow*>();
  ASSERT_EQ(allow.size(), 2u);
  allow[0]->findChild<QPushButton*>()->click();
  allow[1]->findChild<QPushButton*>()->click();
  named<QCheckBox>(panel(), "Lumenbrook is on")->click();
  named<QCheckBox>(panel(), "Start at login")->click();
  confirmRemoval = false;
  named<QPushButton>(panel(), "Remove Lumenbrook\u2026")->click();
  confirmRemoval = true;
  named<QPushButton>(panel(), "Remove Lumenbrook\u2026")->click();
  EXPECT_EQ(model.calls, (std::vector<std::string>{"requestScreenRecording", "requestAccessibility",
                                                   "setKillSwitch on", "setStartsAtLogin on",
                                                   "removeEverything"}));

  bool quit = false;
  QObject::connect(app.get(), &TrayApp::quitRequested, [&] { quit = true; });
  auto* quitButton = named<QPushButton>(panel(), "Quit");
  EXPECT_EQ(quitButton->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
  quitButton->click();
  EXPECT_TRUE(quit);

  model.calls.clear();
  named<QPushButton>(panel(), "Pair a phone\u2026")->click();
  ASSERT_TRUE(spinUntil([&] { return app->pairWindow().isVisible(); }));
  EXPECT_EQ(model.calls, (std::vector<std::string>{"openPairWindow"}));
  app->pairWindow().hide();
  EXPECT_EQ(model.calls, (std::vector<std::string>{"openPairWindow", "closePairWindow"}));
}

TEST_F(TrayViews, ThePairingWindowShowsOneOfItsThreeStates) {
  PairWindow& window = app->pairWindow();
  // Scanning without a code yet: the busy indicator.
  refresh();
  EXPECT_EQ(window.page(), PairWindow::Page::scanning);
  EXPECT_TRUE(window.findChild<QProgressBar*>()->isVisibleTo(&window));
  EXPECT_TRUE(contains(shown<QLabel>(window), "Scan with the phone's camera"));

  model.pairText = "LUMENBROOK-PAIR-1:test";
  refresh();
  EXPECT_FALSE(window.findChild<QProgressBar*>()->isVisibleTo(&window));

  model.pending = MenuModel::PendingCode{"042917", "Zoë's phone"};
  refresh();
  EXPECT_EQ(window.page(), PairWindow::Page::comparison);
  const auto texts = shown<QLabel>(window);
  EXPECT_TRUE(contains(texts, "042 917"));
  EXPECT_TRUE(contains(texts, "Does Zoë's phone show this code?"));
  named<QPushButton>(window, "Don't match")->click();
  named<QPushButton>(window, "Codes match")->click();
  EXPECT_EQ(model.calls, (std::vector<std::string>{"confirm no", "confirm yes"}));

  model.pending.reset();
  model.locked = true;
  refresh();
  EXPECT_EQ(window.page(), PairWindow::Page::lockedOut);
  EXPECT_TRUE(contains(shown<QLabel>(window), "Pairing paused"));
}

TEST_F(TrayViews, TheWindowsQrCodeReadsBackAsThePairingText) {
  const std::string text =
      "LUMENBROOK-PAIR-1:?v=1&h=desk.local&p=50123&f=0011223344556677889900aabbccddeeff00112233"
      "445566778899aabbccddee&n=Desk&s=AbCdEfGhIjKlMnOpQrStUv";
  model.pairText = text;
  app->showPairWindow();
  ASSERT_TRUE(spinUntil([&] { return app->pairWindow().isVisible(); }));
  QLabel* qr = nullptr;
  for (auto* label : app->pairWindow().findChildren<QLabel*>()) {
    if (label->accessibleName() == "Pairing code to scan") qr = label;
  }
  ASSERT_TRUE(qr);
  EXPECT_EQ(qr->size(), QSize(240, 240));
  const std::string read = testing::decodeQr(app->pairWindow().grab().toImage());
  if (read.empty() && std::system("command -v zbarimg >/dev/null") != 0) {
    GTEST_SKIP() << "zbarimg is not installed (scripts/deps installs zbar-tools)";
  }
  EXPECT_EQ(read, text);
}

// The icon needs a tray: one that runs before the app starts takes it at once, one that
// starts later takes it when it comes.
TEST(TrayIcon, AppearsInATrayThatRunsAndInOneThatStartsLater) {
  LB_REQUIRE_DISPLAY();
  auto startTray = [](std::string* why) {
    return testing::Program::start({"trayer", "--edge", "top", "--align", "right", "--widthtype",
                                    "pixel", "--width", "200", "--height", "24"},
                                   {"DISPLAY=" + testing::trayDisplay()}, why);
  };
  std::string why;
  FakeMenuModel model;
  {
    TrayApp early(model);
    // No tray: the panel is an ordinary window, and the icon waits.
    EXPECT_TRUE(early.panel().isVisible());
    EXPECT_TRUE(early.icon().geometry().isEmpty());
    auto tray = startTray(&why);
    if (!tray) GTEST_SKIP() << why;
    EXPECT_TRUE(spinUntil([&] { return !early.icon().geometry().isEmpty(); }))
        << "the icon never reached the tray that started after it";

    TrayApp late(model);
    EXPECT_TRUE(spinUntil([&] { return !late.icon().geometry().isEmpty(); }));
    EXPECT_FALSE(late.panel().isVisible());
  }
}

}  // namespace
}  // namespace lumenbrook
