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
#include "tests/support/child_process.h"

extern char** environ;

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Events;
using testing::PhoneHarness;

// The built lumenbrook-host, its secrets in files, with a pseudo-terminal as its standard input
// when asked for.
class HostProcess : public testing::ChildProcess {
 public:
  explicit HostProcess(const std::vector<std::string>& args, bool terminal = false)
      : ChildProcess(LB_HOST_EXECUTABLE, withFiles(args), terminal) {}

 private:
  // Never the keyring of whoever runs the tests.
  static std::vector<std::string> withFiles(std::vector<std::string> args) {
    args.insert(args.begin(), {"--secrets", "files"});
    return args;
  }
};

class HostExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumenbrook-host-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    // The host reads and removes its start-at-login entry there, never in the user's own, and
    // finds no keyring to store into or wipe.
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir / "no-bus").string()).c_str(), 1);
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

TEST_F(HostExecutableTest, RemovingEverythingLeavesNoPairingIdentityPortOrLoginEntry) {
  const fs::path state = dir / "state";
  const fs::path entry = dir / "config" / "autostart" / "lumenbrook.desktop";
  fs::create_directories(entry.parent_path());
  std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=lumenbrook\n";
  HostProcess host({"--pair", "--auto-confirm", "--state-dir", state.string(), "--port", "0",
                    "--advertised-host", "127.0.0.1", "--display", "pattern"},
                   /*terminal=*/true);
  auto code = HostProcess::lineStartingWith(host.stdoutLines, "LUMENBROOK-PAIR-1:");
  ASSERT_TRUE(code);
  PhoneHarness phone;
  ASSERT_TRUE(phone.pair(*code));
  ASSERT_TRUE(phone.codes.waitNth(1));
  phone.confirm(true);
  ASSERT_TRUE(phone.paired.waitNth(1));
  const Bytes identity = MacVault(state).load(MacVault::identityAccount).value();
  ASSERT_EQ(MacVault(state).loadTrust().devices().size(), 1u);
  ASSERT_NE(loadListenPort(MacVault(state)), 0);

  ASSERT_TRUE(host.type("remove-everything"));
  EXPECT_EQ(host.waitForExit(), 0);
  EXPECT_FALSE(MacVault(state).load(MacVault::identityAccount));
  EXPECT_FALSE(MacVault(state).load(MacVault::trustAccount));
  EXPECT_EQ(loadListenPort(MacVault(state)), 0);
  EXPECT_FALSE(fs::exists(entry));

  HostProcess again({"--state-dir", state.string(), "--port", "0", "--display", "pattern"});
  ASSERT_TRUE(HostProcess::anyContains(again.stderrLines, "listening on port"));
  EXPECT_NE(MacVault(state).load(MacVault::identityAccount), identity);
  EXPECT_TRUE(MacVault(state).loadTrust().devices().empty());
  EXPECT_EQ(again.terminate(), 0);
}

TEST_F(HostExecutableTest, RefusesAnUnknownOption) {
  HostProcess host({"--frobnicate"});
  ASSERT_TRUE(host.started());
  EXPECT_TRUE(HostProcess::anyContains(host.stderrLines, "unknown option --frobnicate"));
  EXPECT_EQ(host.waitForExit(), 2);
}

}  // namespace
}  // namespace lumenbrook
