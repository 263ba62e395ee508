#include "desktop/x11/virtual_monitors.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/desktop/x_server.h"

namespace lumenbrook {
namespace {

using testing::XClient;
using testing::XServer;

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

constexpr int kMainWidth = 1280, kMainHeight = 800;  // DUMMY0 in the dummy server's config
constexpr ScreenRegion kMain{0, 0, kMainWidth, kMainHeight};

std::vector<std::string> lumenbrookModes(XClient& client) {
  std::vector<std::string> ours;
  for (auto& name : client.modeNames()) {
    if (name.starts_with("Lumenbrook-")) ours.push_back(name);
  }
  return ours;
}

std::vector<XClient::Output> activeOutputs(XClient& client) {
  std::vector<XClient::Output> active;
  for (auto& o : client.outputs()) {
    if (o.active) active.push_back(o);
  }
  return active;
}

std::optional<XClient::Output> outputNamed(XClient& client, const std::string& name) {
  for (auto& o : client.outputs()) {
    if (o.name == name) return o;
  }
  return std::nullopt;
}

std::optional<xcb_randr_mode_info_t> modeNamed(XClient& client, const std::string& name) {
  xcb_connection_t* c = client.connection();
  Reply<xcb_randr_get_screen_resources_current_reply_t> res(
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, client.root()), nullptr),
      &std::free);
  if (!res) return std::nullopt;
  const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res.get());
  const char* names =
      reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(res.get()));
  for (int i = 0, offset = 0; i < xcb_randr_get_screen_resources_current_modes_length(res.get());
       ++i) {
    if (std::string(names + offset, modes[i].name_len) == name) return modes[i];
    offset += modes[i].name_len;
  }
  return std::nullopt;
}

xcb_randr_output_t outputId(XClient& client, const std::string& name) {
  xcb_connection_t* c = client.connection();
  Reply<xcb_randr_get_screen_resources_current_reply_t> res(
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, client.root()), nullptr),
      &std::free);
  if (!res) return XCB_NONE;
  const xcb_randr_output_t* outs = xcb_randr_get_screen_resources_current_outputs(res.get());
  for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(res.get()); ++i) {
    Reply<xcb_randr_get_output_info_reply_t> info(
        xcb_randr_get_output_info_reply(
            c, xcb_randr_get_output_info(c, outs[i], res->config_timestamp), nullptr),
        &std::free);
    if (info &&
        std::string(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                    xcb_randr_get_output_info_name_length(info.get())) == name) {
      return outs[i];
    }
  }
  return XCB_NONE;
}

// Waits for `done` to hold, polling; the limit only bounds a failing test.
template <class Predicate>
bool waitUntil(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void fakeMotion(XClient& client, int x, int y) {
  xcb_test_fake_input(client.connection(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, client.root(),
                      static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0);
}

// Absolute XTest motion, then where the server put the pointer. The server keeps the pointer
// on the monitors: towards a point no CRTC shows, it stops at the edge of the one it leaves.
// Only x is checked that way; y (kept on the main monitor) tells that the motion was done.
XClient::Pointer movePointer(XClient& client, int x, int y) {
  const int away = y == 0 ? 1 : 0;
  fakeMotion(client, 0, away);
  waitUntil([&] { return client.pointer().y == away; });
  fakeMotion(client, x, y);
  XClient::Pointer p;
  waitUntil([&] {
    p = client.pointer();
    return p.y == y;
  });
  return p;
}

// Millimetres per pixel as a new client learns them (the connection setup is a snapshot).
double mmPerPixel(const std::string& display) {
  XClient fresh(display);
  const xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(fresh.connection())).data;
  return double(s->width_in_millimeters) / s->width_in_pixels;
}

class Lines {
 public:
  VirtualMonitors::Log log() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class VirtualMonitorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    server_ = XServer::xorgDummy(&why);
    if (!server_) GTEST_SKIP() << why;
    client_ = std::make_unique<XClient>(server_->display());
    ASSERT_TRUE(client_->ok());
  }

  std::unique_ptr<VirtualMonitors> open(VirtualMonitors::Log log = {}) {
    auto monitors = VirtualMonitors::open(server_->display(), std::move(log));
    EXPECT_TRUE(monitors.ok()) << monitors.error();
    return monitors ? std::move(monitors.value()) : nullptr;
  }

  // The screen as the server started: DUMMY0 only, nothing of ours.
  void expectPristine() {
    EXPECT_EQ(lumenbrookModes(*client_), std::vector<std::string>{});
    auto active = activeOutputs(*client_);
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].name, "DUMMY0");
    EXPECT_EQ(client_->screenSize(), std::make_pair(kMainWidth, kMainHeight));
  }

  std::unique_ptr<XServer> server_;
  std::unique_ptr<XClient> client_;
};

