// lumenbrook-host: the host service without a desktop user interface. It loads the identity
// and trust store from the state directory, listens for phones, prints every diagnostic line
// with a time stamp on stderr, saves the trust store on every change, and takes the user's
// decisions from a terminal (or, with --auto-confirm, accepts every pairing by itself).
//
// Threads: main (start-up, the terminal, signals, shutdown), the service's "host-server"
// loop (every server callback), and a status thread refreshing the snapshot phones receive.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
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

#include "app/advertised_host.h"
#include "app/desktop_input.h"
#include "app/host_console.h"
#include "app/host_options.h"
#include "app/listen_port.h"
#include "app/status_reader.h"
#include "app/terminal_qr.h"
#include "core/messages/status_cache.h"
#include "desktop/desktop.h"
#include "desktop/linux/logind_sleep_assertions.h"
#include "media/test_pattern_source.h"
#include "media/video_encoder.h"
#include "net/host_server.h"
#include "net/mac_vault.h"

namespace lumenbrook {
namespace {

constexpr double kPairingWindowSeconds = 120;
constexpr auto kStatusRefresh = std::chrono::seconds(15);

std::string timestamp() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  char full[40];
  std::snprintf(full, sizeof full, "%s.%03d", text, static_cast<int>(ms.count()));
  return full;
}

// Lines from the service thread and the main thread, never interleaved.
class Console {
 public:
  void out(std::string_view text) {
    std::lock_guard lock(mutex_);
    std::cout << text;
    if (text.empty() || text.back() != '\n') std::cout << '\n';
    std::cout.flush();
  }
  void log(std::string_view line) {
    std::lock_guard lock(mutex_);
    std::cerr << timestamp() << ' ' << printable(line) << '\n';
    std::cerr.flush();
  }

 private:
  std::mutex mutex_;
};

// Refreshes the status snapshot on its own thread, so that the service only reads a cache.
class StatusRefresher {
 public:
  explicit StatusRefresher(std::string name) : name_(std::move(name)) {
    thread_ = std::thread([this] { run(); });
  }
  ~StatusRefresher() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  std::optional<MacStatus> value() const { return cache_.value(); }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      cache_.setValue(readHostStatus(name_));
      lock.lock();
      cv_.wait_for(lock, kStatusRefresh, [this] { return stopping_; });
    }
  }

  std::string name_;
  StatusCache cache_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::thread thread_;
};

// What the service thread tells the main thread.
struct Shared {
  std::mutex mutex;
  TrustStore trust;
  std::optional<std::pair<std::string, std::string>> comparison;  // code, phone name
  bool listeningReported = false;
};

class HostApp {
 public:
  HostApp(HostOptions options, int wakeFd) : options_(std::move(options)), wakeFd_(wakeFd) {}

  int run(int signalFd);

 private:
  void installCallbacks();
  void openPairingWindow();
  void handleLine(std::string_view line);
  void wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
  }

  HostOptions options_;
  int wakeFd_;
  Console console_;
  Shared shared_;
  std::optional<MacVault> vault_;
  // Before the server, which uses them on its loop until it is released.
  std::unique_ptr<DisplayBackend> desktop_;
  std::unique_ptr<DesktopInput> input_;
  std::shared_ptr<HostServer> server_;
  std::unique_ptr<StatusRefresher> status_;
  bool pairingOpened_ = false;
  bool running_ = true;
};

void HostApp::installCallbacks() {
  std::weak_ptr<HostServer> weak = server_;
  HostServer& s = *server_;
  s.onLog = [this](const std::string& line) { console_.log(line); };
  s.onListening = [this](const QRPayload& base) {
    if (!saveListenPort(*vault_, base.port)) {
      console_.log("couldn't remember the port in " + vault_->directory().string());
    }
    console_.log("listening on port " + std::to_string(base.port) + " as " + base.hostName);
    {
      std::lock_guard lock(shared_.mutex);
      shared_.listeningReported = true;
    }
    wake();
  };
  // Saved at once, on the service thread, so that the stored store never lags behind a
  // later change.
  s.onTrustChanged = [this](const TrustStore& trust) {
    if (!vault_->saveTrust(trust)) {
      console_.log("couldn't save the trust store in " + vault_->directory().string());
    }
    std::lock_guard lock(shared_.mutex);
    shared_.trust = trust;
  };
  s.onPairingCode = [this, weak](const std::string& code, const std::string& phone) {
    if (options_.autoConfirm) {
      console_.log("auto-confirm: accepting code " + code + " from " + phone);
      if (auto server = weak.lock()) server->confirm(code, true);
      return;
    }
    {
      std::lock_guard lock(shared_.mutex);
      shared_.comparison = std::make_pair(code, phone);
    }
    console_.out(comparisonQuestion(phone, code));
  };
  s.onPaired = [this](const PairedDevice& d) { console_.log("paired with " + d.name); };
  s.onConnected = [this](const Uuid& id) {
    std::string name = "Phone";
    {
      std::lock_guard lock(shared_.mutex);
      auto it = shared_.trust.devices().find(id);
      if (it != shared_.trust.devices().end()) name = it->second.name;
    }
    console_.log("logged in: " + name + " (" + id.text() + ")");
  };
  // Both on the service thread, where the mapper lives.
  s.onInput = [this](const InputEvent& event) { input_->handle(event); };
  s.onDisconnected = [this](const std::optional<Uuid>& id) {
    // Only a phone that logged in can have pressed anything.
    if (id) input_->phoneLeft();
  };
  s.onPairingLocked = [this] {
    std::lock_guard lock(shared_.mutex);
    shared_.comparison.reset();
  };
  s.statusProvider = [this] { return status_->value(); };
  s.statusInterval = options_.statusInterval.value_or(15.0);
}

