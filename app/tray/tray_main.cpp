// lumenbrook: the tray application. It runs the host service through the application model,
// shows its state in a tray icon and a panel, and pairs phones in a window. It takes the
// options of lumenbrook-host (which see); --pair opens the pairing window at once. A second
// start hands its request to the running instance and exits.
//
// Threads: Qt's main thread is the model's user-interface thread; the model runs the service's
// "host-server" loop and the status thread.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include "app/console.h"
#include "app/default_setup.h"
#include "app/host_options.h"
#include "app/tray/single_instance.h"
#include "app/tray/tray_app.h"

int main(int argc, char** argv) {
  using namespace lumenbrook;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto options = parseHostOptions(args);
  if (!options) {
    std::cerr << "lumenbrook: " << options.error() << '\n' << hostUsage();
    return 2;
  }
  if (options->help) {
    std::cout << "lumenbrook: the tray app; it takes the options of lumenbrook-host.\n"
              << hostUsage();
    return 0;
  }
  ::signal(SIGPIPE, SIG_IGN);
  // SIGTERM (the session ending) and SIGINT quit through the event loop, so that the service
  // stops and removes its monitors; blocked before any thread starts, read from a descriptor.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) return 1;
  const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);

  // Qt sees only the program's name: options such as --display are ours, not its own.
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  QSocketNotifier stopNotifier(signalFd, QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [signalFd] {
    signalfd_siginfo info{};
    [[maybe_unused]] ssize_t n = ::read(signalFd, &info, sizeof info);
    QApplication::quit();
  });
  QApplication::setApplicationName("Lumenbrook");
  QApplication::setDesktopFileName("lumenbrook");
  // Closing the panel or the pairing window leaves the app in the tray.
  QApplication::setQuitOnLastWindowClosed(false);

  SingleInstance instance(SingleInstance::defaultName());
  const QString request = options->pair ? "pair" : "show";
  if (instance.sendToRunning(request)) return 0;
  Console console;
  if (!instance.listen()) console.log("couldn't listen for later starts; each start runs anew");

  TrayApp* views = nullptr;
  HelperModel::Setup setup = defaultSetup(
      *options, [&console](const std::string& line) { console.log(line); },
      selfExecutable("lumenbrook"));
  setup.post = [&app](std::function<void()> work) {
    QMetaObject::invokeMethod(&app, std::move(work), Qt::QueuedConnection);
  };
  setup.onChange = [&views](HelperModel::Field field) {
    if (views) views->changed(field);
  };
  setup.quit = [&console] {
    console.log("removed every pairing and this computer's identity; quitting");
    QApplication::quit();
  };
  std::shared_ptr<HelperModel> model = HelperModel::make(std::move(setup));
  // The views before the model: they read it until they are gone.
  auto trayApp = std::make_unique<TrayApp>(*model);
  TrayApp& tray = *trayApp;
  views = &tray;
  QObject::connect(&tray, &TrayApp::quitRequested, &app, &QApplication::quit);
  QObject::connect(&instance, &SingleInstance::requested, &tray, [&tray](const QString& what) {
    if (what == "pair") {
      tray.showPairWindow();
    } else {
      tray.showPanel();
    }
  });
  if (options->pair) tray.showPairWindow();

  int status = app.exec();
  views = nullptr;
  trayApp.reset();
  model->server().stop();
  model.reset();
  ::close(signalFd);
  return status;
}