TEST_F(VirtualMonitorsTest, ExtendsTheDesktopRightOfTheMainMonitorAndShrinksBack) {
  auto monitors = open();
  ASSERT_TRUE(monitors);
  const double density = mmPerPixel(server_->display());
  EXPECT_EQ(monitors->desktopBounds(), (Rect{0, 0, 1280, 800}));
  EXPECT_LT(movePointer(*client_, 1500, 300).x, kMainWidth) << "nothing right of DUMMY0 yet";

  auto monitor = monitors->create(1170, 540, 60);
  ASSERT_TRUE(monitor.ok()) << monitor.error();
  EXPECT_EQ((*monitor)->region(), (ScreenRegion{1280, 0, 1170, 540}));
  auto output = outputNamed(*client_, (*monitor)->output());
  ASSERT_TRUE(output);
  EXPECT_TRUE(output->active);
  EXPECT_EQ((std::vector<int>{output->x, output->y, output->width, output->height}),
            (std::vector<int>{1280, 0, 1170, 540}));
  EXPECT_EQ(lumenbrookModes(*client_), std::vector<std::string>{"Lumenbrook-1170x540"});
  EXPECT_EQ(client_->screenSize(), std::make_pair(2450, 800));
  EXPECT_NEAR(mmPerPixel(server_->display()), density, 0.01 * density);
  EXPECT_EQ(monitors->desktopBounds(), (Rect{0, 0, 2450, 800}));
  EXPECT_EQ(monitors->mainMonitor(), kMain);

  auto inside = movePointer(*client_, 1500, 300);
  EXPECT_EQ(std::make_pair(inside.x, inside.y), std::make_pair(1500, 300));

  monitor.value().reset();
  expectPristine();
  EXPECT_EQ(monitors->desktopBounds(), (Rect{0, 0, 1280, 800}));
  EXPECT_LT(movePointer(*client_, 1500, 300).x, kMainWidth);
}

struct ModeCase {
  int width, height, fps;
};

class VirtualMonitorModeTest : public VirtualMonitorsTest,
                               public ::testing::WithParamInterface<ModeCase> {};

TEST_P(VirtualMonitorModeTest, HasExactlyTheStreamSizeAndItsRate) {
  const ModeCase m = GetParam();
  auto monitors = open();
  ASSERT_TRUE(monitors);
  auto monitor = monitors->create(m.width, m.height, m.fps);
  ASSERT_TRUE(monitor.ok()) << monitor.error();
  const std::string name = "Lumenbrook-" + std::to_string(m.width) + "x" + std::to_string(m.height);
  auto mode = modeNamed(*client_, name);
  ASSERT_TRUE(mode) << name;
  EXPECT_EQ(mode->width, m.width);
  EXPECT_EQ(mode->height, m.height);
  EXPECT_LE(mode->width, mode->hsync_start);
  EXPECT_LT(mode->hsync_start, mode->hsync_end);
  EXPECT_LT(mode->hsync_end, mode->htotal);
  EXPECT_LT(mode->height, mode->vsync_start);
  EXPECT_LT(mode->vsync_start, mode->vsync_end);
  EXPECT_LT(mode->vsync_end, mode->vtotal);
  const double refresh = double(mode->dot_clock) / (double(mode->htotal) * mode->vtotal);
  EXPECT_NEAR(refresh, m.fps, 1.0);
  auto output = outputNamed(*client_, (*monitor)->output());
  ASSERT_TRUE(output);
  EXPECT_EQ(std::make_pair(output->width, output->height), std::make_pair(m.width, m.height));
}

INSTANTIATE_TEST_SUITE_P(Sizes, VirtualMonitorModeTest,
                         ::testing::Values(ModeCase{1170, 540, 60},  // not a multiple of 8
                                           ModeCase{1080, 2340,
                                                    60},  // portrait, taller than DUMMY0
                                           ModeCase{1920, 1080, 30}, ModeCase{1001, 777, 120}));

