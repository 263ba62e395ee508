#include "desktop/linux/keyring_secret_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/keyring_session.h"
#include "tests/support/env_override.h"

namespace lumenbrook {
namespace {

using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;
using Keyring = testing::KeyringSession::Keyring;
using namespace std::chrono_literals;

// Short, so that a keyring that does not answer ends a test quickly; the bound checked is
// the deadline plus the grace for winding a cancelled call down, with room for a busy machine.
constexpr KeyringTiming kShort{300ms};
constexpr auto kBound = 3s;

std::unique_ptr<KeyringSecretStore> openOrNull(KeyringTiming timing = {}) {
  auto opened = KeyringSecretStore::open(timing);
  return opened ? std::move(opened.value()) : nullptr;
}

TEST(KeyringSecretStore, RoundTripsBinaryBytesReplacesAndRemoves) {
  testing::KeyringSession session(Keyring::unlocked);
  if (!session.ok()) GTEST_SKIP() << session.why();
  auto store = openOrNull();
  ASSERT_NE(store, nullptr);

  EXPECT_FALSE(store->load("trust"));
  EXPECT_FALSE(store->exists("trust"));
  const Bytes binary = {0x00, 'a', 0xff, 0xfe, 0x80, 0x00, 0xc3, 0x28, 0x00};
  ASSERT_TRUE(store->save("trust", binary));
  EXPECT_EQ(store->load("trust"), binary);
  EXPECT_TRUE(store->exists("trust"));
  ASSERT_TRUE(store->save("trust", toBytes("short")));
  EXPECT_EQ(store->load("trust"), toBytes("short"));
  EXPECT_FALSE(store->load("identity"));  // accounts are apart

  EXPECT_TRUE(store->remove("trust"));
  EXPECT_FALSE(store->load("trust"));
  EXPECT_FALSE(store->exists("trust"));
  EXPECT_TRUE(store->remove("trust"));  // a missing item is gone as well
}

TEST(KeyringSecretStore, ItemsCarryTheirLabelsAndAttributesAndOutliveTheStore) {
  testing::KeyringSession session(Keyring::unlocked);
  if (!session.ok()) GTEST_SKIP() << session.why();
  {
    auto store = openOrNull();
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(store->save("identity", toBytes("id")));
    ASSERT_TRUE(store->save("trust", toBytes("phones")));
    ASSERT_TRUE(store->save("trust.unusable-2", toBytes("old")));
  }
  // Found by their attributes alone, as another program would find them.
  const std::string listed = session.secretTool("search --all application lumenbrook");
  for (const char* line :
       {"label = Lumenbrook identity\n", "label = Lumenbrook paired phones\n",
        "label = Lumenbrook paired phones (unusable, kept)\n", "schema = org.lumenbrook.Host\n"}) {
    EXPECT_THAT(listed, HasSubstr(line));
  }
  EXPECT_EQ(session.secretTool("lookup application lumenbrook account trust"), "phones");
  EXPECT_EQ(session.secretTool("lookup application lumenbrook account trust.unusable-2"), "old");
  EXPECT_EQ(session.secretTool("lookup application other account trust"), "");

  auto again = openOrNull();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->load("identity"), toBytes("id"));
  auto accounts = again->accounts();
  ASSERT_TRUE(accounts);
  EXPECT_THAT(*accounts, UnorderedElementsAre("identity", "trust", "trust.unusable-2"));
}

TEST(KeyringSecretStore, OpenSaysWhyWhenNoKeyringCanBeUsedAndNeverWaitsLong) {
  struct Case {
    const char* name;
    Keyring keyring;
    bool freeze;
    KeyringProblem expected;
  };
  for (const Case& c : {Case{"bus without a Secret Service", Keyring::none, false,
                             KeyringProblem::absent},
                        Case{"locked keyring", Keyring::locked, false, KeyringProblem::locked},
                        Case{"hung keyring", Keyring::unlocked, true, KeyringProblem::timedOut}}) {
    SCOPED_TRACE(c.name);
    testing::KeyringSession session(c.keyring);
    if (!session.ok()) GTEST_SKIP() << session.why();
    if (c.freeze) session.freeze();
    const auto start = std::chrono::steady_clock::now();
    auto opened = KeyringSecretStore::open(kShort);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kBound);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error(), c.expected);
  }
}

using testing::EnvOverride;

TEST(KeyringSecretStore, WithoutASessionBusThereIsNoKeyringAndNoneIsStarted) {
  EnvOverride address("DBUS_SESSION_BUS_ADDRESS", nullptr);
  EnvOverride runtime("XDG_RUNTIME_DIR", "/nonexistent/lumenbrook-runtime");
  auto opened = KeyringSecretStore::open(kShort);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error(), KeyringProblem::absent);
}

TEST(KeyringSecretStore, AKeyringThatStopsAnsweringFailsEachCallWithinTheDeadline) {
  testing::KeyringSession session(Keyring::unlocked);
  if (!session.ok()) GTEST_SKIP() << session.why();
  auto store = openOrNull(kShort);
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(store->save("trust", toBytes("phones")));

  // Locked: the item is still seen, but its bytes are out of reach.
  ASSERT_TRUE(session.lock());
  EXPECT_FALSE(store->load("trust"));
  EXPECT_TRUE(store->exists("trust"));
  EXPECT_FALSE(store->remove("trust"));

  // Hung: every call gives up in time, and an item that cannot be looked for counts as there.
  session.freeze();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(store->load("trust"));
  EXPECT_TRUE(store->exists("identity"));
  EXPECT_FALSE(store->save("identity", toBytes("x")));
  EXPECT_FALSE(store->remove("identity"));
  EXPECT_FALSE(store->accounts());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5 * kBound);
}

}  // namespace
}  // namespace lumenbrook
