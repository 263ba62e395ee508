// The built lumenbrook-phone against the built lumenbrook-host, both as child processes on
// loopback with temporary state: pairing (with --yes and on a terminal), status reports, a
// short stream, discovery through a private Avahi daemon, and the failures it reports.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/security/qr_payload.h"
#include "core/util/json.h"
#include "net/service_browser.h"
#include "phone/phone_state.h"
#include "tests/desktop/x_server.h"
#include "tests/net/host_server_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/private_bus.h"

extern char** environ;

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Events;

using Process = testing::ChildProcess;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class PhoneExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumenbrook-phone-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    state = dir / "phone.json";
  }
  void TearDown() override { fs::remove_all(dir); }

  std::unique_ptr<Process> startHost(const std::vector<std::string>& environment = {},
                                     const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"--pair", "--auto-confirm", "--state-dir",
                                  (dir / "host").string(), "--port", "0", "--advertised-host",
                                  "127.0.0.1", "--name", "Test-Host", "--secrets", "files"};
    args.insert(args.end(), more.begin(), more.end());
    return std::make_unique<Process>(LB_HOST_EXECUTABLE, args, false, environment);
  }
  static Process phone(const std::vector<std::string>& args, bool terminal = false) {
    return Process(LB_PHONE_EXECUTABLE, args, terminal);
  }

  fs::path dir;
  fs::path state;
};

