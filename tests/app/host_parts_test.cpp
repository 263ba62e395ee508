// The headless host's parts: command line, advertised host name, remembered port, terminal
// commands and answers, QR drawing.

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/advertised_host.h"
#include "app/helper_model.h"
#include "app/host_console.h"
#include "app/host_options.h"
#include "app/listen_port.h"
#include "app/terminal_qr.h"

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;

TEST(HostOptions, ReadsEveryOption) {
  auto o = parseHostOptions({"--state-dir", "/tmp/s", "--port", "51000", "--name", "Desk",
                             "--advertised-host", "desk.local", "--pair", "--auto-confirm",
                             "--status-interval", "2.5", "--display", "x11", "--secrets", "files"});
  ASSERT_TRUE(o.ok()) << o.error();
  HostOptions expected;
  expected.stateDir = fs::path("/tmp/s");
  expected.port = 51000;
  expected.name = "Desk";
  expected.advertisedHost = "desk.local";
  expected.pair = true;
  expected.autoConfirm = true;
  expected.statusInterval = 2.5;
  expected.display = DisplayChoice::x11;
  expected.secrets = SecretsChoice::files;
  EXPECT_EQ(o.value(), expected);
  EXPECT_EQ(parseHostOptions({}).value().display, DisplayChoice::automatic);
  EXPECT_EQ(parseHostOptions({"--display", "pattern"}).value().display, DisplayChoice::pattern);
  EXPECT_EQ(parseHostOptions({}).value().secrets, SecretsChoice::automatic);
  EXPECT_EQ(parseHostOptions({"--secrets", "keyring"}).value().secrets, SecretsChoice::keyring);
  EXPECT_EQ(parseHostOptions({"--secrets", "auto"}).value().secrets, SecretsChoice::automatic);
  EXPECT_EQ(parseHostOptions({}).value(), HostOptions{});
  EXPECT_EQ(parseHostOptions({"--port", "0"}).value().port, 0);
}

TEST(HostOptions, RefusesWhatItCannotUse) {
  const std::vector<std::vector<std::string_view>> cases = {
      {"--port"},       {"--port", "65536"},          {"--port", "-1"},
      {"--port", "1x"}, {"--status-interval", "nan"}, {"--status-interval", "-3"},
      {"--frobnicate"}, {"--name", ""},               {"pair"},
      {"--display"},    {"--display", "wayland"},     {"--secrets"},
      {"--secrets", "vault"},
  };
  for (const auto& args : cases) {
    EXPECT_FALSE(parseHostOptions(args).ok()) << args.size() << " " << args[0];
  }
}