TEST_F(VirtualMonitorsTest, MonitorsSitSideBySideAndKeepTheirPlaces) {
  auto monitors = open();
  ASSERT_TRUE(monitors);
  auto first = monitors->create(1170, 540, 60);
  auto second = monitors->create(1170, 540, 60);
  ASSERT_TRUE(first.ok()) << first.error();
  ASSERT_TRUE(second.ok()) << second.error();
  EXPECT_EQ((*second)->region(), (ScreenRegion{2450, 0, 1170, 540}));
  EXPECT_NE((*first)->output(), (*second)->output());
  EXPECT_EQ(lumenbrookModes(*client_), std::vector<std::string>{"Lumenbrook-1170x540"})
      << "one shared mode";
  EXPECT_EQ(client_->screenSize(), std::make_pair(3620, 800));

  // The second stays where its stream captures it; the screen shrinks only from the right.
  const std::string secondOutput = (*second)->output();
  first.value().reset();
  auto output = outputNamed(*client_, secondOutput);
  ASSERT_TRUE(output);
  EXPECT_TRUE(output->active);
  EXPECT_EQ(std::make_pair(output->x, output->y), std::make_pair(2450, 0));
  EXPECT_EQ(lumenbrookModes(*client_), std::vector<std::string>{"Lumenbrook-1170x540"});
  EXPECT_EQ(client_->screenSize(), std::make_pair(3620, 800));
  EXPECT_EQ(activeOutputs(*client_).size(), 2u);
  auto inside = movePointer(*client_, 3000, 300);
  EXPECT_EQ(std::make_pair(inside.x, inside.y), std::make_pair(3000, 300));

  second.value().reset();
  expectPristine();
}

TEST_F(VirtualMonitorsTest, SameSizeAtAnotherRateGetsItsOwnMode) {
  auto monitors = open();
  ASSERT_TRUE(monitors);
  auto fast = monitors->create(1170, 540, 60);
  auto slow = monitors->create(1170, 540, 30);
  ASSERT_TRUE(fast.ok()) << fast.error();
  ASSERT_TRUE(slow.ok()) << slow.error();
  auto mode = modeNamed(*client_, "Lumenbrook-1170x540-2");
  ASSERT_TRUE(mode);
  EXPECT_NEAR(double(mode->dot_clock) / (double(mode->htotal) * mode->vtotal), 30, 1.0);
  fast.value().reset();
  slow.value().reset();
  expectPristine();
}

TEST_F(VirtualMonitorsTest, OneMonitorPerFreeCrtcThenAClearError) {
  auto monitors = open();
  ASSERT_TRUE(monitors);
  std::size_t disconnected = 0;
  for (auto& o : client_->outputs()) disconnected += o.connected ? 0 : 1;
  ASSERT_GT(disconnected, 1u);
  // Narrow enough that all of them fit beside DUMMY0 on the dummy's 4096 pixels of width.
  const int width = 184;
  std::vector<std::unique_ptr<VirtualMonitors::Monitor>> made;
  for (;;) {
    auto monitor = monitors->create(width, 120, 60);
    if (!monitor) {
      EXPECT_NE(monitor.error().find("no disconnected output with a free CRTC"), std::string::npos)
          << monitor.error();
      break;
    }
    EXPECT_EQ((*monitor)->region().x, kMainWidth + width * static_cast<int>(made.size()));
    made.push_back(std::move(monitor.value()));
    ASSERT_LE(made.size(), disconnected);
  }
  EXPECT_EQ(made.size(), disconnected);
  EXPECT_EQ(activeOutputs(*client_).size(), disconnected + 1);
  made.clear();
  expectPristine();
}

// The dummy driver connects every output it drives and keeps it connected once off; such an
// output must stay usable, by this instance and by the next process, or the outputs run out
// one stream after the other.
TEST_F(VirtualMonitorsTest, AnOutputTheDriverConnectedForUsIsTakenAgain) {
  std::size_t disconnected = 0;
  for (auto& o : client_->outputs()) disconnected += o.connected ? 0 : 1;
  std::string first;
  for (std::size_t i = 0; i <= disconnected; ++i) {
    auto monitors = open();  // a new instance each time knows only what the server keeps
    ASSERT_TRUE(monitors);
    auto monitor = monitors->create(1170, 540, 60);
    ASSERT_TRUE(monitor.ok()) << "round " << i << ": " << monitor.error();
    if (i == 0) first = (*monitor)->output();
    EXPECT_EQ((*monitor)->output(), first);
  }
  expectPristine();
}