TEST_F(PhoneExecutableTest, PairsWithYesThenLogsInForAStatusReport) {
  auto host = startHost();
  ASSERT_TRUE(host->started());
  auto code = Process::lineStartingWith(host->stdoutLines, "LUMENBROOK-PAIR-1:");
  ASSERT_TRUE(code);

  {
    Process pair = phone({"pair", *code, "--state", state.string(), "--yes", "--name", "Pocket"});
    ASSERT_EQ(pair.waitForExit(), 0) << Process::joined(pair.stderrLines);
    auto shown = Process::lineStartingWith(pair.stdoutLines, "Pairing code: ");
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->size(), std::string("Pairing code: 123 456").size()) << *shown;
    // The computer accepted the same code the phone showed.
    const std::string digits = shown->substr(14, 3) + shown->substr(18, 3);
    EXPECT_TRUE(Process::anyContains(host->stderrLines, "accepting code " + digits))
        << Process::joined(host->stderrLines);
    EXPECT_NE(Process::joined(pair.stderrLines).find("--yes: confirming the code without asking"),
              std::string::npos);
    EXPECT_TRUE(Process::lineStartingWith(pair.stdoutLines, "Paired with Test-Host at 127.0.0.1:"));
  }

  struct stat st{};
  ASSERT_EQ(::stat(state.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto saved = PhoneState::load(state);
  ASSERT_TRUE(saved.ok()) << saved.error();
  EXPECT_EQ(saved->identity().name(), "Pocket");
  ASSERT_EQ(saved->hosts().size(), 1u);
  EXPECT_EQ(saved->hosts()[0].name, "Test-Host");
  EXPECT_EQ(saved->hosts()[0].psk.size(), 32u);

  // The first report comes as soon as it is asked for; later ones no sooner than 10 s.
  Process status = phone({"status", "--state", state.string(), "--count", "1"});
  ASSERT_EQ(status.waitForExit(), 0) << Process::joined(status.stderrLines);
  auto report = Process::lineStartingWith(status.stdoutLines, "Test-Host: ");
  ASSERT_TRUE(report);
  EXPECT_NE(report->find(" GB free ("), std::string::npos) << *report;
  EXPECT_NE(report->find(" running, up "), std::string::npos) << *report;
  EXPECT_NE(Process::joined(status.stderrLines).find("logged in to Test-Host at 127.0.0.1:"),
            std::string::npos);

  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(PhoneExecutableTest, StreamsAShortRunAndPrintsItsFiguresAsJson) {
  auto host = startHost();
  ASSERT_TRUE(host->started());
  auto code = Process::lineStartingWith(host->stdoutLines, "LUMENBROOK-PAIR-1:");
  ASSERT_TRUE(code);
  {
    Process pair = phone({"pair", *code, "--state", state.string(), "--yes"});
    ASSERT_EQ(pair.waitForExit(), 0) << Process::joined(pair.stderrLines);
  }

  const fs::path snapshot = dir / "snapshot.png";
  const fs::path recording = dir / "stream.hevc";
  Process stream = phone({"stream", "--state", state.string(), "--screen", "320x240@1@30",
                          "--seconds", "2", "--json", "--snapshot", snapshot.string(),
                          "--record", recording.string()});
  ASSERT_EQ(stream.waitForExit(), 0) << Process::joined(stream.stderrLines);
  auto line = Process::lineStartingWith(stream.stdoutLines, "{");
  ASSERT_TRUE(line) << Process::joined(stream.stdoutLines);
  auto figures = parseJson(*line);
  ASSERT_TRUE(figures && figures->is_object()) << *line;
  EXPECT_GT(json::readInt<std::uint64_t>(json::member(*figures, "framesDecoded")), 0u) << *line;
  EXPECT_GE(json::readInt<std::uint64_t>(json::member(*figures, "keyframes")), 1u) << *line;
  EXPECT_EQ(json::readInt<int>(json::member(*figures, "width")), 320) << *line;
  EXPECT_EQ(json::readInt<int>(json::member(*figures, "height")), 240) << *line;
  EXPECT_TRUE(json::member(*figures, "latencyMedianMs").is_number()) << *line;

  const std::string png = readAll(snapshot);
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  // An Annex-B stream starts with a start code.
  const std::string hevc = readAll(recording);
  ASSERT_GT(hevc.size(), 4u);
  EXPECT_TRUE(hevc.starts_with(std::string("\0\0\0\1", 4)) ||
              hevc.starts_with(std::string("\0\0\1", 3)));
  host->terminate();
}

TEST_F(PhoneExecutableTest, OnATerminalItAsksWhetherTheComputerShowsTheSameCode) {
  const struct {
    std::vector<std::string> answers;
    int exit;
    std::string says;
    bool saved;
  } cases[] = {
      {{"maybe", "y"}, 0, "Paired with Test-Host", true},
      {{"n"}, 1, "You said the codes didn't match. Nothing was saved.", false},
  };
  for (const auto& c : cases) {
    fs::remove(state);
    auto host = startHost();
    auto code = Process::lineStartingWith(host->stdoutLines, "LUMENBROOK-PAIR-1:");
    ASSERT_TRUE(code);
    Process pair = phone({"pair", *code, "--state", state.string()}, /*terminal=*/true);
    auto shown = Process::lineStartingWith(pair.stdoutLines, "Pairing code: ");
    ASSERT_TRUE(shown);
    const std::string question = "Does the computer show " + shown->substr(14) + "? [y/n]";
    ASSERT_TRUE(Process::lineStartingWith(pair.stdoutLines, question))
        << Process::joined(pair.stdoutLines);
    for (const auto& answer : c.answers) ASSERT_TRUE(pair.type(answer));
    EXPECT_EQ(pair.waitForExit(), c.exit) << c.says;
    const std::string all = Process::joined(pair.stdoutLines) + Process::joined(pair.stderrLines);
    EXPECT_NE(all.find(c.says), std::string::npos) << all;
    EXPECT_EQ(fs::exists(state), c.saved) << c.says;
  }
}

TEST_F(PhoneExecutableTest, WithoutATerminalOrYesItDoesNotConfirmAndSavesNothing) {
  auto host = startHost();
  ASSERT_TRUE(host->started());
  auto code = Process::lineStartingWith(host->stdoutLines, "LUMENBROOK-PAIR-1:");
  ASSERT_TRUE(code);
  Process pair = phone({"pair", *code, "--state", state.string()});
  EXPECT_EQ(pair.waitForExit(), 1);
  EXPECT_TRUE(Process::lineStartingWith(pair.stdoutLines, "Pairing code: "));
  EXPECT_NE(Process::joined(pair.stderrLines).find("no terminal to ask on"), std::string::npos)
      << Process::joined(pair.stderrLines);
  EXPECT_FALSE(fs::exists(state));
}

TEST_F(PhoneExecutableTest, FailuresEndWithASentenceAndANonZeroExit) {
  { std::ofstream(state) << "{\"hosts\":"; }
  const std::string damaged = readAll(state);
  const fs::path empty = dir / "empty.json";
  const struct {
    std::vector<std::string> args;
    std::string says;
    int exit;
  } cases[] = {
      {{"pair", "LUMENBROOK-PAIR-1:h=127.0.0.1&p=9&fp=" + std::string(32, 'a') + "&s=" +
                    std::string(32, 'b'),
        "--state", state.string(), "--yes"},
       "can't use the phone's state " + state.string(), 1},
      {{"status", "--state", state.string(), "--count", "1"},
       "can't use the phone's state " + state.string(), 1},
      {{"pair", "hello", "--state", empty.string()}, "this is not a pairing code", 1},
      // Nothing listens on port 9: refused before any dialling, or the text would differ.
      {{"pair", "LUMENBROOK-PAIR-1:h=127.0.0.1&p=9&fp=" + std::string(32, 'a') + "&s=" +
                    std::string(32, 'b'),
        "--state", (state / "phone.json").string(), "--yes"},
       "can't save the phone's state " + (state / "phone.json").string(), 1},
      {{"status", "--state", empty.string()}, "no paired computer", 1},
      {{"status", "--frobnicate"}, "unknown option --frobnicate (status)", 2},
  };
  for (const auto& c : cases) {
    Process run = phone(c.args);
    EXPECT_EQ(run.waitForExit(), c.exit) << c.says;
    EXPECT_NE(Process::joined(run.stderrLines).find(c.says), std::string::npos)
        << Process::joined(run.stderrLines);
  }
  EXPECT_EQ(readAll(state), damaged);
  EXPECT_FALSE(fs::exists(empty));
}

// ---- Discovery through a real Avahi daemon on a private bus, over a veth pair whose peer sits
// in a network namespace of its own, so multicast never leaves the machine. Both executables
// get the private bus in their environment; this process never opens it.

int run(const std::string& command) {
  int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class DiscoveryTest : public PhoneExecutableTest {
 protected:
  void SetUp() override {
    PhoneExecutableTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace and veth pair";
    if (run("ip netns list") != 0) GTEST_SKIP() << "`ip netns` is not available";
    for (const char* p : {"dbus-daemon", "avahi-daemon", "unshare"}) {
      if (run(std::string("command -v ") + p) != 0) {
        GTEST_SKIP() << p << " is not installed (scripts/deps installs it)";
      }
    }
    const std::string id = std::to_string(getpid() % 100000);
    netns_ = "lbdisc" + id;
    veth_ = "lbdA" + id;
    const std::string peer = "lbdB" + id;
    const std::string subnet = "10.79." + std::to_string(getpid() % 250) + ".";
    ASSERT_EQ(run("ip netns add " + netns_), 0);
    nsCreated_ = true;
    ASSERT_EQ(run("ip link add " + veth_ + " type veth peer name " + peer), 0);
    vethCreated_ = true;
    ASSERT_EQ(run("ip link set " + peer + " netns " + netns_), 0);
    ASSERT_EQ(run("ip addr add " + subnet + "1/24 dev " + veth_), 0);
    ASSERT_EQ(run("ip link set " + veth_ + " up"), 0);
    ASSERT_EQ(run("ip -n " + netns_ + " addr add " + subnet + "2/24 dev " + peer), 0);
    ASSERT_EQ(run("ip -n " + netns_ + " link set " + peer + " up"), 0);

    const fs::path socket = dir / "bus.sock";
    bus = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + socket.string();
    std::ofstream(dir / "bus.conf") << testing::privateBusConfig(socket.string());
    std::ofstream(dir / "avahi.conf") << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces="
                                      << veth_ << "\nenable-dbus=yes\n[wide-area]\n"
                                      << "enable-wide-area=no\n[publish]\npublish-hinfo=no\n"
                                      << "publish-workstation=no\n";
    bus_ = std::make_unique<Process>(
        "/usr/bin/env", std::vector<std::string>{"dbus-daemon", "--config-file=" +
                                                     (dir / "bus.conf").string(),
                                                 "--nofork", "--nopidfile"});
    ASSERT_TRUE(waitForFile(socket)) << "the private bus did not come up";
    // A private /run, so that its pid file and sockets cannot meet another daemon's.
    avahi_ = std::make_unique<Process>(
        "/usr/bin/env",
        std::vector<std::string>{
            "unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
            "mount -t tmpfs lumenbrook-run /run && mkdir -p /run/avahi-daemon && "
            "exec avahi-daemon -f '" + (dir / "avahi.conf").string() +
                "' --no-drop-root --no-rlimits --no-chroot"},
        false, std::vector<std::string>{bus});
    ASSERT_TRUE(Process::anyContains(avahi_->stderrLines, "Server startup complete"))
        << Process::joined(avahi_->stderrLines);
  }

  void TearDown() override {
    if (avahi_) avahi_->terminate();
    if (bus_) bus_->terminate();
    if (vethCreated_) run("ip link del " + veth_);
    if (nsCreated_) run("ip netns del " + netns_);
    PhoneExecutableTest::TearDown();
  }

  static bool waitForFile(const fs::path& path) {
    auto deadline = std::chrono::steady_clock::now() + testing::kEventTimeout;
    while (!fs::exists(path)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  std::string bus;
  std::string netns_, veth_;
  bool nsCreated_ = false, vethCreated_ = false;
  std::unique_ptr<Process> bus_, avahi_;
};

TEST_F(DiscoveryTest, FindsTheAdvertisingHostWithItsPortAndFingerprint) {
  auto host = startHost({bus});
  auto listening = Process::lineStartingWith(host->stdoutLines, "LUMENBROOK-PAIR-1:");
  ASSERT_TRUE(listening);
  auto qr = QRPayload::parse(*listening, {});
  ASSERT_TRUE(qr);

  // The advertisement takes a moment to be announced and answered; browse until it shows.
  const std::string expected = "Test-Host  ";
  std::string found;
  auto deadline = std::chrono::steady_clock::now() + testing::kEventTimeout;
  while (found.empty() && std::chrono::steady_clock::now() < deadline) {
    Process discover(LB_PHONE_EXECUTABLE, {"discover", "--seconds", "2"}, false, {bus});
    const int exit = discover.waitForExit();
    for (const auto& line : discover.stdoutLines.items()) {
      if (line.rfind(expected, 0) == 0) found = line;
    }
    if (found.empty()) {
      EXPECT_EQ(exit, 1) << Process::joined(discover.stderrLines);
    }
  }
  ASSERT_FALSE(found.empty());
  EXPECT_NE(found.find(" port " + std::to_string(qr->port) + "  fp " + qr->hostFingerprint),
            std::string::npos)
      << found;
  host->terminate();
}

TEST_F(PhoneExecutableTest, DiscoveryWithoutADaemonSaysSo) {
  Process discover(LB_PHONE_EXECUTABLE, {"discover", "--seconds", "5"}, false,
                   {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir / "no-bus.sock").string()});
  EXPECT_EQ(discover.waitForExit(), 1);
  EXPECT_EQ(Process::joined(discover.stderrLines), std::string(kNoAvahiDaemon) + "\n");
}

}  // namespace
}  // namespace lumenbrook

namespace lumenbrook {
namespace {

// The keysym a key press typed, through the keyboard mapping of that moment.
std::uint32_t keysymOf(testing::XClient& client, std::uint8_t keycode) {
  xcb_connection_t* c = client.connection();
  auto reply = std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)>(
      xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, keycode, 1), nullptr), &std::free);
  if (!reply || reply->keysyms_per_keycode == 0) return 0;
  return xcb_get_keyboard_mapping_keysyms(reply.get())[0];
}

// Pixel (x, y) of a PNG as 0xRRGGBB, decoded by the ffmpeg command line.
std::optional<std::uint32_t> pngPixel(const fs::path& png, int width, int x, int y) {
  const fs::path raw = png.string() + ".rgb";
  Process convert("/usr/bin/ffmpeg", {"-loglevel", "error", "-y", "-i", png.string(), "-f", "rawvideo",
                                      "-pix_fmt", "rgb24", raw.string()});
  if (convert.waitForExit() != 0) return std::nullopt;
  const std::string bytes = readAll(raw);
  const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
  if (bytes.size() < at + 3) return std::nullopt;
  auto b = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
  return (b(0) << 16) | (b(1) << 8) | b(2);
}

bool near(std::uint32_t a, std::uint32_t b, int tolerance) {
  for (int shift : {0, 8, 16}) {
    int d = static_cast<int>((a >> shift) & 0xff) - static_cast<int>((b >> shift) & 0xff);
    if (d > tolerance || d < -tolerance) return false;
  }
  return true;
}

bool lumenbrookModes(testing::XClient& client) {
  for (const auto& name : client.modeNames()) {
    if (name.starts_with("Lumenbrook-")) return true;
  }
  return false;
}

// A real extended desktop: the host on a private Xorg whose dummy driver has free outputs.
TEST_F(PhoneExecutableTest, OnAnXDesktopThePhoneSeesItsNewMonitorAndDrivesIt) {
  std::string why;
  auto x = testing::XServer::xorgDummy(&why);
  if (!x) GTEST_SKIP() << why;
  testing::XClient client(x->display());
  ASSERT_TRUE(client.ok());
  const std::vector<std::string> environment{"DISPLAY=" + x->display(), "WAYLAND_DISPLAY=",
                                             "XDG_SESSION_TYPE=x11"};
  // Where the phone's monitor will appear, right of the 1280 x 800 one: 200 px into it.
  testing::TestWindow window(client, 1280 + 200, 100, 300, 200, 0x3366cc);

  auto host = startHost(environment, {"--display", "x11"});
  auto code = Process::lineStartingWith(host->stdoutLines, "LUMENBROOK-PAIR-1:");
  ASSERT_TRUE(code) << Process::joined(host->stderrLines);
  EXPECT_TRUE(Process::anyContains(host->stderrLines, "display: X11 on " + x->display()));
  {
    Process pair = phone({"pair", *code, "--state", state.string(), "--yes"});
    ASSERT_EQ(pair.waitForExit(), 0) << Process::joined(pair.stderrLines);
  }

  const fs::path snapshot = dir / "snapshot.png";
  Process stream = phone({"stream", "--state", state.string(), "--screen", "1170x540@1@30",
                          "--seconds", "4", "--snapshot", snapshot.string()});
  ASSERT_TRUE(Process::anyContains(host->stderrLines, "display: monitor 1170x540@30 on DUMMY"))
      << Process::joined(host->stderrLines);

  // The pointer starts in the middle of the first monitor.
  Process input = phone({"input", "--state", state.string(), "--move", "900,-200", "--click",
                         "--type", "hi"});
  ASSERT_EQ(input.waitForExit(), 0) << Process::joined(input.stderrLines);
  EXPECT_EQ(client.pointer().x, 1540);
  EXPECT_EQ(client.pointer().y, 200);
  EXPECT_EQ(window.waitFor(XCB_BUTTON_PRESS, 1, 10000).size(), 1u);
  auto keys = window.waitFor(XCB_KEY_PRESS, 2, 10000);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keysymOf(client, keys[0].detail), std::uint32_t{'h'});
  EXPECT_EQ(keysymOf(client, keys[1].detail), std::uint32_t{'i'});

  ASSERT_EQ(stream.waitForExit(), 0) << Process::joined(stream.stderrLines);
  auto inside = pngPixel(snapshot, 1170, 350, 200);
  auto beside = pngPixel(snapshot, 1170, 100, 400);
  ASSERT_TRUE(inside && beside);
  EXPECT_TRUE(near(*inside, 0x3366cc, 24)) << std::hex << *inside;
  EXPECT_TRUE(near(*beside, 0x000000, 24)) << std::hex << *beside;

  // Killed while streaming, the host leaves its monitor behind; started again it removes it.
  Process again = phone({"stream", "--state", state.string(), "--screen", "1170x540@1@30",
                         "--seconds", "10"});
  ASSERT_TRUE(host->stderrLines.waitUntil([](const std::vector<std::string>& all) {
    std::size_t n = 0;
    for (const auto& l : all) n += l.find("display: monitor 1170x540@30") != std::string::npos;
    return n >= 2;
  }));
  ::kill(host->pid(), SIGKILL);
  host->waitForExit();
  EXPECT_TRUE(lumenbrookModes(client));
  host = startHost(environment, {"--display", "x11"});
  ASSERT_TRUE(Process::anyContains(host->stderrLines, "listening on port"));
  EXPECT_FALSE(lumenbrookModes(client));
  EXPECT_EQ(client.screenSize(), (std::pair{1280, 800}));
  EXPECT_EQ(host->terminate(), 0);
}

}  // namespace
}  // namespace lumenbrook

