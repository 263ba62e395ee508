// The tray app on the real service: a phone pairs with the text read from the window's QR
// code, the user presses "Codes match" in the window, and once the phone logs in and streams
// the panel says so.

#include <unistd.h>

#include <filesystem>

#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "app/helper_model.h"
#include "app/tray/tray_app.h"
#include "tests/app/tray/qt_environment.h"
#include "tests/net/host_server_fixture.h"

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::spinUntil;

class NoPictures final : public FrameSource {
 public:
  void start(int, int, int, Deliver) override {}
  void stop() override {}
};

struct SilentAdvertiser final : ServiceAdvertiser {
  void publish(std::uint16_t) override {}
  void withdraw() override {}
};

TEST(TrayEndToEnd, APhonePairsFromTheWindowsQrCodeAndThePanelSaysItStreams) {
  LB_REQUIRE_DISPLAY();
  const fs::path dir = fs::temp_directory_path() / ("lb-tray-e2e-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  testing::Events<int> streams;

  TrayApp* views = nullptr;
  HelperModel::Setup setup;
  setup.name = "Desk";
  setup.advertisedHost = "127.0.0.1";
  setup.vault = MacVault(dir);
  setup.pattern = [&streams] {
    streams.add(1);
    return std::make_unique<NoPictures>();
  };
  setup.timing = testing::quietTiming();
  setup.timing.defaultStreamDelay = 1ms;
  setup.environment.ownIPv6 = [] { return std::vector<Bytes>{}; };
  setup.environment.makeAdvertiser = [](EventLoop&, ServiceRecord,
                                        std::function<void(const std::string&)>) {
    return std::unique_ptr<ServiceAdvertiser>(std::make_unique<SilentAdvertiser>());
  };
  setup.post = [](std::function<void()> work) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
  };
  setup.onChange = [&views](HelperModel::Field field) {
    if (views) views->changed(field);
  };
  auto model = HelperModel::make(std::move(setup));
  auto trayApp = std::make_unique<TrayApp>(*model);
  TrayApp& tray = *trayApp;
  views = &tray;

  tray.showPairWindow();
  std::string text;
  ASSERT_TRUE(spinUntil([&] {
    if (!tray.pairWindow().isVisible() || !model->pairQR()) return false;
    text = testing::decodeQr(tray.pairWindow().grab().toImage());
    return !text.empty();
  })) << "no readable QR code in the window";
  EXPECT_EQ(text, *model->pairQR());

  testing::PhoneHarness phone("Zoë's phone");
  ASSERT_TRUE(phone.pair(text));
  ASSERT_TRUE(spinUntil([&] { return tray.pairWindow().page() == PairWindow::Page::comparison; }));
  QPushButton* match = nullptr;
  for (auto* b : tray.pairWindow().findChildren<QPushButton*>()) {
    if (b->text() == "Codes match") match = b;
  }
  ASSERT_TRUE(match);
  QTest::mouseClick(match, Qt::LeftButton);
  phone.confirm(true);
  auto pairing = phone.paired.waitNth(1);
  ASSERT_TRUE(pairing);
  tray.pairWindow().hide();

  ASSERT_TRUE(testing::loginPhone(phone, *model->listeningPort(), *pairing));
  EXPECT_TRUE(streams.waitNth(1));
  auto* status = tray.panel().findChild<QLabel*>("status");
  EXPECT_TRUE(spinUntil([&] { return status->text() == "Streaming to Zoë's phone"; }))
      << status->text().toStdString();
  EXPECT_TRUE(tray.icon().connected());

  views = nullptr;
  trayApp.reset();  // the views before the model they read
  model.reset();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace lumenbrook