TEST_F(VirtualMonitorsTest, ModesOfAProcessThatDiedAreRemovedByTheNextOpen) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto monitors = VirtualMonitors::open(server_->display());
    if (!monitors) ::_exit(1);
    auto monitor = (*monitors)->create(1170, 540, 60);
    ::_exit(monitor ? 0 : 2);  // no destructors: the monitor stays on the screen
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_EQ(lumenbrookModes(*client_), std::vector<std::string>{"Lumenbrook-1170x540"});
  ASSERT_EQ(activeOutputs(*client_).size(), 2u);
  ASSERT_EQ(client_->screenSize(), std::make_pair(2450, 800));

  Lines log;
  auto monitors = open(log.log());
  ASSERT_TRUE(monitors);
  expectPristine();
  EXPECT_EQ(monitors->desktopBounds(), (Rect{0, 0, 1280, 800}));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].find("Lumenbrook-1170x540"), std::string::npos) << log.lines()[0];

  Lines quiet;
  EXPECT_TRUE(open(quiet.log()));
  EXPECT_EQ(quiet.lines(), std::vector<std::string>{}) << "nothing left to clean";
}

TEST_F(VirtualMonitorsTest, APluggedInMonitorTakesTheOutputOnce) {
  auto monitors = open();
  ASSERT_TRUE(monitors);
  auto created = monitors->create(1170, 540, 60);
  ASSERT_TRUE(created.ok()) << created.error();
  std::unique_ptr<VirtualMonitors::Monitor> monitor = std::move(created.value());
  const std::string name = monitor->output();
  int lost = 0;
  // What a stream does when its monitor goes away: it drops it, inside the handler.
  monitor->onLost([&] {
    ++lost;
    monitor.reset();
  });

  monitors->handleOutputConnected(outputId(*client_, name == "DUMMY5" ? "DUMMY6" : "DUMMY5"));
  EXPECT_EQ(lost, 0);
  EXPECT_TRUE(outputNamed(*client_, name)->active) << "another output was plugged";

  const xcb_randr_output_t ours = outputId(*client_, name);
  monitors->handleOutputConnected(ours);
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(monitor);
  expectPristine();
  EXPECT_EQ(monitors->desktopBounds(), (Rect{0, 0, 1280, 800}));

  monitors->handleOutputConnected(ours);
  EXPECT_EQ(lost, 1);
}

// The dummy driver reports an output it drives as connected at the next probe, which any
// client may cause: that is no monitor being plugged in.
TEST_F(VirtualMonitorsTest, AProbeIsNoPlug) {
  auto monitors = open();
  auto other = open();
  ASSERT_TRUE(monitors && other);
  auto monitor = monitors->create(1170, 540, 60);
  ASSERT_TRUE(monitor.ok()) << monitor.error();
  int lost = 0;
  (*monitor)->onLost([&] { ++lost; });
  (void)client_->modeNames();  // a full screen-resources request probes the outputs
  // Marker: once the event thread has seen another client's change, it has seen the probe's.
  auto marker = other->create(640, 480, 60);
  ASSERT_TRUE(marker.ok()) << marker.error();
  ASSERT_TRUE(waitUntil([&] { return monitors->desktopBounds() == Rect{0, 0, 3090, 800}; }));
  EXPECT_EQ(lost, 0);
  EXPECT_TRUE(outputNamed(*client_, (*monitor)->output())->active);
}

TEST_F(VirtualMonitorsTest, LostBeforeAHandlerIsSetStillReportsOnce) {
  auto monitors = open();
  ASSERT_TRUE(monitors);
  auto monitor = monitors->create(1170, 540, 60);
  ASSERT_TRUE(monitor.ok()) << monitor.error();
  monitors->handleOutputConnected(outputId(*client_, (*monitor)->output()));
  int lost = 0;
  (*monitor)->onLost([&] { ++lost; });
  EXPECT_EQ(lost, 1);
  (*monitor)->onLost([&] { ++lost; });
  EXPECT_EQ(lost, 1);
  monitor.value().reset();
  expectPristine();
}

struct RefusedCase {
  const char* label;
  int width, height, fps;
  const char* reason;  // part of the error sentence
};

