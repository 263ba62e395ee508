// Names of applications from their desktop entries in a small XDG tree of the test's own.

#include "desktop/linux/desktop_entries.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;

class DesktopEntriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("lb-entries-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    for (const char* d : {"home", "local", "share"}) fs::create_directories(root_ / d / "applications");
  }
  void TearDown() override { fs::remove_all(root_); }

  // The directories in order of precedence: as $XDG_DATA_HOME, then $XDG_DATA_DIRS.
  std::vector<fs::path> dirs() const {
    return {root_ / "home/applications", root_ / "local/applications", root_ / "share/applications"};
  }
  void write(const std::string& where, const std::string& file, const std::string& text) {
    fs::path path = root_ / where / "applications" / file;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string app(const std::string& keys) {
    return "# comment\n[Desktop Entry]\nType=Application\nExec=true\n" + keys + "\n";
  }

  fs::path root_;
};

TEST_F(DesktopEntriesTest, NamesAnApplicationFromItsEntryElseByItsClass) {
  write("share", "org.example.Writer.desktop", app("Name=Writer\nStartupWMClass=WriterWindow"));
  write("share", "calc.desktop", app("Name=Calculator"));
  write("share", "Draw.desktop", app("Name=Drawing"));
  write("share", "kde/konsole.desktop", app("Name=Konsole"));
  // StartupWMClass comes before a file name that equals the class.
  write("share", "Viewer.desktop", app("Name=Old Viewer"));
  write("share", "image-viewer.desktop", app("Name=Image Viewer\nStartupWMClass=Viewer"));
  write("share", "spaced.desktop", app("Name = Two\\sWords \nName[de]=Zwei Wörter"));
  // Earlier directories win, for file names and window classes alike.
  write("home", "mail.desktop", app("Name=My Mail"));
  write("share", "mail.desktop", app("Name=Mail"));
  write("local", "browser-a.desktop", app("Name=Local Browser\nStartupWMClass=Browser"));
  write("share", "browser-b.desktop", app("Name=Shared Browser\nStartupWMClass=Browser"));
  // Hidden means deleted, and hides the shared entry of the same name.
  write("home", "old.desktop", app("Name=Old Mine\nHidden=true"));
  write("share", "old.desktop", app("Name=Old"));
  // An entry kept out of menus names its application, unless a shown one matches too.
  write("local", "tool-helper.desktop", app("Name=Tool Helper\nNoDisplay=true\nStartupWMClass=Tool"));
  write("share", "tool.desktop", app("Name=Tool Main\nStartupWMClass=Tool"));
  write("share", "settings.desktop", app("Name=Settings Daemon\nNoDisplay=true\nStartupWMClass=Settings"));
  // Broken or foreign files are ignored.
  write("share", "nogroup.desktop", "Type=Application\nName=No Group\n");
  write("share", "link.desktop", "[Desktop Entry]\nType=Link\nName=A Link\nURL=http://127.0.0.1/\n");
  write("share", "noname.desktop", app("Name[fr]=Sans nom"));
  write("share", "action.desktop", app("Icon=x") + "[Desktop Action new]\nName=New Window\n");
  write("share", "binary.desktop", std::string("\0\xff\xfe[\n=\n\0", 8));
  write("share", "notes.txt", app("Name=Not An Entry"));

  DesktopEntries entries(dirs());
  struct Case {
    const char* windowClass;
    const char* name;
  };
  const Case cases[] = {
      {"WriterWindow", "Writer"},      // StartupWMClass
      {"calc", "Calculator"},          // file name
      {"Calc", "Calculator"},          // file name in lower case
      {"Draw", "Drawing"},             // file name as it is
      {"kde-konsole", "Konsole"},      // a subdirectory's file ID
      {"Viewer", "Image Viewer"},
      {"spaced", "Two Words"},
      {"mail", "My Mail"},
      {"Browser", "Local Browser"},
      {"old", "old"},
      {"Tool", "Tool Main"},
      {"Settings", "Settings Daemon"},
      {"nogroup", "nogroup"},
      {"link", "link"},
      {"noname", "noname"},
      {"action", "action"},
      {"binary", "binary"},
      {"notes", "notes"},
      {"Unknown", "Unknown"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(entries.nameFor(c.windowClass), c.name) << c.windowClass;
}

TEST_F(DesktopEntriesTest, ReadsTheEntriesAgainOnlyWhenADirectoryChanged) {
  write("share", "calc.desktop", app("Name=Calculator"));
  // Older than the settling time, as directories mostly are.
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (const fs::path& d : dirs()) fs::last_write_time(d, past);

  DesktopEntries entries(dirs());
  EXPECT_EQ(entries.nameFor("calc"), "Calculator");
  EXPECT_EQ(entries.nameFor("draw"), "draw");
  EXPECT_EQ(entries.reads(), 1u);

  write("home", "draw.desktop", app("Name=Drawing"));
  EXPECT_EQ(entries.nameFor("draw"), "Drawing");
  EXPECT_EQ(entries.reads(), 2u);
  // A directory that goes away is noticed too.
  fs::remove_all(root_ / "home");
  EXPECT_EQ(entries.nameFor("draw"), "draw");
}

TEST(DesktopEntriesDirectories, FollowTheXdgBaseDirectoryRules) {
  struct Saved {
    const char* name;
    std::optional<std::string> value;
  };
  std::vector<Saved> saved;
  for (const char* name : {"XDG_DATA_HOME", "XDG_DATA_DIRS", "HOME"}) {
    const char* v = std::getenv(name);
    saved.push_back({name, v ? std::optional<std::string>(v) : std::nullopt});
  }
  using Dirs = std::vector<fs::path>;

  ::setenv("HOME", "/h", 1);
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("XDG_DATA_DIRS");
  EXPECT_EQ(DesktopEntries::defaultDirectories(),
            (Dirs{"/h/.local/share/applications", "/usr/local/share/applications", "/usr/share/applications"}));

  ::setenv("XDG_DATA_HOME", "/data", 1);
  ::setenv("XDG_DATA_DIRS", "/a:relative::/b/", 1);
  EXPECT_EQ(DesktopEntries::defaultDirectories(),
            (Dirs{"/data/applications", "/a/applications", "/b/applications"}));

  ::setenv("XDG_DATA_HOME", "relative", 1);  // ignored: the default instead
  EXPECT_EQ(DesktopEntries::defaultDirectories().front(), fs::path("/h/.local/share/applications"));

  for (const Saved& s : saved) {
    if (s.value) {
      ::setenv(s.name, s.value->c_str(), 1);
    } else {
      ::unsetenv(s.name);
    }
  }
}

}  // namespace
}  // namespace lumenbrook
