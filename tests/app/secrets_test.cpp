#include "app/secrets.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/listen_port.h"
#include "net/file_secret_store.h"
#include "tests/support/keyring_session.h"

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Keyring = testing::KeyringSession::Keyring;
using Items = std::map<std::string, std::string>;
using namespace std::chrono_literals;

// A keyring in memory that can refuse or garble what it is given.
class FakeKeyring final : public SecretStore {
 public:
  enum class Fault { none, refuseSave, garbleSave, refuseTrust };
  explicit FakeKeyring(Items items, Fault fault = Fault::none)
      : items_(std::move(items)), fault_(fault) {}

  std::optional<Bytes> load(std::string_view account) override {
    auto it = items_.find(std::string(account));
    if (it == items_.end()) return std::nullopt;
    return toBytes(it->second);
  }
  bool exists(std::string_view account) override { return items_.count(std::string(account)); }
  bool save(std::string_view account, ByteView bytes) override {
    if (fault_ == Fault::refuseSave || (fault_ == Fault::refuseTrust && account == "trust")) {
      return false;
    }
    std::string text(bytes.begin(), bytes.end());
    if (fault_ == Fault::garbleSave) text += "?";
    items_[std::string(account)] = text;
    return true;
  }
  bool remove(std::string_view account) override {
    items_.erase(std::string(account));
    return true;
  }
  std::optional<std::vector<std::string>> accounts() override {
    std::vector<std::string> names;
    for (const auto& [name, _] : items_) names.push_back(name);
    return names;
  }
  std::string description() const override { return "the fake keyring"; }

  const Items& items() const { return items_; }

 private:
  Items items_;
  Fault fault_;
};

class SecretsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "lumenbrook-secrets-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(templ.data()));
    dir = templ;
  }
  void TearDown() override { fs::remove_all(dir); }

  void writeFiles(const Items& items) {
    FileSecretStore files(dir);
    for (const auto& [name, text] : items) ASSERT_TRUE(files.save(name, toBytes(text)));
  }
  Items filesNow() {
    Items out;
    FileSecretStore files(dir);
    const std::vector<std::string> names = files.accounts().value_or(std::vector<std::string>{});
    for (const std::string& name : names) {
      auto bytes = files.load(name);
      out[name] = std::string(bytes->begin(), bytes->end());
    }
    return out;
  }
  SecretsLog collect() {
    return [this](const std::string& line) { lines.push_back(line); };
  }

  fs::path dir;
  std::vector<std::string> lines;
};