TEST(AdvertisedHost, KeepsALocalNameAndOtherwiseUsesTheLocalHostName) {
  struct Case {
    std::string host;
    std::optional<std::string> local;
    std::string expected;
  };
  const Case cases[] = {
      {"studio.local", "studio", "studio.local"},
      {"Studio.LOCAL", "other", "Studio.LOCAL"},
      {"studio", "studio", "studio.local"},
      {"build.example.com", "build", "build.local"},
      {"plain", std::nullopt, "plain"},
      {"", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(advertisedHostName(c.host, c.local), c.expected) << c.host;
  }
}

TEST(ListenPort, RemembersThePortAndReadsStoredTextClamped) {
  fs::path dir = fs::temp_directory_path() / ("lb-port-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  MacVault vault(dir);
  EXPECT_EQ(loadListenPort(vault), 0);
  ASSERT_TRUE(saveListenPort(vault, 51234));
  EXPECT_EQ(loadListenPort(MacVault(dir)), 51234);

  struct Case {
    std::string text;
    std::uint16_t port;
  };
  const Case cases[] = {{"80", 80},  {"70000", 65535}, {"-5", 0},   {"x", 0},
                        {"", 0},     {"12 ", 12},      {"99999999999999999999", 65535}};
  for (const Case& c : cases) {
    ASSERT_TRUE(vault.save(kListenPortAccount, toBytes(c.text)));
    EXPECT_EQ(loadListenPort(vault), c.port) << c.text;
  }
  fs::remove_all(dir);
}

TEST(HostConsole, ParsesCommands) {
  const Uuid id = Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").value();
  using K = HostCommand::Kind;
  struct Case {
    std::string line;
    std::optional<HostCommand> expected;
  };
  const Case cases[] = {
      {"pair", HostCommand{K::pair, {}}},
      {"  list \r", HostCommand{K::list, {}}},
      {"revoke e621e1f8-c36c-495a-93fc-0c247a3e6e5f", HostCommand{K::revoke, id}},
      {"forget E621E1F8-C36C-495A-93FC-0C247A3E6E5F", HostCommand{K::forget, id}},
      {"off", HostCommand{K::off, {}}},
      {"on", HostCommand{K::on, {}}},
      {"quit", HostCommand{K::quit, {}}},
      {"remove-everything", HostCommand{K::removeEverything, {}}},
      {"remove everything", std::nullopt},
      {"revoke", std::nullopt},
      {"revoke not-an-id", std::nullopt},
      {"list all", std::nullopt},
      {"PAIR", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parseHostCommand(c.line), c.expected) << c.line;
}

TEST(HostConsole, AsksInTheHostsWords) {
  EXPECT_EQ(comparisonQuestion("Zo\xC3\xAB's phone", "123456"),
            "Does Zo\xC3\xAB's phone show 123 456? [y/n]");
  // A peer's name cannot reach the terminal with control sequences.
  EXPECT_EQ(comparisonQuestion("evil\x1b[2J\xC2\x9b" "31m", "000001"),
            "Does evil?[2J?31m show 000 001? [y/n]");
}

TEST(HostConsole, ListsPairedPhonesOldestFirst) {
  TrustStore trust;
  auto device = [](std::string_view id, std::string name, double at, bool revoked) {
    return PairedDevice{Uuid::parse(id).value(), std::move(name), Bytes(32, id[0]),
                        Bytes(32, 1), Date{at}, revoked ? std::optional<Date>(Date{at + 1})
                                                        : std::nullopt};
  };
  ASSERT_TRUE(trust.add(device("11111111-1111-4111-8111-111111111111", "Newer", 200, true)));
  ASSERT_TRUE(trust.add(device("22222222-2222-4222-8222-222222222222", "Older", 100, false)));
  EXPECT_EQ(deviceList(devicesByPairingTime(trust)),
            "22222222-2222-4222-8222-222222222222  Older\n"
            "11111111-1111-4111-8111-111111111111  Newer  (revoked)\n");
}

TEST(TerminalQr, DrawsTwoModuleRowsPerLineWithLightModulesAsBlocks) {
  QrMatrix m{2, {true, false, false, true}};
  // With a quiet zone of 1 the grid is 4 x 4: light border, dark diagonal inside.
  EXPECT_EQ(drawQr(m, 1),
            "\u2588\u2580\u2588\u2588\n"
            "\u2588\u2588\u2584\u2588\n");
  QrMatrix one{1, {true}};
  // An odd number of rows leaves a last line with only its upper row.
  EXPECT_EQ(drawQr(one, 1), "\u2588\u2580\u2588\n\u2580\u2580\u2580\n");
}

TEST(TerminalQr, EncodesAtLevelM) {
  // Byte-mode capacities at level M: version 5 holds 84 bytes, version 6 holds 106 (level L
  // would fit 106 bytes in version 5).
  struct Case {
    std::size_t length;
    int size;
  };
  const Case cases[] = {{84, 37}, {85, 41}, {106, 41}, {107, 45}};
  for (const Case& c : cases) {
    auto m = encodeQr(std::string(c.length, 'a'));
    ASSERT_TRUE(m) << c.length;
    EXPECT_EQ(m->size, c.size) << c.length;
    // The finder pattern's dark 7 x 7 ring in the top-left corner.
    for (int i = 0; i < 7; ++i) {
      EXPECT_TRUE(m->at(i, 0) && m->at(0, i) && m->at(i, 6) && m->at(6, i)) << c.length;
    }
    EXPECT_FALSE(m->at(1, 1));
  }
  EXPECT_FALSE(encodeQr(std::string(3000, 'a')));  // beyond version 40 at level M
}

}  // namespace
}  // namespace lumenbrook
