#include "net/mac_vault.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/util/base64.h"
#include "core/util/json.h"
#include "tests/support/env_override.h"

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

unsigned modeOf(const fs::path& p) {
  struct stat st{};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

std::set<std::string> namesIn(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

class MacVaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "lumenbrook-vault-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(templ.data()));
    root = templ;
    dir = root / "state" / "lumenbrook";  // does not exist yet
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  fs::path root, dir;
};

TEST_F(MacVaultTest, SavedBytesLoadBackAndEachSaveReplacesTheWholeItem) {
  MacVault vault(dir);
  EXPECT_FALSE(vault.load("trust"));
  ASSERT_TRUE(vault.save("trust", asBytes("a long first version")));
  EXPECT_EQ(vault.load("trust"), toBytes("a long first version"));
  ASSERT_TRUE(vault.save("trust", asBytes("short")));
  EXPECT_EQ(vault.load("trust"), toBytes("short"));
  ASSERT_TRUE(vault.save("trust", {}));
  EXPECT_EQ(vault.load("trust"), Bytes{});  // an empty item exists and is empty
  EXPECT_FALSE(vault.load("identity"));
  EXPECT_EQ(namesIn(dir), std::set<std::string>{"trust"});
}

TEST_F(MacVaultTest, DirectoryIsPrivateAndFilesAreOwnerOnlyWhateverTheUmask) {
  mode_t old = ::umask(0);
  MacVault vault(dir);
  bool saved = vault.save("trust", asBytes("secret"));
  ::umask(old);
  ASSERT_TRUE(saved);
  EXPECT_EQ(modeOf(dir), 0700u);
  EXPECT_EQ(modeOf(dir.parent_path()), 0700u);  // created parents are private as well
  EXPECT_EQ(modeOf(dir / "trust"), 0600u);

  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  ASSERT_TRUE(vault.save("identity", asBytes("x")));
  EXPECT_EQ(modeOf(dir), 0700u);  // an existing, wider directory is narrowed
  EXPECT_EQ(modeOf(dir / "identity"), 0600u);
}

TEST_F(MacVaultTest, AccountsThatAreNotPlainNamesNeverTouchTheFileSystem) {
  MacVault vault(dir);
  ASSERT_TRUE(vault.save("trust", asBytes("kept")));
  writeFile(root / "outside", "outside");
  for (const char* account : {"", ".", "..", "../outside", "a/b", "/etc/passwd", ".trust.abcdef", "trust "}) {
    EXPECT_FALSE(vault.save(account, asBytes("x"))) << account;
    EXPECT_FALSE(vault.load(account)) << account;
  }
  EXPECT_EQ(readFile(root / "outside"), "outside");
  EXPECT_EQ(namesIn(dir), std::set<std::string>{"trust"});
}

TEST_F(MacVaultTest, ACrashBetweenWriteAndRenameLeavesTheOldItemWhole) {
  MacVault vault(dir);
  ASSERT_TRUE(vault.save("trust", asBytes("old trust store")));
  std::string seen;
  vault.setBeforeReplaceHook([&](const fs::path& temporary) {
    // The new bytes are complete and private, beside the item (rename stays atomic), while
    // the item itself still holds the old ones.
    seen = readFile(temporary);
    EXPECT_EQ(temporary.parent_path(), dir);
    EXPECT_EQ(modeOf(temporary), 0600u);
    EXPECT_EQ(readFile(dir / "trust"), "old trust store");
    return false;  // crash here
  });
  EXPECT_FALSE(vault.save("trust", asBytes("new trust store")));
  EXPECT_EQ(seen, "new trust store");

  // After the "crash": a fresh vault (the next launch) reads the old bytes.
  MacVault nextLaunch(dir);
  EXPECT_EQ(nextLaunch.load("trust"), toBytes("old trust store"));
  EXPECT_EQ(namesIn(dir).size(), 2u);  // the item and the abandoned temporary

  ASSERT_TRUE(nextLaunch.save("trust", asBytes("newer")));
  EXPECT_EQ(nextLaunch.load("trust"), toBytes("newer"));
  EXPECT_EQ(namesIn(dir), std::set<std::string>{"trust"});  // the leftover is gone
}

TEST_F(MacVaultTest, FirstLaunchCreatesAnIdentityThatLaterLaunchesReturnWithTheNewName) {
  DeviceIdentity first = MacVault(dir).loadIdentity("Studio");
  EXPECT_EQ(first.name(), "Studio");

  auto stored = parseJson(readFile(dir / "identity"));
  ASSERT_TRUE(stored && stored->is_object());
  EXPECT_EQ(stored->size(), 2u);
  EXPECT_EQ(stored->at("id"), first.id().text());  // upper-case canonical text
  std::string key = stored->at("key").get<std::string>();
  EXPECT_EQ(key.size(), 44u);
  EXPECT_EQ(base64Decode(key), Bytes(first.signingKey().raw().bytes().begin(),
                                     first.signingKey().raw().bytes().end()));
  EXPECT_FALSE(MacVault(dir).load("trust"));  // nothing is written for the trust store

  DeviceIdentity second = MacVault(dir).loadIdentity("Renamed");
  EXPECT_EQ(second.id(), first.id());
  EXPECT_EQ(second.name(), "Renamed");
  EXPECT_EQ(second.fingerprint(), first.fingerprint());
  EXPECT_EQ(DeviceIdentity(second.id(), "Studio", second.signingKey()), first);
}

TEST_F(MacVaultTest, AnUnusableIdentityIsReplacedAndTheOldBytesAreSetAside) {
  const std::string goodId = "\"id\":\"6F1C5C34-6B53-4C1F-9D4B-2B1E3B6A1F00\"";
  const std::string key31 = base64Encode(Bytes(31, 7));
  const std::string key32 = base64Encode(Bytes(32, 7));
  int n = 0;
  for (const std::string& bad : {std::string("not JSON"), std::string("{}"),
                                 "{" + goodId + ",\"key\":\"" + key31 + "\"}",
                                 "{\"id\":\"not-a-uuid\",\"key\":\"" + key32 + "\"}",
                                 "{" + goodId + ",\"key\":\"***\"}", std::string("")}) {
    SCOPED_TRACE(bad);
    MacVault vault(dir);
    ASSERT_TRUE(vault.save("identity", asBytes(bad)));
    DeviceIdentity fresh = vault.loadIdentity("Mac");
    EXPECT_NE(fresh.id().text(), "6F1C5C34-6B53-4C1F-9D4B-2B1E3B6A1F00");
    // Earlier copies set aside stay as they were.
    ++n;
    EXPECT_EQ(readFile(dir / ("identity.unusable" + (n > 1 ? "-" + std::to_string(n) : ""))), bad);
    EXPECT_EQ(vault.loadIdentity("Mac"), fresh);  // the replacement is what is stored now
  }
}

TEST_F(MacVaultTest, TrustStoreRoundTripsAndAnUnreadableOneIsKeptAndSwitchesTheServiceOff) {
  MacVault vault(dir);
  EXPECT_EQ(vault.loadTrust(), TrustStore{});

  TrustStore trust;
  ASSERT_TRUE(trust.add(PairedDevice{*Uuid::parse("0E8A2D1C-4F77-4B8E-A1D5-93C1F0B2C3D4"), "Phone",
                                     Bytes(32, 1), Bytes(32, 2), Date{700000000.0}, std::nullopt}));
  trust.setKillSwitch(true);
  ASSERT_TRUE(vault.saveTrust(trust));
  EXPECT_EQ(MacVault(dir).loadTrust(), trust);

  bool setAside = true;
  EXPECT_EQ(MacVault(dir / "fresh").loadTrust(&setAside), TrustStore{});  // nothing stored yet
  EXPECT_FALSE(setAside);

  // Each unreadable store is kept, none written over by the next.
  const std::vector<std::string> bad = {"", "{broken", "[]"};
  for (const std::string& b : bad) {
    ASSERT_TRUE(vault.save("trust", asBytes(b)));
    TrustStore loaded = vault.loadTrust(&setAside);
    EXPECT_TRUE(setAside) << b;
    EXPECT_TRUE(loaded.devices().empty()) << b;
    EXPECT_TRUE(loaded.killSwitch()) << b;
    EXPECT_FALSE(vault.load("trust")) << b;
  }
  EXPECT_EQ(readFile(dir / "trust.unusable"), bad[0]);
  EXPECT_EQ(readFile(dir / "trust.unusable-2"), bad[1]);
  EXPECT_EQ(readFile(dir / "trust.unusable-3"), bad[2]);
}

TEST_F(MacVaultTest, TrustStoreThatCannotBeEncodedLeavesThePreviousItem) {
  MacVault vault(dir);
  TrustStore good;
  ASSERT_TRUE(vault.saveTrust(good));
  auto before = vault.load("trust");
  TrustStore bad;
  ASSERT_TRUE(bad.add(PairedDevice{*Uuid::parse("0E8A2D1C-4F77-4B8E-A1D5-93C1F0B2C3D4"),
                                   "\xff not UTF-8", Bytes(32, 1), Bytes(32, 2), Date{1.0}, std::nullopt}));
  EXPECT_FALSE(vault.saveTrust(bad));
  EXPECT_EQ(vault.load("trust"), before);
}

TEST_F(MacVaultTest, WipeDeletesBothItemsAndEveryCopyOfTheirSecrets) {
  MacVault vault(dir);
  vault.loadIdentity("Mac");
  ASSERT_TRUE(vault.saveTrust(TrustStore{}));
  writeFile(dir / "identity.unusable", "old key");
  writeFile(dir / "identity.unusable-2", "older key");
  writeFile(dir / "trust.unusable", "old phones");
  vault.setBeforeReplaceHook([](const fs::path&) { return false; });
  EXPECT_FALSE(vault.save("trust", asBytes("interrupted")));
  writeFile(dir / "unrelated", "stays");

  EXPECT_TRUE(vault.wipe());
  EXPECT_FALSE(vault.load("identity"));
  EXPECT_FALSE(vault.load("trust"));
  EXPECT_EQ(namesIn(dir), std::set<std::string>{"unrelated"});
  EXPECT_TRUE(vault.wipe());  // nothing left to delete is fine
}

// A store in memory that cannot rename: set-aside copies are made by copying. An account in
// `unreadable` exists but cannot be read, as an item of a keyring that stopped answering.
class MemoryStore final : public SecretStore {
 public:
  std::map<std::string, Bytes> items;
  std::set<std::string> unreadable;

  std::optional<Bytes> load(std::string_view account) override {
    auto it = items.find(std::string(account));
    if (it == items.end() || unreadable.count(it->first)) return std::nullopt;
    return it->second;
  }
  bool exists(std::string_view account) override { return items.count(std::string(account)); }
  bool save(std::string_view account, ByteView bytes) override {
    if (unreadable.count(std::string(account))) return false;
    items[std::string(account)] = Bytes(bytes.begin(), bytes.end());
    return true;
  }
  bool remove(std::string_view account) override {
    if (unreadable.count(std::string(account))) return false;
    items.erase(std::string(account));
    return true;
  }
  std::optional<std::vector<std::string>> accounts() override {
    std::vector<std::string> names;
    for (const auto& [name, _] : items) names.push_back(name);
    return names;
  }
  std::string description() const override { return "memory"; }
};

TEST(MacVaultOnAnyStore, SetsUnusableItemsAsideByCopyAndWipesEveryCopy) {
  auto store = std::make_shared<MemoryStore>();
  MacVault vault(store, "/nonexistent/state");
  store->items["identity"] = toBytes("not JSON");
  store->items["identity.unusable"] = toBytes("older");
  DeviceIdentity fresh = vault.loadIdentity("Mac");
  EXPECT_EQ(store->items["identity.unusable"], toBytes("older"));
  EXPECT_EQ(store->items["identity.unusable-2"], toBytes("not JSON"));
  EXPECT_EQ(vault.loadIdentity("Mac"), fresh);

  store->items["trust"] = toBytes("{broken");
  bool setAside = false;
  EXPECT_TRUE(vault.loadTrust(&setAside).killSwitch());
  EXPECT_TRUE(setAside);
  EXPECT_EQ(store->items["trust.unusable"], toBytes("{broken"));
  EXPECT_FALSE(store->exists("trust"));

  store->items["unrelated"] = toBytes("stays");
  EXPECT_TRUE(vault.wipe());
  EXPECT_THAT(store->accounts(), ::testing::Optional(ElementsAre("unrelated")));
  EXPECT_FALSE(fs::exists("/nonexistent/state"));  // the state directory is not the store
}

TEST(MacVaultOnAnyStore, AnItemThatCannotBeReadIsNeverWrittenOver) {
  auto store = std::make_shared<MemoryStore>();
  MacVault vault(store, {});
  store->items["identity"] = toBytes("the only copy of the key");
  store->items["trust"] = toBytes("the phones");
  store->unreadable = {"identity", "trust"};

  DeviceIdentity fresh = vault.loadIdentity("Mac");  // for this run only
  EXPECT_NE(vault.loadIdentity("Mac"), fresh);
  bool setAside = false;
  TrustStore trust = vault.loadTrust(&setAside);
  EXPECT_TRUE(setAside);
  EXPECT_TRUE(trust.killSwitch());  // never open with no phones
  EXPECT_EQ(store->items["identity"], toBytes("the only copy of the key"));
  EXPECT_EQ(store->items["trust"], toBytes("the phones"));
  EXPECT_EQ(store->items.size(), 2u);
}

using testing::EnvOverride;

TEST(MacVaultDirectoryTest, FollowsTheStateHomeAndFallsBackToTheHomeDirectory) {
  struct Case {
    const char* stateHome;
    const char* home;
    const char* expected;
  };
  for (const Case& c : {Case{"/srv/state", "/home/u", "/srv/state/lumenbrook"},
                        Case{"relative/state", "/home/u", "/home/u/.local/state/lumenbrook"},
                        Case{"", "/home/u", "/home/u/.local/state/lumenbrook"},
                        Case{nullptr, "/home/v", "/home/v/.local/state/lumenbrook"}}) {
    EnvOverride state("XDG_STATE_HOME", c.stateHome);
    EnvOverride home("HOME", c.home);
    EXPECT_EQ(MacVault::defaultDirectory(), fs::path(c.expected))
        << (c.stateHome ? c.stateHome : "(unset)");
  }
}

}  // namespace
}  // namespace lumenbrook
