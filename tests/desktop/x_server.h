#pragma once
// Real X servers for the desktop tests, started by the test and stopped with it: Xvfb (one
// output, no free CRTC: the mirror path, capture and input) and Xorg with the dummy video
// driver (DUMMY0 connected, DUMMY1... disconnected with free CRTCs: real virtual monitors).
// Each server gets a free display number through -displayfd and a temporary directory for
// its configuration and log, removed on destruction.

#include <xcb/xcb.h>

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumenbrook::testing {

class XServer {
 public:
  // Null, with `why` set, when the server binary is missing or does not come up; the test
  // then skips with that reason.
  static std::unique_ptr<XServer> xvfb(int width, int height, std::string* why);
  // The same with more server arguments, e.g. {"-extension", "XTEST"} to leave one out.
  static std::unique_ptr<XServer> xvfb(int width, int height, const std::vector<std::string>& extra,
                                       std::string* why);
  // REQUIRES root (Xorg reads an absolute -config only then).
  static std::unique_ptr<XServer> xorgDummy(std::string* why);

  // Terminates the server and waits for it.
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  const std::string& display() const { return display_; }  // ":N"
  pid_t pid() const { return pid_; }

 private:
  XServer() = default;
  static std::unique_ptr<XServer> launch(std::vector<std::string> args,
                                         const std::filesystem::path& dir, std::string* why);

  std::string display_;
  pid_t pid_ = -1;
  std::filesystem::path dir_;
};

// A program a test runs on its server (a window manager, a terminal), in a process group of
// its own so that what it starts ends with it; its output goes to a temporary log.
class Program {
 public:
  // `env` ("NAME=value") is added to this process's environment, replacing variables of the
  // same name. Null, with `why` set, when the program cannot be run.
  static std::unique_ptr<Program> start(const std::vector<std::string>& args, const std::vector<std::string>& env,
                                        std::string* why);
  // Stops the group (SIGTERM, SIGKILL after 10 s) and waits for the program.
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t pid() const { return pid_; }
  // Sends `signal` to the group and waits until the program has ended.
  void stop(int signal);

 private:
  Program() = default;
  pid_t pid_ = -1;
  std::filesystem::path dir_;
};

// A client connection for checks, closed on destruction.
class XClient {
 public:
  explicit XClient(const std::string& display);
  ~XClient();
  XClient(const XClient&) = delete;
  XClient& operator=(const XClient&) = delete;

  bool ok() const { return connection_ != nullptr; }
  xcb_connection_t* connection() const { return connection_; }
  xcb_window_t root() const { return root_; }

  struct Pointer {
    int x = 0, y = 0;
    std::uint16_t mask = 0;  // xcb_key_but_mask_t bits: buttons and modifiers held
  };
  Pointer pointer();
  // Absolute XTest motion, then where the pointer is (a round trip: the motion has happened;
  // the server keeps the pointer on its monitors).
  Pointer movePointer(int x, int y);

  // Names of every output with a mode and its CRTC rectangle, as `xrandr --listmonitors`
  // would list active outputs.
  struct Output {
    std::string name;
    bool connected = false;
    bool active = false;  // has a CRTC with a mode
    int x = 0, y = 0, width = 0, height = 0;
  };
  std::vector<Output> outputs();
  // Names of every RandR mode the screen knows.
  std::vector<std::string> modeNames();
  std::pair<int, int> screenSize();

  // Selects `mask` (XCB_EVENT_MASK_...) events of `window` for waitUntil().
  void watch(xcb_window_t window, std::uint32_t mask);
  // Whether `done()` holds within `timeoutMs`, asked again whenever events arrive (select the
  // ones that tell with watch(); events are otherwise dropped).
  bool waitUntil(const std::function<bool()>& done, int timeoutMs);

 private:
  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
};

// An override-redirect window filled with one colour, placed where the test wants it (no
// window manager runs), listening to pointer, button and key events.
class TestWindow {
 public:
  // `rgb` as 0xRRGGBB.
  TestWindow(XClient& client, int x, int y, int width, int height, std::uint32_t rgb);
  ~TestWindow();

  xcb_window_t id() const { return window_; }

  // Gives the window the keyboard focus (no window manager does it for us).
  void focus();

  // Waits up to `timeoutMs` for the events the window got and returns the ones of
  // `responseType` (XCB_BUTTON_PRESS, XCB_KEY_PRESS, ...), copied; other events are kept.
  struct Event {
    std::uint8_t type = 0;
    std::uint8_t detail = 0;  // button or keycode
    std::uint16_t state = 0;  // modifier mask at the time
    int x = 0, y = 0;         // root position
  };
  // Collects events until `count` of `type` have arrived or the time is up.
  std::vector<Event> waitFor(std::uint8_t type, std::size_t count, int timeoutMs);
  std::vector<Event> received() const { return events_; }

 private:
  void drain(int timeoutMs);

  XClient& client_;
  xcb_window_t window_ = 0;
  std::vector<Event> events_;
};

}  // namespace lumenbrook::testing
