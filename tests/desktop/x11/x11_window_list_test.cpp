// The applications a real window manager (openbox on Xvfb) lists: which windows count, which
// one is frontmost and what it is called; nothing without a live window manager or server.

#include "desktop/x11/x11_window_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/x11/x11_display.h"
#include "tests/desktop/x_server.h"

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using testing::Program;
using testing::XClient;
using testing::XServer;
using Classes = X11WindowList::Classes;

constexpr int kTimeoutMs = 20'000;

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

xcb_atom_t atom(XClient& x, const char* name) {
  Reply<xcb_intern_atom_reply_t> r(
      xcb_intern_atom_reply(x.connection(),
                            xcb_intern_atom(x.connection(), 0, static_cast<std::uint16_t>(std::strlen(name)), name),
                            nullptr),
      &std::free);
  return r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
}

void set32(XClient& x, xcb_window_t w, const char* property, xcb_atom_t type, const std::vector<std::uint32_t>& v) {
  xcb_change_property(x.connection(), XCB_PROP_MODE_REPLACE, w, atom(x, property), type, 32,
                      static_cast<std::uint32_t>(v.size()), v.data());
}

void setAtoms(XClient& x, xcb_window_t w, const char* property, const std::vector<const char*>& names) {
  std::vector<std::uint32_t> atoms;
  for (const char* n : names) atoms.push_back(atom(x, n));
  set32(x, w, property, XCB_ATOM_ATOM, atoms);
}

// A top-level window a window manager takes in when `map`: WM_CLASS "test", `cls`.
xcb_window_t makeWindow(XClient& x, const std::string& cls, bool map = true) {
  xcb_connection_t* c = x.connection();
  xcb_window_t w = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, x.root(), 0, 0, 200, 100, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    XCB_COPY_FROM_PARENT, 0, nullptr);
  std::string text = "test";
  text.push_back('\0');
  text += cls;
  text.push_back('\0');
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                      static_cast<std::uint32_t>(text.size()), text.data());
  if (map) xcb_map_window(c, w);
  xcb_flush(c);
  return w;
}

bool hasProperty(XClient& x, xcb_window_t w, const char* property) {
  Reply<xcb_get_property_reply_t> r(
      xcb_get_property_reply(x.connection(),
                             xcb_get_property(x.connection(), 0, w, atom(x, property), XCB_ATOM_ANY, 0, 0),
                             nullptr),
      &std::free);
  return r && r->type != XCB_ATOM_NONE;
}

std::vector<xcb_window_t> windows(XClient& x, xcb_window_t w, const char* property) {
  Reply<xcb_get_property_reply_t> r(
      xcb_get_property_reply(x.connection(),
                             xcb_get_property(x.connection(), 0, w, atom(x, property), XCB_ATOM_WINDOW, 0, 1024),
                             nullptr),
      &std::free);
  if (!r || r->format != 32) return {};
  auto* v = static_cast<const xcb_window_t*>(xcb_get_property_value(r.get()));
  return {v, v + xcb_get_property_value_length(r.get()) / 4};
}

std::string classOf(XClient& x, xcb_window_t w) {
  Reply<xcb_get_property_reply_t> r(
      xcb_get_property_reply(x.connection(),
                             xcb_get_property(x.connection(), 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64),
                             nullptr),
      &std::free);
  if (!r) return {};
  std::string text(static_cast<const char*>(xcb_get_property_value(r.get())),
                   static_cast<std::size_t>(xcb_get_property_value_length(r.get())));
  auto start = text.find('\0');
  return start == std::string::npos ? std::string() : std::string(text.c_str() + start + 1);
}

// The listed client window of class `cls`, or 0.
xcb_window_t client(XClient& x, const std::string& cls) {
  for (xcb_window_t w : windows(x, x.root(), "_NET_CLIENT_LIST")) {
    if (classOf(x, w) == cls) return w;
  }
  return 0;
}

xcb_window_t activeWindow(XClient& x) {
  auto active = windows(x, x.root(), "_NET_ACTIVE_WINDOW");
  return active.empty() ? 0 : active[0];
}

bool exists(XClient& x, xcb_window_t w) {
  Reply<xcb_get_window_attributes_reply_t> r(
      xcb_get_window_attributes_reply(x.connection(), xcb_get_window_attributes(x.connection(), w), nullptr),
      &std::free);
  return r != nullptr;
}

// Asks the window manager to activate `w`, as a pager would.
void activate(XClient& x, xcb_window_t w) {
  xcb_client_message_event_t m{};
  m.response_type = XCB_CLIENT_MESSAGE;
  m.format = 32;
  m.window = w;
  m.type = atom(x, "_NET_ACTIVE_WINDOW");
  m.data.data32[0] = 2;  // source: a pager
  m.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(x.connection(), 0, x.root(),
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&m));
  xcb_flush(x.connection());
}

