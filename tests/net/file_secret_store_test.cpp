#include "net/file_secret_store.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using ::testing::UnorderedElementsAre;

class FileSecretStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "lumenbrook-files-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(templ.data()));
    dir = templ;
  }
  void TearDown() override { fs::remove_all(dir); }

  fs::path dir;
};

TEST_F(FileSecretStoreTest, PlainNamesOnly) {
  for (const char* good : {"trust", "trust.unusable", "trust.unusable-2", "listenPort", "a_b"}) {
    EXPECT_TRUE(FileSecretStore::plainName(good)) << good;
  }
  for (const char* bad :
       {"", ".", "..", ".trust.abcdef", "a/b", "../x", "trust ", "tr\xc3\xbcst"}) {
    EXPECT_FALSE(FileSecretStore::plainName(bad)) << bad;
  }
}

TEST_F(FileSecretStoreTest, ListsItemsButNotTheTemporariesOfInterruptedSaves) {
  FileSecretStore store(dir / "missing");
  EXPECT_EQ(store.accounts(), std::vector<std::string>{});  // nothing saved yet

  FileSecretStore files(dir);
  ASSERT_TRUE(files.save("trust", toBytes("a")));
  ASSERT_TRUE(files.save("trust.unusable", toBytes("b")));
  files.setBeforeReplaceHook([](const fs::path&) { return false; });
  EXPECT_FALSE(files.save("identity", toBytes("interrupted")));
  auto names = files.accounts();
  ASSERT_TRUE(names);
  EXPECT_THAT(*names, UnorderedElementsAre("trust", "trust.unusable"));
  EXPECT_FALSE(files.exists("identity"));
}

TEST_F(FileSecretStoreTest, RemoveTakesTheLeftoversOfInterruptedSavesAndAMissingItemIsGone) {
  FileSecretStore files(dir);
  ASSERT_TRUE(files.save("trust", toBytes("old")));
  files.setBeforeReplaceHook([](const fs::path&) { return false; });
  EXPECT_FALSE(files.save("trust", toBytes("new")));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);

  EXPECT_TRUE(files.remove("trust"));
  EXPECT_TRUE(fs::is_empty(dir));
  EXPECT_TRUE(files.remove("trust"));
  EXPECT_FALSE(files.remove("../trust"));
}

TEST_F(FileSecretStoreTest, MoveRenamesAndNeverWritesOverAnItem) {
  FileSecretStore files(dir);
  ASSERT_TRUE(files.save("trust", toBytes("bad")));
  ASSERT_TRUE(files.save("trust.unusable", toBytes("older")));
  EXPECT_FALSE(files.move("trust", "trust.unusable"));
  EXPECT_EQ(files.load("trust.unusable"), toBytes("older"));
  EXPECT_TRUE(files.move("trust", "trust.unusable-2"));
  EXPECT_FALSE(files.exists("trust"));
  EXPECT_EQ(files.load("trust.unusable-2"), toBytes("bad"));
  EXPECT_FALSE(files.move("missing", "missing.unusable"));
}

}  // namespace
}  // namespace lumenbrook
