// The built lumenbrook-phone against the built lumenbrook-host, both as child processes on
// loopback with temporary state: pairing with --yes, then a status report; and state files
// the phone refuses to touch.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/util/json.h"
#include "phone/phone_state.h"
#include "tests/net/host_server_fixture.h"

extern char** environ;

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Events;

// One run of an executable with its output read line by line. Standard input is /dev/null,
// or with `terminal` a pseudo-terminal the test types into (type()).
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args,
          bool terminal = false) {
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
    if (posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    readers_.emplace_back([this, fd = out[0]] { collect(fd, stdoutLines); });
    readers_.emplace_back([this, fd = err[0]] { collect(fd, stderrLines); });
  }
  ~Process() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (auto& t : readers_) t.join();
    if (terminal_ >= 0) ::close(terminal_);
  }

  bool started() const { return pid_ > 0; }

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
      std::this_thread::sleep_for(5ms);
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

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class PhoneExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumenbrook-phone-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    state = dir / "phone.json";
  }
  void TearDown() override { fs::remove_all(dir); }

  std::unique_ptr<Process> startHost() {
    auto host = std::make_unique<Process>(
        LB_HOST_EXECUTABLE,
        std::vector<std::string>{"--pair", "--auto-confirm", "--state-dir",
                                 (dir / "host").string(), "--port", "0", "--advertised-host",
                                 "127.0.0.1", "--name", "Test-Host"});
    return host;
  }
  static Process phone(const std::vector<std::string>& args, bool terminal = false) {
    return Process(LB_PHONE_EXECUTABLE, args, terminal);
  }

  fs::path dir;
  fs::path state;
};