class X11ApplicationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    server_ = XServer::xvfb(1024, 768, &why);
    if (!server_) GTEST_SKIP() << why;
    std::string pattern = (fs::temp_directory_path() / "lb-wm.XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(pattern.data()));
    dir_ = pattern;
    for (const char* d : {"home", "config", "data", "cache", "runtime", "applications"}) {
      fs::create_directories(dir_ / d);
    }
    ::chmod((dir_ / "runtime").c_str(), 0700);
    env_ = {"DISPLAY=" + server_->display(),         "HOME=" + (dir_ / "home").string(),
            "XDG_CONFIG_HOME=" + (dir_ / "config").string(), "XDG_DATA_HOME=" + (dir_ / "data").string(),
            "XDG_CACHE_HOME=" + (dir_ / "cache").string(),   "XDG_RUNTIME_DIR=" + (dir_ / "runtime").string(),
            "SHELL=/bin/sh"};
    x_ = std::make_unique<XClient>(server_->display());
    ASSERT_TRUE(x_->ok());
    // The window manager's lists and its check window all live on the root.
    x_->watch(x_->root(), XCB_EVENT_MASK_PROPERTY_CHANGE);
  }
  void TearDown() override {
    terminals_.clear();
    wm_.reset();
    x_.reset();
    server_.reset();
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }

  bool windowManagerRuns() {
    auto check = windows(*x_, x_->root(), "_NET_SUPPORTING_WM_CHECK");
    if (check.empty()) return false;
    auto self = windows(*x_, check[0], "_NET_SUPPORTING_WM_CHECK");
    return !self.empty() && self[0] == check[0];
  }
  // Starts openbox and waits until it has started. Its check window comes early, and
  // windows mapped before it is done are never managed: what it runs once done marks the root.
  void startWindowManager() {
    std::string why;
    wm_ = Program::start(
        {"openbox", "--sm-disable", "--startup", "xprop -root -f _LB_WM_READY 32c -set _LB_WM_READY 1"}, env_,
        &why);
    if (!wm_) GTEST_SKIP() << why << " (package openbox)";
    ASSERT_TRUE(x_->waitUntil([&] { return windowManagerRuns() && hasProperty(*x_, x_->root(), "_LB_WM_READY"); },
                              kTimeoutMs))
        << "openbox did not start";
  }
  // Starts an xterm and waits until the window manager lists a client of class `cls`.
  xcb_window_t startTerminal(const std::vector<std::string>& args, const std::string& cls) {
    std::string why;
    auto program = Program::start(args, env_, &why);
    EXPECT_TRUE(program) << why;
    if (!program) return 0;
    terminals_.push_back(std::move(program));
    xcb_window_t w = 0;
    EXPECT_TRUE(x_->waitUntil([&] { return (w = client(*x_, cls)) != 0; }, kTimeoutMs)) << cls << " not listed";
    return w;
  }
  void activateAndWait(xcb_window_t w) {
    activate(*x_, w);
    EXPECT_TRUE(x_->waitUntil([&] { return activeWindow(*x_) == w; }, kTimeoutMs)) << classOf(*x_, w);
  }
  std::unique_ptr<X11Display> display(std::vector<fs::path> applicationDirectories = {}) {
    X11Display::Options options;
    options.applicationDirectories = std::move(applicationDirectories);
    auto d = X11Display::open(server_->display(), options);
    EXPECT_TRUE(d.ok()) << (d.ok() ? "" : d.error());
    return d.ok() ? std::move(d).value() : nullptr;
  }

  std::unique_ptr<XServer> server_;
  fs::path dir_;
  std::vector<std::string> env_;
  std::unique_ptr<XClient> x_;
  std::unique_ptr<Program> wm_;
  std::vector<std::unique_ptr<Program>> terminals_;
};

TEST_F(X11ApplicationsTest, TerminalsUnderAWindowManagerAreTheApplicationsAndTheActiveOneIsFrontmost) {
  ASSERT_NO_FATAL_FAILURE(startWindowManager());
  xcb_window_t other = startTerminal({"xterm", "-class", "Other"}, "Other");
  xcb_window_t xterm = startTerminal({"xterm"}, "XTerm");
  ASSERT_TRUE(other && xterm);
  activateAndWait(xterm);

  EXPECT_EQ(X11WindowList(server_->display()).read(), (Classes{"XTerm", {"Other", "XTerm"}}));
  // Named from this machine's desktop entries (xterm's says XTerm), or by the class itself.
  auto system = display();
  ASSERT_TRUE(system);
  EXPECT_EQ(system->applications(), (RunningApplications{"XTerm", 2}));
  // The entry's name, not the class, when there is one.
  std::ofstream(dir_ / "applications/terminal.desktop")
      << "[Desktop Entry]\nType=Application\nName=Private Terminal\nExec=xterm\nStartupWMClass=XTerm\n";
  auto named = display({dir_ / "applications"});
  ASSERT_TRUE(named);
  EXPECT_EQ(named->applications(), (RunningApplications{"Private Terminal", 2}));

  // No entry anywhere for this class: it is its own name.
  activateAndWait(other);
  EXPECT_EQ(named->applications(), (RunningApplications{"Other", 2}));
  EXPECT_EQ(system->applications(), (RunningApplications{"Other", 2}));
}

