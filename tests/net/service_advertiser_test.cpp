#include "net/service_advertiser.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/net/net_test_support.h"
#include "tests/support/private_bus.h"

extern char** environ;

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::Recorder;

constexpr const char* kFingerprint = "0123456789abcdef0123456789abcdef";

// libdbus reads the system bus address once per process, so every advertiser of this binary
// uses one private address: a bus of our own when a test starts one there, nothing otherwise.
const fs::path& privateBusDir() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("lumenbrook-mdns-" + std::to_string(getpid()));
    std::string address = "unix:path=" + (d / "bus.sock").string();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    return d;
  }();
  return dir;
}

TEST(AvahiAdvertiserTest, WithoutADaemonItLogsOneLineAndCarriesOn) {
  privateBusDir();  // nothing listens there
  EventLoop loop("host-server");
  Recorder<std::string> logs;
  std::unique_ptr<AvahiAdvertiser> advertiser;
  loop.postAndWait([&] {
    advertiser = std::make_unique<AvahiAdvertiser>(
        loop, ServiceRecord::hostService("Lumenbrook Test", kFingerprint),
        [&](const std::string& line) { logs.add(line); });
    advertiser->publish(4242);
    advertiser->publish(4243);
    advertiser->withdraw();
    advertiser->publish(4244);
  });
  loop.postAndWait([] {});  // lines are posted; all have arrived now
  EXPECT_THAT(logs.items(), ElementsAre("service advertisement unavailable: Daemon not running"));
  loop.postAndWait([&] { advertiser.reset(); });
}

// ---- A real Avahi daemon on a private bus, over a veth pair whose peer sits in a network
// namespace of its own, so multicast never leaves the machine.

int run(const std::string& command) {
  int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool haveProgram(const std::string& name) { return run("command -v " + name) == 0; }

std::string capture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// A child process, ended by its PID.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const fs::path& logFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool running() {
    if (pid_ <= 0) return false;
    return waitpid(pid_, nullptr, WNOHANG) == 0;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

bool canConnectUnix(const fs::path& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  std::snprintf(sun.sun_path, sizeof sun.sun_path, "%s", path.c_str());
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) == 0;
  close(fd);
  return ok;
}

// Polls `done` every 100 ms until it holds or `limit` passed.
template <class F>
bool pollUntil(std::chrono::milliseconds limit, F done) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
}

// Avahi's parsable output writes unusual name characters as \DDD (decimal).
std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto digit = [&](std::size_t k) { return std::isdigit(static_cast<unsigned char>(s[k])) != 0; };
    if (s[i] == '\\' && i + 3 < s.size() && digit(i + 1) && digit(i + 2) && digit(i + 3)) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 3))));
      i += 3;
    } else if (s[i] == '\\' && i + 1 < s.size()) {
      out.push_back(s[++i]);
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

struct Resolved {
  std::string name;
  std::uint16_t port = 0;
  std::string txt;
};

// The resolved ("=") lines for the host service type on `interface`.
std::vector<Resolved> browse(const std::string& interface) {
  std::vector<Resolved> found;
  std::istringstream lines(capture("timeout 5 avahi-browse -rpt _lumenbrook._tcp 2>/dev/null"));
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, ';')) f.push_back(field);
    if (f.size() < 10 || f[0] != "=" || f[1] != interface || f[4] != "_lumenbrook._tcp") continue;
    found.push_back(Resolved{unescape(f[3]), static_cast<std::uint16_t>(std::stoi(f[8])), f[9]});
  }
  return found;
}

class AvahiDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace and veth pair";
    if (run("ip netns list") != 0) GTEST_SKIP() << "`ip netns` is not available";
    for (const char* p : {"dbus-daemon", "avahi-daemon", "avahi-browse", "unshare", "timeout"}) {
      if (!haveProgram(p)) GTEST_SKIP() << p << " is not installed (scripts/deps installs it)";
    }
    const std::string id = std::to_string(getpid() % 100000);
    netns_ = "lbmdns" + id;
    veth_ = "lbA" + id;
    const std::string peer = "lbB" + id;
    const std::string subnet = "10.77." + std::to_string(getpid() % 250) + ".";
    dir_ = privateBusDir();
    fs::create_directories(dir_);

    ASSERT_EQ(run("ip netns add " + netns_), 0);
    nsCreated_ = true;
    ASSERT_EQ(run("ip link add " + veth_ + " type veth peer name " + peer), 0);
    vethCreated_ = true;
    ASSERT_EQ(run("ip link set " + peer + " netns " + netns_), 0);
    ASSERT_EQ(run("ip addr add " + subnet + "1/24 dev " + veth_), 0);
    ASSERT_EQ(run("ip link set " + veth_ + " up"), 0);
    ASSERT_EQ(run("ip -n " + netns_ + " addr add " + subnet + "2/24 dev " + peer), 0);
    ASSERT_EQ(run("ip -n " + netns_ + " link set " + peer + " up"), 0);

    // A bus of our own: no service activation, so nothing else gets started on it.
    std::ofstream(dir_ / "bus.conf") << testing::privateBusConfig((dir_ / "bus.sock").string());
    std::ofstream(dir_ / "avahi.conf") << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces="
                                       << veth_ << "\nenable-dbus=yes\nratelimit-interval-usec=1000000\n"
                                       << "ratelimit-burst=1000\n[wide-area]\nenable-wide-area=no\n"
                                       << "[publish]\npublish-hinfo=no\npublish-workstation=no\n";
    bus_ = std::make_unique<Child>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + (dir_ / "bus.conf").string(),
                                 "--nofork", "--nopidfile"},
        dir_ / "bus.log");
    ASSERT_TRUE(pollUntil(5000ms, [&] { return canConnectUnix(dir_ / "bus.sock"); }))
        << "the private bus did not come up";
  }

  // The daemon runs with a private /run so that its pid file and sockets cannot meet another
  // daemon's on this machine.
  void startAvahi() {
    avahi_ = std::make_unique<Child>(
        std::vector<std::string>{"unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                                 "mount -t tmpfs lumenbrook-run /run && mkdir -p /run/avahi-daemon && "
                                 "exec avahi-daemon -f '" + (dir_ / "avahi.conf").string() +
                                     "' --no-drop-root --no-rlimits --no-chroot"},
        dir_ / "avahi.log");
  }

  void TearDown() override {
    loop.postAndWait([&] { advertisers.clear(); });
    avahi_.reset();
    bus_.reset();
    if (vethCreated_) run("ip link del " + veth_);
    if (nsCreated_) run("ip netns del " + netns_);
    if (!dir_.empty()) {
      std::error_code ec;
      fs::remove_all(dir_, ec);
    }
  }

  std::string daemonLog() {
    std::ifstream in(dir_ / "avahi.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  AvahiAdvertiser& advertise(const std::string& name, std::uint16_t port) {
    return *loop.postAndWait([&] {
      auto a = std::make_unique<AvahiAdvertiser>(loop, ServiceRecord::hostService(name, kFingerprint),
                                                 [&](const std::string& line) { logs.add(line); });
      a->publish(port);
      advertisers.push_back(std::move(a));
      return advertisers.back().get();
    });
  }

  EventLoop loop{"host-server"};
  Recorder<std::string> logs;
  std::vector<std::unique_ptr<AvahiAdvertiser>> advertisers;
  std::string netns_, veth_;
  fs::path dir_;
  bool nsCreated_ = false, vethCreated_ = false;
  std::unique_ptr<Child> bus_, avahi_;
};

bool hasInstance(const std::vector<Resolved>& found, const std::string& name, std::uint16_t port) {
  for (const auto& r : found) {
    if (r.name == name && r.port == port && r.txt == std::string("\"fp=") + kFingerprint + "\"") {
      return true;
    }
  }
  return false;
}

TEST_F(AvahiDaemonTest, PublishesTheInstanceWithItsFingerprintOnceTheDaemonAppears) {
  const std::string name = "Lumenbrook Test " + std::to_string(getpid());
  // Published before the daemon runs: one line, then the advertisement goes out on its own.
  advertise(name, 4242);
  EXPECT_THAT(logs.waitFor(1), ElementsAre("service advertisement unavailable: Daemon not running"));
  startAvahi();
  std::vector<Resolved> found;
  ASSERT_TRUE(pollUntil(10000ms, [&] {
    found = browse(veth_);
    return hasInstance(found, name, 4242);
  })) << "not browsable; daemon log:\n" << daemonLog();

  // The same name again is a collision: Avahi's alternative is taken and said.
  advertise(name, 4343);
  ASSERT_TRUE(pollUntil(10000ms, [&] {
    found = browse(veth_);
    return hasInstance(found, name + " #2", 4343);
  })) << "no alternative name; daemon log:\n" << daemonLog();
  EXPECT_THAT(logs.items(),
              ElementsAre("service advertisement unavailable: Daemon not running",
                          "service name in use, advertising as \"" + name + " #2\""));

  // A new port replaces the old one; withdrawing takes the instance away.
  loop.postAndWait([&] { advertisers[0]->publish(4444); });
  ASSERT_TRUE(pollUntil(10000ms, [&] {
    found = browse(veth_);
    return hasInstance(found, name, 4444) && !hasInstance(found, name, 4242);
  }));
  loop.postAndWait([&] { advertisers[0]->withdraw(); });
  ASSERT_TRUE(pollUntil(10000ms, [&] {
    found = browse(veth_);
    return !hasInstance(found, name, 4444) && hasInstance(found, name + " #2", 4343);
  }));
}

}  // namespace
}  // namespace lumenbrook
