#include "net/private_file.h"

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

std::string contentOf(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class PrivateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("lb-private-file-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    ASSERT_TRUE(makeDirectories(dir_ / "a" / "b"));
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::size_t entries() const {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_ / "a" / "b")) ++n;
    return n;
  }

  fs::path dir_;
};

TEST_F(PrivateFileTest, MadeDirectoriesAreOwnerOnlyAndAFileInTheWayIsRefused) {
  struct stat st{};
  ASSERT_EQ(::stat((dir_ / "a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  std::ofstream(dir_ / "file") << "x";
  EXPECT_FALSE(makeDirectories(dir_ / "file"));
  EXPECT_FALSE(makeDirectories({}));
}

TEST_F(PrivateFileTest, ReplacesTheWholeContentOwnerOnly) {
  const fs::path file = dir_ / "a" / "b" / "secret";
  ASSERT_TRUE(replaceFile(file, asBytes("a longer first content")).ok());
  ASSERT_TRUE(replaceFile(file, asBytes("second")).ok());
  EXPECT_EQ(contentOf(file), "second");
  struct stat st{};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(entries(), 1u) << "no temporary is left behind";
}

TEST_F(PrivateFileTest, AnInterruptedSaveKeepsTheOldContentAndTheNextSaveClearsItsTemporary) {
  const fs::path file = dir_ / "a" / "b" / "secret";
  ASSERT_TRUE(replaceFile(file, asBytes("old")).ok());
  fs::path temporary;
  auto crashed = replaceFile(file, asBytes("new"), [&](const fs::path& t) {
    temporary = t;
    return false;
  });
  ASSERT_FALSE(crashed.ok());
  EXPECT_EQ(contentOf(file), "old");
  EXPECT_EQ(contentOf(temporary), "new");
  EXPECT_EQ(entries(), 2u);

  ASSERT_TRUE(replaceFile(file, asBytes("newer")).ok());
  EXPECT_EQ(contentOf(file), "newer");
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_EQ(entries(), 1u);
}

TEST_F(PrivateFileTest, AMissingDirectoryFailsWithTheSystemsText) {
  auto result = replaceFile(dir_ / "missing" / "secret", asBytes("x"));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "No such file or directory");
  EXPECT_FALSE(replaceFile(dir_ / "a" / "b" / "", asBytes("x")).ok());
}

}  // namespace
}  // namespace lumenbrook