TEST_F(PhoneExecutableTest, PairsWithYesThenLogsInForAStatusReport) {
  auto host = startHost();
  ASSERT_TRUE(host->started());
  auto code = Process::lineStartingWith(host->stdoutLines, "LUMENBROOK-PAIR-1:");
  ASSERT_TRUE(code);

  {
    Process pair = phone({"pair", *code, "--state", state.string(), "--yes", "--name", "Pocket"});
    ASSERT_EQ(pair.waitForExit(), 0) << Process::joined(pair.stderrLines);
    auto shown = Process::lineStartingWith(pair.stdoutLines, "Pairing code: ");
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->size(), std::string("Pairing code: 123 456").size()) << *shown;
    // The computer accepted the same code the phone showed.
    const std::string digits = shown->substr(14, 3) + shown->substr(18, 3);
    EXPECT_TRUE(Process::anyContains(host->stderrLines, "accepting code " + digits))
        << Process::joined(host->stderrLines);
    EXPECT_NE(Process::joined(pair.stderrLines).find("--yes: confirming the code without asking"),
              std::string::npos);
    EXPECT_TRUE(Process::lineStartingWith(pair.stdoutLines, "Paired with Test-Host at 127.0.0.1:"));
  }

  struct stat st{};
  ASSERT_EQ(::stat(state.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto saved = PhoneState::load(state);
  ASSERT_TRUE(saved.ok()) << saved.error();
  EXPECT_EQ(saved->identity().name(), "Pocket");
  ASSERT_EQ(saved->hosts().size(), 1u);
  EXPECT_EQ(saved->hosts()[0].name, "Test-Host");
  EXPECT_EQ(saved->hosts()[0].psk.size(), 32u);

  // The first report comes as soon as it is asked for; later ones no sooner than 10 s.
  Process status = phone({"status", "--state", state.string(), "--count", "1"});
  ASSERT_EQ(status.waitForExit(), 0) << Process::joined(status.stderrLines);
  auto report = Process::lineStartingWith(status.stdoutLines, "Test-Host: ");
  ASSERT_TRUE(report);
  EXPECT_NE(report->find(" GB free ("), std::string::npos) << *report;
  EXPECT_NE(report->find(" running, up "), std::string::npos) << *report;
  EXPECT_NE(Process::joined(status.stderrLines).find("logged in to Test-Host at 127.0.0.1:"),
            std::string::npos);

  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(PhoneExecutableTest, StreamsAShortRunAndPrintsItsFiguresAsJson) {
  auto host = startHost();
  ASSERT_TRUE(host->started());
  auto code = Process::lineStartingWith(host->stdoutLines, "LUMENBROOK-PAIR-1:");
  ASSERT_TRUE(code);
  {
    Process pair = phone({"pair", *code, "--state", state.string(), "--yes"});
    ASSERT_EQ(pair.waitForExit(), 0) << Process::joined(pair.stderrLines);
  }

  const fs::path snapshot = dir / "snapshot.png";
  const fs::path recording = dir / "stream.hevc";
  Process stream = phone({"stream", "--state", state.string(), "--screen", "320x240@1@30",
                          "--seconds", "2", "--json", "--snapshot", snapshot.string(),
                          "--record", recording.string()});
  ASSERT_EQ(stream.waitForExit(), 0) << Process::joined(stream.stderrLines);
  auto line = Process::lineStartingWith(stream.stdoutLines, "{");
  ASSERT_TRUE(line) << Process::joined(stream.stdoutLines);
  auto figures = parseJson(*line);
  ASSERT_TRUE(figures && figures->is_object()) << *line;
  EXPECT_GT(json::readInt<std::uint64_t>(json::member(*figures, "framesDecoded")), 0u) << *line;
  EXPECT_GE(json::readInt<std::uint64_t>(json::member(*figures, "keyframes")), 1u) << *line;
  EXPECT_EQ(json::readInt<int>(json::member(*figures, "width")), 320) << *line;
  EXPECT_EQ(json::readInt<int>(json::member(*figures, "height")), 240) << *line;
  EXPECT_TRUE(json::member(*figures, "latencyMedianMs").is_number()) << *line;

  const std::string png = readAll(snapshot);
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  // An Annex-B stream starts with a start code.
  const std::string hevc = readAll(recording);
  ASSERT_GT(hevc.size(), 4u);
  EXPECT_TRUE(hevc.starts_with(std::string("\0\0\0\1", 4)) ||
              hevc.starts_with(std::string("\0\0\1", 3)));
  host->terminate();
}

TEST_F(PhoneExecutableTest, OnATerminalItAsksWhetherTheComputerShowsTheSameCode) {
  const struct {
    std::vector<std::string> answers;
    int exit;
    std::string says;
    bool saved;
  } cases[] = {
      {{"maybe", "y"}, 0, "Paired with Test-Host", true},
      {{"n"}, 1, "You said the codes didn't match. Nothing was saved.", false},
  };
  for (const auto& c : cases) {
    fs::remove(state);
    auto host = startHost();
    auto code = Process::lineStartingWith(host->stdoutLines, "LUMENBROOK-PAIR-1:");
    ASSERT_TRUE(code);
    Process pair = phone({"pair", *code, "--state", state.string()}, /*terminal=*/true);
    auto shown = Process::lineStartingWith(pair.stdoutLines, "Pairing code: ");
    ASSERT_TRUE(shown);
    const std::string question = "Does the computer show " + shown->substr(14) + "? [y/n]";
    ASSERT_TRUE(Process::lineStartingWith(pair.stdoutLines, question))
        << Process::joined(pair.stdoutLines);
    for (const auto& answer : c.answers) ASSERT_TRUE(pair.type(answer));
    EXPECT_EQ(pair.waitForExit(), c.exit) << c.says;
    const std::string all = Process::joined(pair.stdoutLines) + Process::joined(pair.stderrLines);
    EXPECT_NE(all.find(c.says), std::string::npos) << all;
    EXPECT_EQ(fs::exists(state), c.saved) << c.says;
  }
}

TEST_F(PhoneExecutableTest, WithoutATerminalOrYesItDoesNotConfirmAndSavesNothing) {
  auto host = startHost();
  ASSERT_TRUE(host->started());
  auto code = Process::lineStartingWith(host->stdoutLines, "LUMENBROOK-PAIR-1:");
  ASSERT_TRUE(code);
  Process pair = phone({"pair", *code, "--state", state.string()});
  EXPECT_EQ(pair.waitForExit(), 1);
  EXPECT_TRUE(Process::lineStartingWith(pair.stdoutLines, "Pairing code: "));
  EXPECT_NE(Process::joined(pair.stderrLines).find("no terminal to ask on"), std::string::npos)
      << Process::joined(pair.stderrLines);
  EXPECT_FALSE(fs::exists(state));
}

TEST_F(PhoneExecutableTest, FailuresEndWithASentenceAndANonZeroExit) {
  { std::ofstream(state) << "{\"hosts\":"; }
  const std::string damaged = readAll(state);
  const fs::path empty = dir / "empty.json";
  const struct {
    std::vector<std::string> args;
    std::string says;
    int exit;
  } cases[] = {
      {{"pair", "LUMENBROOK-PAIR-1:h=127.0.0.1&p=9&fp=" + std::string(32, 'a') + "&s=" +
                    std::string(32, 'b'),
        "--state", state.string(), "--yes"},
       "can't use the phone's state " + state.string(), 1},
      {{"status", "--state", state.string(), "--count", "1"},
       "can't use the phone's state " + state.string(), 1},
      {{"pair", "hello", "--state", empty.string()}, "this is not a pairing code", 1},
      {{"status", "--state", empty.string()}, "no paired computer", 1},
      {{"status", "--frobnicate"}, "unknown option --frobnicate (status)", 2},
  };
  for (const auto& c : cases) {
    Process run = phone(c.args);
    EXPECT_EQ(run.waitForExit(), c.exit) << c.says;
    EXPECT_NE(Process::joined(run.stderrLines).find(c.says), std::string::npos)
        << Process::joined(run.stderrLines);
  }
  EXPECT_EQ(readAll(state), damaged);
  EXPECT_FALSE(fs::exists(empty));
}

}  // namespace
}  // namespace lumenbrook
