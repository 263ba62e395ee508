// The built tray app: one instance per user, later starts hand their request to it, and it
// ends cleanly when the session asks it to.

#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/app/tray/qt_environment.h"
#include "tests/support/child_process.h"

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;

TEST(TrayExecutable, ASecondStartHandsItsRequestToTheRunningInstance) {
  LB_REQUIRE_DISPLAY();
  const fs::path dir = fs::temp_directory_path() / ("lb-tray-exe-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  // The environment's XDG_RUNTIME_DIR (private to this test run) holds the instance's socket.
  const std::vector<std::string> args{"--state-dir", dir.string(), "--secrets", "files",
                                      "--display", "pattern", "--port", "0",
                                      "--advertised-host", "127.0.0.1"};
  const std::vector<std::string> env{"DISPLAY=" + testing::trayDisplay()};
  ChildProcess first(LB_TRAY_EXECUTABLE, args, false, env);
  ASSERT_TRUE(ChildProcess::anyContains(first.stderrLines, "listening on port"))
      << ChildProcess::joined(first.stderrLines);

  std::vector<std::string> pair = args;
  pair.push_back("--pair");
  ChildProcess second(LB_TRAY_EXECUTABLE, pair, false, env);
  EXPECT_EQ(second.waitForExit(), 0) << ChildProcess::joined(second.stderrLines);
  EXPECT_TRUE(ChildProcess::anyContains(first.stderrLines, "pairing window open for 120 s"));
  for (const std::string& line : second.stderrLines.items()) {
    EXPECT_EQ(line.find("listening"), std::string::npos) << line;
  }

  EXPECT_EQ(first.terminate(), 0);
  // Gone with it: a new start is the running instance again.
  ChildProcess third(LB_TRAY_EXECUTABLE, args, false, env);
  EXPECT_TRUE(ChildProcess::anyContains(third.stderrLines, "listening on port"));
  EXPECT_EQ(third.terminate(), 0);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace lumenbrook