TEST_F(X11ApplicationsTest, OnlyNormalWindowsShownInTheTaskbarCount) {
  ASSERT_NO_FATAL_FAILURE(startWindowManager());
  struct Window {
    const char* cls;
    std::vector<const char*> types;
    bool skipTaskbar;
  };
  const Window windowsMade[] = {
      {"Plain", {}, false},
      {"Normal", {"_NET_WM_WINDOW_TYPE_NORMAL"}, false},
      // The first type the window manager knows decides.
      {"Extended", {"_LB_UNKNOWN_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL"}, false},
      {"Utility", {"_NET_WM_WINDOW_TYPE_UTILITY", "_NET_WM_WINDOW_TYPE_NORMAL"}, false},
      {"Dialogs", {"_NET_WM_WINDOW_TYPE_DIALOG"}, false},
      {"Hidden", {}, true},
  };
  for (const Window& w : windowsMade) {
    xcb_window_t id = makeWindow(*x_, w.cls, false);
    if (!w.types.empty()) setAtoms(*x_, id, "_NET_WM_WINDOW_TYPE", w.types);
    if (w.skipTaskbar) setAtoms(*x_, id, "_NET_WM_STATE", {"_NET_WM_STATE_SKIP_TASKBAR"});
    xcb_map_window(x_->connection(), id);
  }
  xcb_flush(x_->connection());
  ASSERT_TRUE(x_->waitUntil([&] { return windows(*x_, x_->root(), "_NET_CLIENT_LIST").size() == 6; }, kTimeoutMs))
      << "openbox did not take in every window";

  X11WindowList list(server_->display());
  // A dialog's application is frontmost while it has focus, though the dialog does not count.
  activateAndWait(client(*x_, "Dialogs"));
  EXPECT_EQ(list.read(), (Classes{"Dialogs", {"Extended", "Normal", "Plain"}}));
  activateAndWait(client(*x_, "Plain"));
  EXPECT_EQ(list.read(), (Classes{"Plain", {"Extended", "Normal", "Plain"}}));
}

TEST_F(X11ApplicationsTest, WithoutALiveWindowManagerThereIsNothingToTell) {
  // Lists as a window manager would leave them, but no check window that names itself.
  xcb_window_t app = makeWindow(*x_, "Lonely");
  xcb_window_t check = makeWindow(*x_, "Check", false);
  set32(*x_, x_->root(), "_NET_CLIENT_LIST", XCB_ATOM_WINDOW, {app});
  set32(*x_, x_->root(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {app});
  X11WindowList list(server_->display());
  EXPECT_EQ(list.read(), Classes{});
  set32(*x_, x_->root(), "_NET_SUPPORTING_WM_CHECK", XCB_ATOM_WINDOW, {check});
  xcb_flush(x_->connection());
  EXPECT_EQ(list.read(), Classes{});
  // Once it names itself the lists are believed; an active window that is no client is not.
  set32(*x_, check, "_NET_SUPPORTING_WM_CHECK", XCB_ATOM_WINDOW, {check});
  set32(*x_, x_->root(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {check});
  xcb_flush(x_->connection());
  EXPECT_EQ(list.read(), (Classes{std::nullopt, {"Lonely"}}));

  auto d = display();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->applications(), (RunningApplications{std::nullopt, 1}));
}

TEST_F(X11ApplicationsTest, AWindowManagerOrServerThatDiedLeavesNothing) {
  ASSERT_NO_FATAL_FAILURE(startWindowManager());
  ASSERT_TRUE(startTerminal({"xterm"}, "XTerm"));
  X11WindowList list(server_->display());
  auto d = display();
  ASSERT_TRUE(d);
  ASSERT_TRUE(x_->waitUntil([&] { return list.read().classes.size() == 1; }, kTimeoutMs));

  const xcb_window_t check = windows(*x_, x_->root(), "_NET_SUPPORTING_WM_CHECK").at(0);
  x_->watch(check, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
  wm_->stop(SIGKILL);  // no chance to tidy the root
  ASSERT_TRUE(x_->waitUntil([&] { return !exists(*x_, check); }, kTimeoutMs));
  ASSERT_TRUE(client(*x_, "XTerm")) << "the stale list is still there";
  EXPECT_EQ(list.read(), Classes{});
  EXPECT_EQ(d->applications(), RunningApplications{});

  terminals_.clear();
  x_.reset();
  server_.reset();
  EXPECT_EQ(list.read(), Classes{});
  EXPECT_EQ(d->applications(), RunningApplications{});
}

}  // namespace
}  // namespace lumenbrook
