// lumenbrook-host: the host service without a desktop user interface. It loads the identity
// and trust store from the state directory, listens for phones, prints every diagnostic line
// with a time stamp on stderr, saves the trust store on every change, and takes the user's
// decisions from a terminal (or, with --auto-confirm, accepts every pairing by itself).
//
// It is the first front end of HelperModel: the main thread is the model's user-interface
// thread (start-up, the terminal, signals, every observed change, shutdown); the model runs
// the service's "host-server" loop and the status thread.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/console.h"
#include "app/default_setup.h"
#include "app/helper_model.h"
#include "app/host_console.h"
#include "app/host_options.h"
#include "app/terminal_qr.h"

namespace lumenbrook {
namespace {


// Work for the main thread, posted from any thread: the main loop drains it when the wake
// descriptor fires.
class MainQueue {
 public:
  explicit MainQueue(int wakeFd) : wakeFd_(wakeFd) {}
  void post(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      work_.push_back(std::move(work));
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
  }
  void drain() {
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(wakeFd_, &value, sizeof value);
    for (;;) {
      std::function<void()> next;
      {
        std::lock_guard lock(mutex_);
        if (work_.empty()) return;
        next = std::move(work_.front());
        work_.pop_front();
      }
      next();
    }
  }

 private:
  int wakeFd_;
  std::mutex mutex_;
  std::deque<std::function<void()>> work_;
};

class HostApp {
 public:
  HostApp(HostOptions options, int wakeFd) : options_(std::move(options)), queue_(wakeFd) {}

  int run(int signalFd, int wakeFd);

 private:
  void changed(HelperModel::Field field);
  void openPairingWindow();
  void handleLine(std::string_view line);

