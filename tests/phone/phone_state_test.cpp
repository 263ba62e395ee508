// The phone's state file: what it keeps, its mode, atomic replacement, and files it refuses
// to use (and leaves alone).

#include "phone/phone_state.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "core/util/base64.h"

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;

PairedHost host(std::string name, char fill, std::string address = "127.0.0.1",
                std::uint16_t port = 51000) {
  return PairedHost{std::move(name), std::string(32, fill), Bytes(32, 1), Bytes(32, 2),
                    Endpoint{std::move(address), port}};
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class PhoneStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumenbrook-phone-state-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    file = dir / "nested" / "phone.json";
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
  fs::path file;
};

TEST_F(PhoneStateTest, SavesAndLoadsIdentityAndPairingsInAPrivateFile) {
  PhoneState state = PhoneState::fresh("Pocket");
  state.remember(host("Studio", 'a'));
  state.remember(host("Attic", 'b', "fe80::1%lo", 52000));
  ASSERT_TRUE(state.save(file).ok());

  auto loaded = PhoneState::load(file);
  ASSERT_TRUE(loaded.ok()) << loaded.error();
  EXPECT_EQ(loaded.value(), state);
  EXPECT_EQ(loaded->identity().name(), "Pocket");
  ASSERT_EQ(loaded->hosts().size(), 2u);
  EXPECT_EQ(loaded->hosts()[1].address, (Endpoint{"fe80::1%lo", 52000}));

  struct stat st{};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(PhoneStateTest, PairingTheSameComputerAgainReplacesItsEntry) {
  PhoneState state = PhoneState::fresh();
  state.remember(host("Studio", 'a'));
  state.remember(host("Attic", 'b'));
  PairedHost again = host("Studio renamed", 'a', "127.0.0.2", 53000);
  again.psk = Bytes(32, 9);
  state.remember(again);
  ASSERT_EQ(state.hosts().size(), 2u);
  EXPECT_EQ(state.hosts()[0], again);
  EXPECT_EQ(state.hosts()[1].name, "Attic");
}

TEST_F(PhoneStateTest, AMissingFileGivesAFreshIdentityAndNoFile) {
  auto first = PhoneState::load(file);
  auto second = PhoneState::load(file);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_TRUE(first->hosts().empty());
  EXPECT_EQ(first->identity().name(), PhoneState::kDefaultName);
  EXPECT_NE(first->identity().id(), second->identity().id());
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(PhoneStateTest, AnInterruptedSaveLeavesThePreviousStateAndTheNextSaveCleansUp) {
  PhoneState before = PhoneState::fresh();
  before.remember(host("Studio", 'a'));
  ASSERT_TRUE(before.save(file).ok());

  PhoneState after = before;
  after.remember(host("Attic", 'b'));
  fs::path leftover;
  auto interrupted = after.save(file, [&](const fs::path& temporary) {
    leftover = temporary;
    return false;
  });
  EXPECT_FALSE(interrupted.ok());
  ASSERT_TRUE(fs::exists(leftover));
  EXPECT_EQ(PhoneState::load(file).value(), before);

  ASSERT_TRUE(after.save(file).ok());
  EXPECT_FALSE(fs::exists(leftover));
  EXPECT_EQ(PhoneState::load(file).value(), after);
}

TEST_F(PhoneStateTest, AFileItCannotUseIsAnErrorAndStaysAsItIs) {
  PhoneState good = PhoneState::fresh();
  good.remember(host("Studio", 'a'));
  ASSERT_TRUE(good.save(file).ok());
  const std::string valid = readAll(file);
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = valid;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  const std::string shortKey = base64Encode(Bytes(31, 2));
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"not JSON", "{\"identity\":"},
      {"empty", ""},
      {"no identity", "{\"hosts\":[]}"},
      {"no hosts", replaced("{\"hosts\":", "{\"hostz\":")},
      {"bad id", replaced("\"id\":\"", "\"id\":\"x")},
      {"short psk", replaced("\"psk\":\"" + base64Encode(Bytes(32, 2)), "\"psk\":\"" + shortKey)},
      {"short fingerprint", replaced(std::string(32, 'a'), std::string(31, 'a'))},
      {"port 0", replaced("\"port\":51000", "\"port\":0")},
      {"port too large", replaced("\"port\":51000", "\"port\":65536")},
  };
  for (const auto& c : cases) {
    { std::ofstream(file, std::ios::binary | std::ios::trunc) << c.text; }
    auto loaded = PhoneState::load(file);
    ASSERT_FALSE(loaded.ok()) << c.what;
    EXPECT_NE(loaded.error().find(file.string()), std::string::npos) << loaded.error();
    EXPECT_EQ(readAll(file), c.text) << c.what;
  }
  // Something that is not a file at all.
  fs::remove(file);
  fs::create_directory(file);
  auto loaded = PhoneState::load(file);
  ASSERT_FALSE(loaded.ok());
  EXPECT_NE(loaded.error().find("can't read"), std::string::npos) << loaded.error();
}