TEST_F(SecretsTest, MovesItemsToTheKeyringOnlyOnceEveryCopyReadsBack) {
  using Fault = FakeKeyring::Fault;
  struct Case {
    const char* name;
    Items files;
    Items keyring;
    Fault fault;
    Items filesAfter;
    Items keyringAfter;
    bool inKeyring;
    const char* logged;  // a part of the one line expected, or null for none
  };
  const Items both = {{"identity", "key"}, {"trust", "phones"}};
  const Case cases[] = {
      {"only in the files", both, {}, Fault::none, {}, both, true, "moved identity and trust"},
      {"nothing anywhere", {}, {}, Fault::none, {}, {}, true, nullptr},
      {"the keyring's differs", {{"identity", "old key"}}, {{"identity", "key"}}, Fault::none,
       {{"identity", "old key"}}, {{"identity", "key"}}, true, "differ from the keyring's"},
      {"the same in both", {{"trust", "phones"}}, {{"trust", "phones"}}, Fault::none, {},
       {{"trust", "phones"}}, true, nullptr},
      {"the keyring refuses", both, {}, Fault::refuseSave, both, {}, false, "could not be moved"},
      {"the keyring garbles", both, {}, Fault::garbleSave, both, {}, false, "could not be moved"},
      {"only the second fails", both, {}, Fault::refuseTrust, both, {}, false,
       "could not be moved"},
      {"set-aside copies stay", {{"trust.unusable", "bad"}, {"listenPort", "5"}}, {}, Fault::none,
       {{"trust.unusable", "bad"}, {"listenPort", "5"}}, {}, true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    writeFiles(c.files);
    lines.clear();
    auto keyring = std::make_shared<FakeKeyring>(c.keyring, c.fault);
    OpenedSecrets opened = useSecrets(SecretsChoice::automatic, dir,
                                      std::shared_ptr<SecretStore>(keyring), collect());
    EXPECT_EQ(filesNow(), c.filesAfter);
    EXPECT_EQ(keyring->items(), c.keyringAfter);
    EXPECT_EQ(opened.inKeyring, c.inKeyring);
    EXPECT_EQ(&opened.vault.store() == keyring.get(), c.inKeyring);
    EXPECT_EQ(opened.vault.directory(), dir);
    if (c.logged) {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_THAT(lines[0], HasSubstr(c.logged));
    } else {
      EXPECT_TRUE(lines.empty()) << lines.front();
    }
  }
}

TEST_F(SecretsTest, AKeyringThatCannotBeUsedLeavesTheFilesWithOneLineSayingWhy) {
  struct Case {
    SecretsChoice choice;
    KeyringProblem problem;
    const char* why;
  };
  for (const Case& c : {Case{SecretsChoice::automatic, KeyringProblem::absent, ": no keyring"},
                        Case{SecretsChoice::automatic, KeyringProblem::locked, ": keyring locked"},
                        Case{SecretsChoice::automatic, KeyringProblem::timedOut,
                             ": keyring did not answer in time"},
                        Case{SecretsChoice::keyring, KeyringProblem::locked,
                             ", not the keyring asked for: keyring locked"}}) {
    lines.clear();
    OpenedSecrets opened = useSecrets(c.choice, dir, Failure{c.problem}, collect());
    EXPECT_FALSE(opened.inKeyring);
    EXPECT_EQ(opened.description, "owner-only files in " + dir.string());
    ASSERT_EQ(lines.size(), 1u) << c.why;
    EXPECT_EQ(lines[0], "secrets are in owner-only files in " + dir.string() + c.why);
    ASSERT_TRUE(opened.vault.save("trust", toBytes("x")));
    EXPECT_TRUE(fs::exists(dir / "trust"));
  }
}

TEST_F(SecretsTest, FilesChosenNeverTouchTheKeyring) {
  auto keyring = std::make_shared<FakeKeyring>(Items{});
  writeFiles({{"identity", "key"}});
  OpenedSecrets opened =
      useSecrets(SecretsChoice::files, dir, std::shared_ptr<SecretStore>(keyring), collect());
  EXPECT_FALSE(opened.inKeyring);
  EXPECT_TRUE(keyring->items().empty());
  EXPECT_EQ(opened.vault.load("identity"), toBytes("key"));
  EXPECT_TRUE(lines.empty());
}

TEST_F(SecretsTest, WithARealKeyringTheSecretsMoveThereAndThePortStaysInTheFiles) {
  testing::KeyringSession session(Keyring::unlocked);
  if (!session.ok()) GTEST_SKIP() << session.why();
  DeviceIdentity identity = MacVault(dir).loadIdentity("Desk");
  const auto identityBytes = FileSecretStore(dir).load("identity");

  OpenedSecrets opened = openSecrets(SecretsChoice::automatic, dir, collect());
  ASSERT_TRUE(opened.inKeyring) << (lines.empty() ? "" : lines.front());
  EXPECT_EQ(opened.description, "the desktop keyring (Secret Service)");
  EXPECT_FALSE(fs::exists(dir / "identity"));
  const std::string stored = session.secretTool("lookup application lumenbrook account identity");
  EXPECT_EQ(toBytes(stored), identityBytes);
  EXPECT_EQ(opened.vault.loadIdentity("Desk"), identity);

  ASSERT_TRUE(saveListenPort(opened.vault, 51234));
  EXPECT_TRUE(fs::exists(dir / "listenPort"));
  EXPECT_EQ(loadListenPort(opened.vault), 51234);
  EXPECT_EQ(session.secretTool("lookup application lumenbrook account listenPort"), "");
}

TEST_F(SecretsTest, ALockedKeyringIsNotWaitedForAndTheFilesAreUsed) {
  testing::KeyringSession session(Keyring::locked);
  if (!session.ok()) GTEST_SKIP() << session.why();
  writeFiles({{"identity", "key"}});
  const auto start = std::chrono::steady_clock::now();
  OpenedSecrets opened =
      openSecrets(SecretsChoice::keyring, dir, collect(), SecretsTiming{KeyringTiming{300ms}});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_FALSE(opened.inKeyring);
  EXPECT_EQ(opened.vault.load("identity"), toBytes("key"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr(dir.string()));
  EXPECT_THAT(lines[0], HasSubstr("keyring locked"));
}

TEST_F(SecretsTest, WipeDeletesFromTheKeyringAndTheFiles) {
  testing::KeyringSession session(Keyring::unlocked);
  if (!session.ok()) GTEST_SKIP() << session.why();
  {
    auto keyring = KeyringSecretStore::open();
    ASSERT_TRUE(keyring.ok());
    for (const char* account : {"identity", "trust", "trust.unusable", "identity.unusable-2"}) {
      ASSERT_TRUE(keyring.value()->save(account, toBytes("secret")));
    }
  }
  writeFiles({{"identity", "key"}, {"trust.unusable-2", "bad"}, {"unrelated", "stays"}});
  ASSERT_TRUE(saveListenPort(dir, 5000));

  EXPECT_TRUE(wipeSecrets(dir, collect()));
  EXPECT_EQ(session.secretTool("search --all application lumenbrook"), "");
  EXPECT_EQ(filesNow(), (Items{{"unrelated", "stays"}}));
  EXPECT_TRUE(lines.empty());
  EXPECT_TRUE(wipeSecrets(dir, collect()));  // nothing left is fine
}

TEST_F(SecretsTest, WipeSaysSoWhenTheKeyringCannotBeEmptied) {
  testing::KeyringSession session(Keyring::locked);
  if (!session.ok()) GTEST_SKIP() << session.why();
  writeFiles({{"trust", "phones"}});
  EXPECT_FALSE(wipeSecrets(dir, collect(), SecretsTiming{KeyringTiming{300ms}}));
  EXPECT_TRUE(filesNow().empty());  // the files go all the same
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("keyring locked"));
}

}  // namespace
}  // namespace lumenbrook