void HostApp::openPairingWindow() {
  std::optional<std::string> code = server_->openPairing(kPairingWindowSeconds);
  if (!code) {
    console_.log("can't pair now: the service is switched off or not listening yet");
    return;
  }
  console_.out(*code);
  if (auto matrix = encodeQr(*code)) console_.out(drawQr(*matrix));
  console_.log("pairing window open for 120 s");
}

void HostApp::handleLine(std::string_view line) {
  std::optional<std::pair<std::string, std::string>> comparison;
  {
    std::lock_guard lock(shared_.mutex);
    comparison = shared_.comparison;
  }
  if (comparison) {
    if (std::optional<bool> answer = parseAnswer(line)) {
      {
        std::lock_guard lock(shared_.mutex);
        shared_.comparison.reset();
      }
      server_->confirm(comparison->first, *answer);
      return;
    }
  }
  std::optional<HostCommand> command = parseHostCommand(line);
  if (!command) {
    if (comparison) {
      console_.out(comparisonQuestion(comparison->second, comparison->first));
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
      TrustStore trust;
      {
        std::lock_guard lock(shared_.mutex);
        trust = shared_.trust;
      }
      std::string text = deviceList(trust);
      if (text.empty()) text = "no paired phones\n";
      text += "connections: " + std::to_string(server_->clientCount()) +
              (trust.killSwitch() ? ", switched off" : "");
      console_.out(text);
      return;
    }
    case HostCommand::Kind::revoke:
      server_->revoke(*command->id);
      console_.out("revoked " + command->id->text());
      return;
    case HostCommand::Kind::forget:
      server_->forget(*command->id);
      console_.out("forgot " + command->id->text());
      return;
    case HostCommand::Kind::off:
      server_->setKillSwitch(true);
      return;
    case HostCommand::Kind::on:
      server_->setKillSwitch(false);
      return;
    case HostCommand::Kind::quit:
      running_ = false;
      return;
  }
}

int HostApp::run(int signalFd) {
  vault_.emplace(options_.stateDir.value_or(MacVault::defaultDirectory()));
  std::string name = options_.name.value_or(systemHostName());
  if (name.empty()) name = "Mac";
  DeviceIdentity identity = vault_->loadIdentity(name);
  bool trustSetAside = false;
  TrustStore trust = vault_->loadTrust(&trustSetAside);
  if (trustSetAside) {
    console_.log("the stored trust store could not be read; it is kept as " +
                 (vault_->directory() / "trust.unusable*").string() +
                 " and the service starts switched off");
  }
  shared_.trust = trust;
  std::string advertised = options_.advertisedHost.value_or(
      advertisedHostName(systemHostName(), systemLocalHostName()));

  status_ = std::make_unique<StatusRefresher>(identity.name());
  desktop_ = makeDesktop(options_.display, SessionEnvironment::current(),
                         [this](const std::string& line) { console_.log(line); });
  input_ = std::make_unique<DesktopInput>(desktop_.get());
  HostServer::Environment environment;
  // A virtual monitor per stream while the desktop can be captured, else the test pattern.
  // Capture times of both count from the monotonic clock's zero, so a phone on this machine
  // can measure latency.
  environment.makeSource = [backend = desktop_.get()](int width, int height) {
    return makeStreamSource(backend, width, height, [] {
      return std::make_unique<TestPatternSource>(TestPatternSource::Clock{},
                                                 std::chrono::steady_clock::time_point{});
    });
  };
  HevcEncoderOptions encoderOptions;
  encoderOptions.onLog = [this](const std::string& line) { console_.log(line); };
  environment.encoders = std::make_shared<HevcEncoderFactory>(std::move(encoderOptions));
  environment.sleepAssertions = std::make_shared<LinuxSleepAssertions>(
      [this](const std::string& line) { console_.log(line); },
      desktop_ && desktop_->name() == "x11" ? SessionEnvironment::current().display : std::nullopt);
  server_ = HostServer::make(identity, trust, HostServer::Config(identity.name(), advertised),
                             HostServer::Timing{}, std::move(environment));
  installCallbacks();
  if (options_.autoConfirm) {
    console_.log("auto-confirm: code comparison is disabled and every pairing is accepted; "
                 "for demos and tests only");
  }

  std::uint16_t port = options_.port.value_or(loadListenPort(*vault_));
  server_->start(port);
  if (trust.killSwitch()) {
    server_->setKillSwitch(true);
    console_.log("switched off; type \"on\" to listen");
  }

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
    pollfd fds[3] = {{signalFd, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {terminal, POLLIN, 0}};
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
    if (fds[1].revents & POLLIN) {
      std::uint64_t value = 0;
      [[maybe_unused]] ssize_t n = ::read(wakeFd_, &value, sizeof value);
      bool ready = false;
      {
        std::lock_guard lock(shared_.mutex);
        ready = shared_.listeningReported;
      }
      if (options_.pair && ready && !pairingOpened_) {
        pairingOpened_ = true;
        openPairingWindow();
      }
    }
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

  server_->stop();
  server_.reset();
  status_.reset();
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
  int status = app.run(signalFd);
  ::close(signalFd);
  ::close(wakeFd);
  return status;
}
