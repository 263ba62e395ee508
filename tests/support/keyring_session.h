#pragma once
// A session bus and a gnome-keyring of a test's own: a private dbus-daemon (nothing
// bus-activated, so no prompter either) and gnome-keyring-daemon with its own HOME and
// XDG_RUNTIME_DIR under a temporary directory. While it lives, this process's
// DBUS_SESSION_BUS_ADDRESS points at the bus; the previous value comes back afterwards.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/private_bus.h"

extern char** environ;

namespace lumenbrook::testing {

class KeyringSession {
 public:
  enum class Keyring {
    none,      // the bus only: no Secret Service answers
    unlocked,  // a login keyring, created and unlocked with a password
    locked,    // the same keyring, locked again
  };

  explicit KeyringSession(Keyring keyring) {
    char pattern[] = "/tmp/lb-keyring-XXXXXX";
    if (!::mkdtemp(pattern)) {
      why_ = "no temporary directory";
      return;
    }
    dir_ = pattern;
    std::filesystem::create_directories(dir_ + "/home");
    std::filesystem::create_directories(dir_ + "/run");
    std::filesystem::permissions(dir_ + "/run", std::filesystem::perms::owner_all);
    const std::string socket = dir_ + "/bus";
    std::ofstream(dir_ + "/bus.conf") << privateBusConfig(socket, "session");
    address_ = "unix:path=" + socket;
    if (const char* v = std::getenv("DBUS_SESSION_BUS_ADDRESS")) saved_ = v;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);

    dbus_ = spawn({"dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--nofork", "--nopidfile"},
                  std::nullopt);
    for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i) ::usleep(10'000);
    if (dbus_ <= 0 || !std::filesystem::exists(socket)) {
      why_ = "dbus-daemon did not start";
      return;
    }
    if (keyring == Keyring::none) return;
    if (!startKeyring()) return;
    if (keyring == Keyring::locked && !lock()) why_ = "the keyring could not be locked";
  }

  ~KeyringSession() {
    if (keyring_ > 0) ::kill(keyring_, SIGCONT);
    for (pid_t pid : {keyring_, dbus_}) {
      if (pid <= 0) continue;
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
    if (saved_) ::setenv("DBUS_SESSION_BUS_ADDRESS", saved_->c_str(), 1);
    else ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  KeyringSession(const KeyringSession&) = delete;
  KeyringSession& operator=(const KeyringSession&) = delete;

  bool ok() const { return why_.empty(); }
  const std::string& why() const { return why_; }

  // Stops the keyring daemon: it keeps its name on the bus but answers nothing, as a hung
  // keyring would. The destructor lets it go on before ending it.
  void freeze() {
    if (keyring_ > 0) ::kill(keyring_, SIGSTOP);
  }

  bool lock() {
    return run("gdbus call --address " + address_ +
               " -d org.freedesktop.secrets -o /org/freedesktop/secrets"
               " -m org.freedesktop.Secret.Service.Lock"
               " \"[objectpath '/org/freedesktop/secrets/collection/login']\"")
               .find("collection/login") != std::string::npos;
  }

  // What `secret-tool ARGS` prints against this keyring (stdout only).
  std::string secretTool(const std::string& args) const {
    return run("DBUS_SESSION_BUS_ADDRESS=" + address_ + " secret-tool " + args + " 2>/dev/null");
  }

 private:
  static std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
      char buffer[512];
      std::size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
      ::pclose(p);
    }
    return out;
  }

  bool secretsAnswer() const {
    return run("dbus-send --bus=" + address_ +
               " --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus"
               " org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null")
               .find("boolean true") != std::string::npos;
  }

  bool startKeyring() {
    if (::access("/usr/bin/gnome-keyring-daemon", X_OK) != 0) {
      why_ = "gnome-keyring-daemon is not installed";
      return false;
    }
    // --unlock reads the password from stdin; a fresh HOME gets a "login" keyring with it,
    // which becomes the default collection.
    keyring_ = spawn({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
                     std::string("test-password"));
    for (int i = 0; i < 500 && !secretsAnswer(); ++i) ::usleep(10'000);
    if (keyring_ <= 0 || !secretsAnswer()) {
      why_ = "gnome-keyring-daemon did not take its name on the bus";
      return false;
    }
    return true;
  }

  // Runs `args` with this session's HOME, XDG_RUNTIME_DIR and bus; `input` goes to its stdin.
  pid_t spawn(std::vector<std::string> args, const std::optional<std::string>& input) const {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string v = *e;
      if (v.starts_with("HOME=") || v.starts_with("XDG_RUNTIME_DIR=") ||
          v.starts_with("DBUS_SESSION_BUS_ADDRESS=") || v.starts_with("DISPLAY=")) {
        continue;
      }
      env.push_back(v);
    }
    env.push_back("HOME=" + dir_ + "/home");
    env.push_back("XDG_RUNTIME_DIR=" + dir_ + "/run");
    env.push_back("DBUS_SESSION_BUS_ADDRESS=" + address_);
    int in[2] = {-1, -1};
    if (input && ::pipe(in) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(input ? in[0] : null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (input) {
        ::close(in[0]);
        ::close(in[1]);
      }
      std::vector<char*> argv, envp;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      for (auto& e : env) envp.push_back(e.data());
      envp.push_back(nullptr);
      ::execvpe(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    if (input) {
      ::close(in[0]);
      [[maybe_unused]] ssize_t written = ::write(in[1], input->data(), input->size());
      ::close(in[1]);
    }
    return pid;
  }

  std::string dir_;
  std::string address_;
  std::string why_;
  std::optional<std::string> saved_;
  pid_t dbus_ = -1;
  pid_t keyring_ = -1;
};

}  // namespace lumenbrook::testing