namespace lumenbrook {
namespace {

// Whether the window manager says a window is active (_NET_ACTIVE_WINDOW non-zero).
bool someWindowIsActive(testing::XClient& x) {
  const char name[] = "_NET_ACTIVE_WINDOW";
  xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
      x.connection(), xcb_intern_atom(x.connection(), 0, sizeof name - 1, name), nullptr);
  if (!atom) return false;
  xcb_get_property_reply_t* r = xcb_get_property_reply(
      x.connection(), xcb_get_property(x.connection(), 0, x.root(), atom->atom, XCB_ATOM_WINDOW, 0, 1),
      nullptr);
  std::free(atom);
  bool active = r && xcb_get_property_value_length(r) == 4 &&
                *static_cast<xcb_window_t*>(xcb_get_property_value(r)) != 0;
  std::free(r);
  return active;
}

TEST_F(PhoneExecutableTest, OnAWindowManagedDesktopTheStatusNamesTheFrontmostApplication) {
  std::string why;
  auto x = testing::XServer::xvfb(1280, 800, &why);
  if (!x) GTEST_SKIP() << why;
  testing::XClient client(x->display());
  ASSERT_TRUE(client.ok());
  client.watch(client.root(), XCB_EVENT_MASK_PROPERTY_CHANGE);
  fs::create_directories(dir / "home");
  const std::vector<std::string> desktop{"DISPLAY=" + x->display(),
                                         "HOME=" + (dir / "home").string(),
                                         "XDG_CONFIG_HOME=" + (dir / "home").string()};
  // openbox starts the terminal once it manages windows, and focuses it.
  auto wm = testing::Program::start({"openbox", "--sm-disable", "--startup", "xterm"}, desktop,
                                    &why);
  if (!wm) GTEST_SKIP() << why << " (package openbox)";
  ASSERT_TRUE(client.waitUntil([&] { return someWindowIsActive(client); }, 20000))
      << "no active window under openbox";

  const std::vector<std::string> environment{"DISPLAY=" + x->display(), "WAYLAND_DISPLAY=",
                                             "XDG_SESSION_TYPE=x11"};
  auto host = startHost(environment, {"--display", "x11"});
  auto code = Process::lineStartingWith(host->stdoutLines, "LUMENBROOK-PAIR-1:");
  ASSERT_TRUE(code) << Process::joined(host->stderrLines);
  {
    Process pair = phone({"pair", *code, "--state", state.string(), "--yes"});
    ASSERT_EQ(pair.waitForExit(), 0) << Process::joined(pair.stderrLines);
  }
  Process status = phone({"status", "--state", state.string(), "--count", "1"});
  ASSERT_EQ(status.waitForExit(), 0) << Process::joined(status.stderrLines);
  auto report = Process::lineStartingWith(status.stdoutLines, "Test-Host: ");
  ASSERT_TRUE(report);
  EXPECT_NE(report->find("frontmost XTerm"), std::string::npos) << *report;
  EXPECT_NE(report->find("1 app running"), std::string::npos) << *report;
  EXPECT_NE(report->find(" GB free ("), std::string::npos) << *report;
  EXPECT_EQ(host->terminate(), 0);
}

}  // namespace
}  // namespace lumenbrook