  HostOptions options_;
  MainQueue queue_;
  Console console_;
  std::shared_ptr<HelperModel> model_;
  bool pairingOpened_ = false;
  bool running_ = true;
};

void HostApp::changed(HelperModel::Field field) {
  using Field = HelperModel::Field;
  switch (field) {
    case Field::pendingCode:
      if (const auto& pending = model_->pendingCode()) {
        if (options_.autoConfirm) {
          console_.log("auto-confirm: accepting code " + pending->code + " from " + pending->phone);
          model_->confirm(true);
        } else {
          console_.out(comparisonQuestion(pending->phone, pending->code));
        }
      }
      return;
    case Field::listeningPort:
      if (options_.pair && !pairingOpened_) {
        pairingOpened_ = true;
        openPairingWindow();
      }
      return;
    default:
      return;
  }
}

void HostApp::openPairingWindow() {
  model_->openPairWindow();
  const std::optional<std::string>& code = model_->pairQR();
  if (!code) {
    console_.log("can't pair now: the service is switched off or not listening yet");
    return;
  }
  console_.out(*code);
  if (auto matrix = model_->qrImage()) console_.out(drawQr(*matrix));
}

void HostApp::handleLine(std::string_view line) {
  const std::optional<HelperModel::PendingCode>& pending = model_->pendingCode();
  if (pending) {
    if (std::optional<bool> answer = parseAnswer(line)) {
      model_->confirm(*answer);
      return;
    }
  }
  std::optional<HostCommand> command = parseHostCommand(line);
  if (!command) {
    if (pending) {
      console_.out(comparisonQuestion(pending->phone, pending->code));
    } else if (line.find_first_not_of(" \t\r") != std::string_view::npos) {
      console_.out(commandHelp());
    }
    return;
  }
  switch (command->kind) {
    case HostCommand::Kind::pair:
      openPairingWindow();
      return;
    case HostCommand::Kind::list: {
      std::string text = deviceList(model_->devices());
      if (text.empty()) text = "no paired phones\n";
      text += "connections: " + std::to_string(model_->server().clientCount()) +
              (model_->killSwitch() ? ", switched off" : "");
      console_.out(text);
      return;
    }
    case HostCommand::Kind::revoke:
      model_->revoke(*command->id);
      console_.out("revoked " + command->id->text());
      return;
    case HostCommand::Kind::forget:
      model_->forget(*command->id);
      console_.out("forgot " + command->id->text());
      return;
    case HostCommand::Kind::off:
      model_->setKillSwitch(true);
      return;
    case HostCommand::Kind::on:
      model_->setKillSwitch(false);
      return;
    case HostCommand::Kind::quit:
      running_ = false;
      return;
    case HostCommand::Kind::removeEverything:
      model_->removeEverything();
      return;
  }
}

int HostApp::run(int signalFd, int wakeFd) {
  HelperModel::Setup setup =
      defaultSetup(options_, [this](const std::string& line) { console_.log(line); },
                   selfExecutable("lumenbrook-host"));
  setup.post = [this](std::function<void()> work) { queue_.post(std::move(work)); };
  setup.onChange = [this](HelperModel::Field field) { changed(field); };
  setup.quit = [this] {
    console_.log("removed every pairing and this computer's identity; quitting");
    running_ = false;
  };
  if (options_.autoConfirm) {
    console_.log("auto-confirm: code comparison is disabled and every pairing is accepted; "
                 "for demos and tests only");
  }
  model_ = HelperModel::make(std::move(setup));
  if (model_->killSwitch()) console_.log("switched off; type \"on\" to listen");

  // Commands and answers come from a terminal: standard input when it is one, else the
  // controlling terminal when an answer may be needed.
  int terminal = -1;
  bool ownTerminal = false;
  if (::isatty(STDIN_FILENO)) {
    terminal = STDIN_FILENO;
  } else if (!options_.autoConfirm) {
    terminal = ::open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    ownTerminal = terminal >= 0;
    if (terminal < 0) console_.log("no terminal: code comparisons can't be answered");
  }
  if (terminal >= 0) console_.out(commandHelp());

  std::string pendingInput;
  while (running_) {
    pollfd fds[3] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {terminal, POLLIN, 0}};
    int count = terminal >= 0 ? 3 : 2;
    if (::poll(fds, static_cast<nfds_t>(count), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      [[maybe_unused]] ssize_t n = ::read(signalFd, &info, sizeof info);
      console_.log("stopping on signal " + std::to_string(info.ssi_signo));
      break;
    }
    if (fds[1].revents & POLLIN) queue_.drain();
    if (terminal >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buffer[1024];
      ssize_t n = ::read(terminal, buffer, sizeof buffer);
      if (n <= 0) {
        // End of input: go on serving, without commands.
        if (ownTerminal) ::close(terminal);
        terminal = -1;
        continue;
      }
      pendingInput.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; running_ && (end = pendingInput.find('\n')) != std::string::npos;) {
        std::string line = pendingInput.substr(0, end);
        pendingInput.erase(0, end + 1);
        handleLine(line);
      }
      if (pendingInput.size() > 4096) pendingInput.clear();
    }
  }

  model_->server().stop();
  model_.reset();
  if (ownTerminal && terminal >= 0) ::close(terminal);
  return 0;
}

}  // namespace
}  // namespace lumenbrook

int main(int argc, char** argv) {
  using namespace lumenbrook;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto options = parseHostOptions(args);
  if (!options) {
    std::cerr << "lumenbrook-host: " << options.error() << '\n' << hostUsage();
    return 2;
  }
  if (options->help) {
    std::cout << hostUsage() << commandHelp();
    return 0;
  }

  // Before any thread starts, so that every thread inherits the mask and the signals reach
  // only the signal descriptor read by the main loop.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) return 1;
  ::signal(SIGPIPE, SIG_IGN);
  int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  int wakeFd = ::eventfd(0, EFD_CLOEXEC);
  if (signalFd < 0 || wakeFd < 0) {
    std::perror("lumenbrook-host");
    return 1;
  }
  HostApp app(std::move(options).value(), wakeFd);
  int status = app.run(signalFd, wakeFd);
  ::close(signalFd);
  ::close(wakeFd);
  return status;
}