TEST_F(PhoneStateTest, TellsBeforehandWhetherASaveCanSucceed) {
  ASSERT_TRUE(PhoneState::checkWritable(file).ok());
  EXPECT_TRUE(fs::is_directory(file.parent_path()));
  EXPECT_TRUE(fs::is_empty(file.parent_path()));  // the trial file is gone again

  const fs::path blocked = dir / "plain-file" / "phone.json";
  { std::ofstream(dir / "plain-file") << "x"; }
  auto refused = PhoneState::checkWritable(blocked);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().find(blocked.string()), std::string::npos) << refused.error();
  EXPECT_FALSE(PhoneState::fresh().save(blocked).ok());
}

TEST_F(PhoneStateTest, ChoosesTheOnlyOrTheNamedComputer) {
  PhoneState none = PhoneState::fresh();
  EXPECT_NE(none.choose(std::nullopt).error().find("pair first"), std::string::npos);

  PhoneState one = PhoneState::fresh();
  one.remember(host("Studio", 'a'));
  EXPECT_EQ(one.choose(std::nullopt).value().name, "Studio");

  PhoneState two = one;
  two.remember(host("Attic", 'b', "127.0.0.2"));
  EXPECT_NE(two.choose(std::nullopt).error().find("several"), std::string::npos);
  EXPECT_EQ(two.choose("Attic").value().name, "Attic");
  EXPECT_EQ(two.choose("127.0.0.1").value().name, "Studio");
  auto unknown = two.choose("Cellar");
  ASSERT_FALSE(unknown.ok());
  EXPECT_NE(unknown.error().find("Studio (127.0.0.1), Attic (127.0.0.2)"), std::string::npos)
      << unknown.error();
}

TEST(PhoneStateDefaultPath, FollowsTheStateDirectoryConvention) {
  const char* savedState = std::getenv("XDG_STATE_HOME");
  const char* savedHome = std::getenv("HOME");
  const std::string state = savedState ? savedState : "";
  const std::string home = savedHome ? savedHome : "";

  ::setenv("XDG_STATE_HOME", "/srv/state", 1);
  ::setenv("HOME", "/home/pat", 1);
  EXPECT_EQ(PhoneState::defaultPath(), fs::path("/srv/state/lumenbrook/phone.json"));
  ::setenv("XDG_STATE_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(PhoneState::defaultPath(), fs::path("/home/pat/.local/state/lumenbrook/phone.json"));
  ::unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(PhoneState::defaultPath(), fs::path("/home/pat/.local/state/lumenbrook/phone.json"));

  savedState ? ::setenv("XDG_STATE_HOME", state.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
  savedHome ? ::setenv("HOME", home.c_str(), 1) : ::unsetenv("HOME");
}

}  // namespace
}  // namespace lumenbrook
