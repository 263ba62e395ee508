// Start at login through an XDG autostart entry, read back from the file every time.

#include "desktop/linux/autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("lb-autostart-" + std::to_string(::getpid()));
    fs::remove_all(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string entryText() const {
    std::ifstream in(root_ / "autostart" / Autostart::kFileName);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path root_;
};

TEST_F(AutostartTest, EnableWritesAnEntryThatStartsTheProgramAndDisableRemovesIt) {
  Autostart autostart(root_ / "autostart");
  EXPECT_FALSE(autostart.enabled());
  ASSERT_TRUE(autostart.enable("/opt/lumen brook/bin/lumenbrook").ok());
  EXPECT_TRUE(autostart.enabled());
  const std::string text = entryText();
  EXPECT_TRUE(text.starts_with("[Desktop Entry]\n")) << text;
  EXPECT_NE(text.find("\nType=Application\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nExec=\"/opt/lumen brook/bin/lumenbrook\"\n"), std::string::npos) << text;
  // Nothing but the entry is left in the directory.
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "autostart"), fs::directory_iterator{}), 1);

  ASSERT_TRUE(autostart.enable("/usr/bin/lumenbrook").ok());  // replaced, not appended
  EXPECT_NE(entryText().find("\nExec=\"/usr/bin/lumenbrook\"\n"), std::string::npos);
  EXPECT_EQ(entryText().find("lumen brook"), std::string::npos);

  ASSERT_TRUE(autostart.disable().ok());
  EXPECT_FALSE(autostart.enabled());
  EXPECT_FALSE(fs::exists(autostart.entry()));
  EXPECT_TRUE(autostart.disable().ok());  // nothing to remove is fine
}

TEST_F(AutostartTest, AnEntrySwitchedOffByTheDesktopReadsAsOff) {
  Autostart autostart(root_ / "autostart");
  for (const char* off : {"Hidden=true", "X-GNOME-Autostart-enabled=false", "Hidden = TRUE"}) {
    fs::create_directories(root_ / "autostart");
    std::ofstream(autostart.entry()) << "[Desktop Entry]\nType=Application\nExec=lumenbrook\n" << off << "\n";
    EXPECT_FALSE(autostart.enabled()) << off;
  }
  // The same keys in another group are not the entry's.
  std::ofstream(autostart.entry()) << "[Desktop Entry]\nExec=lumenbrook\n[Desktop Action x]\nHidden=true\n";
  EXPECT_TRUE(autostart.enabled());
}

TEST_F(AutostartTest, ExecIsQuotedAsTheFormatRequires) {
  EXPECT_EQ(Autostart::execValue("/usr/bin/lumenbrook"), "\"/usr/bin/lumenbrook\"");
  EXPECT_EQ(Autostart::execValue("/a b/c\"d$e`f\\g%h"), "\"/a b/c\\\"d\\$e\\`f\\\\g%%h\"");
}

TEST_F(AutostartTest, FailuresAreSentences) {
  Autostart autostart(root_ / "autostart");
  auto relative = autostart.enable("bin/lumenbrook");
  ASSERT_FALSE(relative.ok());
  EXPECT_EQ(relative.error(), "the program to start is not an absolute path: bin/lumenbrook");

  // A file where the directory should be.
  fs::create_directories(root_);
  std::ofstream(root_ / "blocked") << "x";
  auto blocked = Autostart(root_ / "blocked").enable("/usr/bin/lumenbrook");
  ASSERT_FALSE(blocked.ok());
  EXPECT_TRUE(blocked.error().starts_with("can't create " + (root_ / "blocked").string())) << blocked.error();
}

TEST(AutostartDirectory, FollowsXdgConfigHome) {
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  const std::string keep = saved ? saved : "";
  ::setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
  EXPECT_EQ(Autostart::defaultDirectory(), fs::path("/tmp/cfg/autostart"));
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored, as XDG base directories must be absolute
  EXPECT_EQ(Autostart::defaultDirectory().filename(), "autostart");
  EXPECT_NE(Autostart::defaultDirectory(), fs::path("relative/autostart"));
  if (saved) ::setenv("XDG_CONFIG_HOME", keep.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace lumenbrook
