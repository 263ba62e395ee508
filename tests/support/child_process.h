#pragma once
// Executables under test as child processes, their output read line by line.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/net/host_server_fixture.h"

extern char** environ;

namespace lumenbrook::testing {

// One run of an executable with its output read line by line. Standard input is /dev/null,
// or with `terminal` a pseudo-terminal the test types into (type()).
class ChildProcess {
 public:
  // `environment` entries ("NAME=value") replace the test's own of the same name.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
          bool terminal = false, const std::vector<std::string>& environment = {}) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    std::string input = "/dev/null";
    if (terminal) {
      terminal_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (terminal_ < 0 || ::grantpt(terminal_) != 0 || ::unlockpt(terminal_) != 0) return;
      input = ::ptsname(terminal_);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), terminal ? O_RDWR : O_RDONLY,
                                     0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    // A new session: the child has no controlling terminal to ask on.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::vector<std::string> env = environment;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const auto& mine : environment) replaced = replaced || mine.rfind(name, 0) == 0;
      if (!replaced) env.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    readers_.emplace_back([this, fd = out[0]] { collect(fd, stdoutLines); });
    readers_.emplace_back([this, fd = err[0]] { collect(fd, stderrLines); });
  }
  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (auto& t : readers_) t.join();
    if (terminal_ >= 0) ::close(terminal_);
  }

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  bool type(const std::string& line) {
    std::string text = line + "\n";
    return ::write(terminal_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // The exit status, or -1 when it did not end within `limit`.
  int waitForExit(std::chrono::milliseconds limit = testing::kEventTimeout) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        for (auto& t : readers_) t.join();
        readers_.clear();
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }
  int terminate() {
    ::kill(pid_, SIGTERM);
    return waitForExit();
  }

  static std::optional<std::string> lineStartingWith(const Events<std::string>& lines,
                                                     const std::string& prefix) {
    std::optional<std::string> found;
    lines.waitUntil([&](const std::vector<std::string>& all) {
      for (const auto& l : all) {
        if (l.rfind(prefix, 0) == 0) {
          found = l;
          return true;
        }
      }
      return false;
    });
    return found;
  }
  static bool anyContains(const Events<std::string>& lines, const std::string& part) {
    return lines.waitUntil([&](const std::vector<std::string>& all) {
      for (const auto& l : all) {
        if (l.find(part) != std::string::npos) return true;
      }
      return false;
    });
  }
  static std::string joined(const Events<std::string>& lines) {
    std::string out;
    for (const auto& l : lines.items()) out += l + "\n";
    return out;
  }

  Events<std::string> stdoutLines;
  Events<std::string> stderrLines;

 private:
  static void collect(int fd, Events<std::string>& lines) {
    std::string pending;
    char buffer[4096];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        lines.add(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
    }
    if (!pending.empty()) lines.add(pending);
    ::close(fd);
  }

  pid_t pid_ = -1;
  int terminal_ = -1;
  bool exited_ = false;
  std::vector<std::thread> readers_;
};

}  // namespace lumenbrook::testing
