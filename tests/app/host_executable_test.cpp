// The built lumenbrook-host as a child process: it prints a pairing code, a phone on the
// test's side pairs and logs in over loopback, the trust store and the port are saved, and a
// second launch on the same state directory takes the phone back on the same port.

#include <fcntl.h>
#include <stdlib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/listen_port.h"
#include "net/mac_vault.h"
#include "tests/net/host_server_fixture.h"

extern char** environ;

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Events;
using testing::PhoneHarness;

// One run of the executable with its standard output and error read line by line.
class HostProcess {
 public:
  // With `terminal` its standard input is a pseudo-terminal the test types into (type());
  // otherwise /dev/null.
  explicit HostProcess(const std::vector<std::string>& args, bool terminal = false) {
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
    std::vector<std::string> all = {LB_HOST_EXECUTABLE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    readers_.emplace_back([this, fd = out[0]] { collect(fd, stdoutLines); });
    readers_.emplace_back([this, fd = err[0]] { collect(fd, stderrLines); });
  }
  ~HostProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (auto& t : readers_) t.join();
    if (terminal_ >= 0) ::close(terminal_);
  }

  bool started() const { return pid_ > 0; }

  // Types one line on the terminal.
  bool type(const std::string& line) {
    std::string text = line + "\n";
    return ::write(terminal_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // The first line of `lines` that starts with `prefix`, once it arrived.
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

  // Sends SIGTERM and returns the exit status, or -1 when it did not end in time.
  int terminate() {
    ::kill(pid_, SIGTERM);
    return waitForExit();
  }
  int waitForExit() {
    auto deadline = std::chrono::steady_clock::now() + testing::kEventTimeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(5ms);
    }
    return -1;
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

class HostExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumenbrook-host-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(HostExecutableTest, PairsALoopbackPhoneSavesTrustAndTakesItBackAfterARestart) {
  PhoneHarness phone("Loopback phone");
  PhoneClient::Pairing pairing;
  {
    HostProcess host({"--pair", "--auto-confirm", "--state-dir", dir.string(), "--port", "0",
                      "--advertised-host", "127.0.0.1", "--name", "Test-Host"});
    ASSERT_TRUE(host.started());
    auto code = HostProcess::lineStartingWith(host.stdoutLines, "LUMENBROOK-PAIR-1:");
    ASSERT_TRUE(code);
    EXPECT_TRUE(HostProcess::anyContains(host.stderrLines, "code comparison is disabled"));
    // The code's QR drawing follows on stdout: one line per two module rows, in blocks.
    EXPECT_TRUE(host.stdoutLines.waitUntil(
        [](const std::vector<std::string>& all) { return all.size() >= 20; }));
    EXPECT_NE(host.stdoutLines.items()[1].find("\u2588"), std::string::npos);

    ASSERT_TRUE(phone.pair(*code));
    ASSERT_TRUE(phone.codes.waitNth(1));
    phone.confirm(true);
    auto paired = phone.paired.waitNth(1);
    ASSERT_TRUE(paired);
    pairing = *paired;
    EXPECT_EQ(pairing.hostName, "Test-Host");
    EXPECT_EQ(pairing.mac.host, "127.0.0.1");

    ASSERT_TRUE(testing::loginPhone(phone, pairing.mac.port, pairing));
    EXPECT_EQ(phone.envelopes.items().back(),
              (Envelope{ControlMessage{ControlMessage::Welcome{"Test-Host", 1920, 1080, 60}}}));

    // Saved before the Mac's confirmation went out, so already on disk now.
    TrustStore saved = MacVault(dir).loadTrust();
    ASSERT_EQ(saved.devices().count(phone.identity.id()), 1u);
    EXPECT_EQ(saved.devices().at(phone.identity.id()).psk, pairing.psk);
    EXPECT_EQ(loadListenPort(MacVault(dir)), pairing.mac.port);

    EXPECT_EQ(host.terminate(), 0);
    EXPECT_TRUE(HostProcess::anyContains(host.stderrLines, "stopping on signal 15"));
  }

  // The second launch remembers its port and its phone.
  HostProcess again({"--state-dir", dir.string(), "--name", "Test-Host"});
  ASSERT_TRUE(again.started());
  EXPECT_TRUE(HostProcess::anyContains(
      again.stderrLines, "listening on port " + std::to_string(pairing.mac.port) + " "));
  ASSERT_TRUE(testing::loginPhone(phone, pairing.mac.port, pairing));
  EXPECT_EQ(again.terminate(), 0);
}

TEST_F(HostExecutableTest, OnATerminalItAsksForTheCodeComparisonAndTakesCommands) {
  HostProcess host({"--pair", "--state-dir", dir.string(), "--port", "0", "--advertised-host",
                    "127.0.0.1", "--name", "Test-Host"},
                   /*terminal=*/true);
  ASSERT_TRUE(host.started());
  auto code = HostProcess::lineStartingWith(host.stdoutLines, "LUMENBROOK-PAIR-1:");
  ASSERT_TRUE(code);
  EXPECT_EQ(host.stdoutLines.items()[0].rfind("Commands: pair, list", 0), 0u);

  PhoneHarness phone("Desk phone");
  ASSERT_TRUE(phone.pair(*code));
  auto shown = phone.codes.waitNth(1);
  ASSERT_TRUE(shown);
  phone.confirm(true);
  const std::string question =
      "Does Desk phone show " + shown->substr(0, 3) + " " + shown->substr(3) + "? [y/n]";
  ASSERT_TRUE(HostProcess::lineStartingWith(host.stdoutLines, question));
  EXPECT_EQ(phone.paired.size(), 0u);  // nothing is stored before the Mac's user answers

  ASSERT_TRUE(host.type("y"));
  ASSERT_TRUE(phone.paired.waitNth(1));
  ASSERT_TRUE(host.type("list"));
  EXPECT_TRUE(HostProcess::anyContains(host.stdoutLines,
                                       phone.identity.id().text() + "  Desk phone"));
  ASSERT_TRUE(host.type("quit"));
  EXPECT_EQ(host.waitForExit(), 0);
  EXPECT_EQ(MacVault(dir).loadTrust().devices().count(phone.identity.id()), 1u);
}

// A damaged trust store must not turn into an open service with no phones, whose next change
// would store over every pairing.
TEST_F(HostExecutableTest, ADamagedTrustStoreIsKeptAndTheServiceStartsSwitchedOff) {
  MacVault(dir).loadIdentity("Test-Host");
  ASSERT_TRUE(MacVault(dir).save("trust", asBytes("{\"devices\": {broken")));
  HostProcess host({"--state-dir", dir.string(), "--port", "0", "--display", "pattern"}, true);
  ASSERT_TRUE(host.started());
  EXPECT_TRUE(HostProcess::anyContains(host.stderrLines, "the stored trust store could not be read"));
  EXPECT_TRUE(HostProcess::anyContains(host.stderrLines, "switched off; type \"on\" to listen"));
  ASSERT_TRUE(host.type("quit"));
  EXPECT_EQ(host.waitForExit(), 0);
  std::ifstream kept(dir / "trust.unusable");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "{\"devices\": {broken");
}

TEST_F(HostExecutableTest, RefusesAnUnknownOption) {
  HostProcess host({"--frobnicate"});
  ASSERT_TRUE(host.started());
  EXPECT_TRUE(HostProcess::anyContains(host.stderrLines, "unknown option --frobnicate"));
  EXPECT_EQ(host.waitForExit(), 2);
}

}  // namespace
}  // namespace lumenbrook