class VirtualMonitorRefusedTest : public VirtualMonitorsTest,
                                  public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(VirtualMonitorRefusedTest, FailsWithAReasonAndLeavesNothingBehind) {
  const RefusedCase r = GetParam();
  auto monitors = open();
  ASSERT_TRUE(monitors);
  auto monitor = monitors->create(r.width, r.height, r.fps);
  ASSERT_FALSE(monitor.ok());
  EXPECT_NE(monitor.error().find(r.reason), std::string::npos) << monitor.error();
  expectPristine();
  EXPECT_EQ(monitors->desktopBounds(), (Rect{0, 0, 1280, 800}));
  // Whatever was tried is undone: the same output takes a monitor again.
  auto next = monitors->create(1170, 540, 60);
  EXPECT_TRUE(next.ok()) << next.error();
}

INSTANTIATE_TEST_SUITE_P(
    Requests, VirtualMonitorRefusedTest,
    ::testing::Values(RefusedCase{"EmptyWidth", 0, 540, 60, "each side must be"},
                      RefusedCase{"NoRate", 1170, 540, 0, "the rate must be"},
                      // Beyond RandR's maximum screen size of 32767.
                      RefusedCase{"WiderThanTheScreenCanBe", 32000, 1000, 60, "beyond its maximum"},
                      // Within the maximum but beyond the dummy's video memory: the server refuses
                      // to grow the screen after the mode was made and added, which must be undone.
                      RefusedCase{"MoreThanVideoMemory", 12000, 6000, 30, "cannot grow"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(VirtualMonitorsTest, BoundsFollowChangesMadeByAnotherClient) {
  auto watcher = open();
  auto other = open();
  ASSERT_TRUE(watcher && other);
  auto monitor = other->create(1170, 540, 60);
  ASSERT_TRUE(monitor.ok()) << monitor.error();
  EXPECT_TRUE(waitUntil([&] { return watcher->desktopBounds() == Rect{0, 0, 2450, 800}; }));
  // The other's monitor is no candidate for the watcher's main monitor either way.
  EXPECT_EQ(watcher->mainMonitor(), kMain);
  monitor.value().reset();
  EXPECT_TRUE(waitUntil([&] { return watcher->desktopBounds() == Rect{0, 0, 1280, 800}; }));
}

TEST_F(VirtualMonitorsTest, AServerThatWentAwayIsNoCrash) {
  auto monitors = open();
  ASSERT_TRUE(monitors);
  auto monitor = monitors->create(1170, 540, 60);
  ASSERT_TRUE(monitor.ok()) << monitor.error();
  client_.reset();
  server_.reset();
  auto another = monitors->create(800, 600, 60);
  EXPECT_FALSE(another.ok());
  EXPECT_EQ(monitors->mainMonitor(), (ScreenRegion{0, 0, 2450, 800})) << "the last layout seen";
  monitor.value().reset();
  monitors.reset();
}

TEST(VirtualMonitorsOpenTest, ADisplayThatIsNotThereIsAnError) {
  auto monitors = VirtualMonitors::open(":987654");
  ASSERT_FALSE(monitors.ok());
  EXPECT_NE(monitors.error().find(":987654"), std::string::npos) << monitors.error();
}

TEST(VirtualMonitorsXvfbTest, NoFreeCrtcMeansNoMonitorAndTheWholeOutputIsMain) {
  std::string why;
  auto server = XServer::xvfb(1920, 1080, &why);
  if (!server) GTEST_SKIP() << why;
  auto monitors = VirtualMonitors::open(server->display());
  ASSERT_TRUE(monitors.ok()) << monitors.error();
  auto monitor = (*monitors)->create(1170, 540, 60);
  ASSERT_FALSE(monitor.ok());
  EXPECT_NE(monitor.error().find("no disconnected output with a free CRTC"), std::string::npos)
      << monitor.error();
  EXPECT_EQ((*monitors)->mainMonitor(), (ScreenRegion{0, 0, 1920, 1080}));
  EXPECT_EQ((*monitors)->desktopBounds(), (Rect{0, 0, 1920, 1080}));
  XClient client(server->display());
  EXPECT_EQ(lumenbrookModes(client), std::vector<std::string>{});
  EXPECT_EQ(client.screenSize(), std::make_pair(1920, 1080));
}

}  // namespace
}  // namespace lumenbrook
