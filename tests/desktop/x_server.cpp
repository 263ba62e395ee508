#include "tests/desktop/x_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <system_error>

namespace lumenbrook::testing {
namespace {

// The one copy of the dummy driver's configuration, shared with the demo and figures scripts.
const std::filesystem::path kDummyConfig = LB_SOURCE_DIR "/scripts/xorg-dummy.conf";

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= p.size();) {
    std::size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    if (::access((p.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

std::filesystem::path makeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "lb-xserver.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return {};
  return pattern;
}

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

}  // namespace

std::unique_ptr<XServer> XServer::launch(std::vector<std::string> args,
                                         const std::filesystem::path& dir, std::string* why) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    *why = "pipe: " + std::string(std::strerror(errno));
    return nullptr;
  }
  args.insert(args.begin() + 1, {"-displayfd", "3"});
  pid_t pid = ::fork();
  if (pid < 0) {
    *why = "fork: " + std::string(std::strerror(errno));
    return nullptr;
  }
  if (pid == 0) {
    ::dup2(fds[1], 3);  // dup2 clears close-on-exec on the copy
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    int log = ::open((dir / "server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::setpgid(0, 0);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  auto server = std::unique_ptr<XServer>(new XServer);
  server->pid_ = pid;
  server->dir_ = dir;

  // The server writes its display number once it accepts connections.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char c;
    ssize_t n = ::read(fds[0], &c, 1);
    if (n <= 0) break;
    if (c == '\n') break;
    number.push_back(c);
  }
  ::close(fds[0]);
  if (number.empty()) {
    std::ifstream log(dir / "server.log");
    std::string text((std::istreambuf_iterator<char>(log)), {});
    if (text.size() > 600) text = text.substr(text.size() - 600);
    *why = args[0] + " did not start: " + text;
    return nullptr;  // the destructor stops it and removes the directory
  }
  server->display_ = ":" + number;
  return server;
}

std::unique_ptr<XServer> XServer::xvfb(int width, int height, std::string* why) {
  if (!onPath("Xvfb")) {
    *why = "Xvfb is not installed (package xvfb)";
    return nullptr;
  }
  auto dir = makeTempDir();
  if (dir.empty()) {
    *why = "no temporary directory";
    return nullptr;
  }
  return launch({"Xvfb", "-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24",
                 "+extension", "RANDR", "-nolisten", "tcp", "-noreset"},
                dir, why);
}

std::unique_ptr<XServer> XServer::xvfb(int width, int height, const std::vector<std::string>& extra,
                                       std::string* why) {
  if (!onPath("Xvfb")) {
    *why = "Xvfb is not installed (package xvfb)";
    return nullptr;
  }
  auto dir = makeTempDir();
  if (dir.empty()) {
    *why = "no temporary directory";
    return nullptr;
  }
  std::vector<std::string> args{"Xvfb", "-screen", "0",
                                std::to_string(width) + "x" + std::to_string(height) + "x24",
                                "+extension", "RANDR", "-nolisten", "tcp", "-noreset"};
  args.insert(args.end(), extra.begin(), extra.end());
  return launch(std::move(args), dir, why);
}

std::unique_ptr<XServer> XServer::xorgDummy(std::string* why) {
  if (::geteuid() != 0) {
    *why = "Xorg with the dummy driver needs root here";
    return nullptr;
  }
  if (!onPath("Xorg") || !std::filesystem::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so")) {
    *why = "Xorg or its dummy driver is not installed (xserver-xorg-core, xserver-xorg-video-dummy)";
    return nullptr;
  }
  auto dir = makeTempDir();
  if (dir.empty()) {
    *why = "no temporary directory";
    return nullptr;
  }
  return launch({"Xorg", "-config", kDummyConfig.string(), "-noreset", "-nolisten", "tcp",
                 "-logfile", (dir / "Xorg.log").string()},
                dir, why);
}

XServer::~XServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      ::usleep(10'000);
    }
  }
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

std::unique_ptr<Program> Program::start(const std::vector<std::string>& args,
                                        const std::vector<std::string>& env, std::string* why) {
  if (args.empty() || !onPath(args[0])) {
    *why = (args.empty() ? std::string("nothing") : args[0]) + " is not installed";
    return nullptr;
  }
  // Everything the child needs is made before fork: it may only exec or exit.
  std::vector<std::string> environment(env);
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& v) {
      return v.size() > name.size() && v.starts_with(name) && v[name.size()] == '=';
    });
    if (!replaced) environment.emplace_back(entry);
  }
  std::vector<char*> argv, envp;
  std::vector<std::string> argsCopy(args);
  for (auto& a : argsCopy) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  auto dir = makeTempDir();
  const std::string logPath = dir.empty() ? "/dev/null" : (dir / "program.log").string();

  // The exec's errno comes back through a close-on-exec pipe; end of file means it ran.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    *why = "pipe: " + std::string(std::strerror(errno));
    return nullptr;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    *why = "fork: " + std::string(std::strerror(errno));
    return nullptr;
  }
  if (pid == 0) {
    ::close(fds[0]);
    ::setpgid(0, 0);
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::execvpe(argv[0], argv.data(), envp.data());
    int error = errno;
    [[maybe_unused]] auto n = ::write(fds[1], &error, sizeof error);
    ::_exit(127);
  }
  ::close(fds[1]);
  ::setpgid(pid, pid);  // also here, so that stop() reaches the group whoever runs first
  int error = 0;
  ssize_t n = ::read(fds[0], &error, sizeof error);
  ::close(fds[0]);
  auto program = std::unique_ptr<Program>(new Program);
  program->pid_ = pid;
  program->dir_ = dir;
  if (n > 0) {
    *why = args[0] + ": " + std::strerror(error);
    return nullptr;  // the destructor reaps the child
  }
  return program;
}

Program::~Program() {
  stop(SIGTERM);
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

void Program::stop(int signal) {
  if (pid_ <= 0) return;
  ::kill(-pid_, signal);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    ::usleep(10'000);
  }
  // What the program started may outlive it in the group.
  ::kill(-pid_, SIGKILL);
  pid_ = -1;
}

XClient::XClient(const std::string& display) {
  int screen = 0;
  connection_ = xcb_connect(display.c_str(), &screen);
  if (xcb_connection_has_error(connection_)) {
    xcb_disconnect(connection_);
    connection_ = nullptr;
    return;
  }
  auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int i = 0; i < screen; ++i) xcb_screen_next(&it);
  root_ = it.data->root;
}

XClient::~XClient() {
  if (connection_) xcb_disconnect(connection_);
}

XClient::Pointer XClient::pointer() {
  Reply<xcb_query_pointer_reply_t> r(
      xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr), &std::free);
  if (!r) return {};
  return {r->root_x, r->root_y, r->mask};
}

XClient::Pointer XClient::movePointer(int x, int y) {
  xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), 0);
  return pointer();
}

std::vector<XClient::Output> XClient::outputs() {
  std::vector<Output> result;
  Reply<xcb_randr_get_screen_resources_current_reply_t> res(
      xcb_randr_get_screen_resources_current_reply(
          connection_, xcb_randr_get_screen_resources_current(connection_, root_), nullptr),
      &std::free);
  if (!res) return result;
  const xcb_randr_output_t* outs = xcb_randr_get_screen_resources_current_outputs(res.get());
  int count = xcb_randr_get_screen_resources_current_outputs_length(res.get());
  for (int i = 0; i < count; ++i) {
    Reply<xcb_randr_get_output_info_reply_t> info(
        xcb_randr_get_output_info_reply(
            connection_, xcb_randr_get_output_info(connection_, outs[i], res->config_timestamp), nullptr),
        &std::free);
    if (!info) continue;
    Output o;
    o.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                  static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get())));
    o.connected = info->connection == XCB_RANDR_CONNECTION_CONNECTED;
    if (info->crtc != XCB_NONE) {
      Reply<xcb_randr_get_crtc_info_reply_t> crtc(
          xcb_randr_get_crtc_info_reply(
              connection_, xcb_randr_get_crtc_info(connection_, info->crtc, res->config_timestamp), nullptr),
          &std::free);
      if (crtc && crtc->mode != XCB_NONE) {
        o.active = true;
        o.x = crtc->x;
        o.y = crtc->y;
        o.width = crtc->width;
        o.height = crtc->height;
      }
    }
    result.push_back(std::move(o));
  }
  return result;
}

std::vector<std::string> XClient::modeNames() {
  std::vector<std::string> names;
  Reply<xcb_randr_get_screen_resources_reply_t> res(
      xcb_randr_get_screen_resources_reply(connection_, xcb_randr_get_screen_resources(connection_, root_),
                                           nullptr),
      &std::free);
  if (!res) return names;
  const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_modes(res.get());
  const std::uint8_t* text = xcb_randr_get_screen_resources_names(res.get());
  int count = xcb_randr_get_screen_resources_modes_length(res.get());
  std::size_t offset = 0;
  for (int i = 0; i < count; ++i) {
    names.emplace_back(reinterpret_cast<const char*>(text + offset), modes[i].name_len);
    offset += modes[i].name_len;
  }
  return names;
}

std::pair<int, int> XClient::screenSize() {
  Reply<xcb_get_geometry_reply_t> g(
      xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, root_), nullptr), &std::free);
  if (!g) return {0, 0};
  return {g->width, g->height};
}

void XClient::watch(xcb_window_t window, std::uint32_t mask) {
  xcb_change_window_attributes(connection_, window, XCB_CW_EVENT_MASK, &mask);
  std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

bool XClient::waitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  pollfd p{xcb_get_file_descriptor(connection_), POLLIN, 0};
  for (;;) {
    while (xcb_generic_event_t* e = xcb_poll_for_event(connection_)) std::free(e);
    if (done()) return true;
    // done() may have read events along with its replies: they need no waiting.
    if (xcb_generic_event_t* e = xcb_poll_for_queued_event(connection_)) {
      std::free(e);
      continue;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || xcb_connection_has_error(connection_)) return false;
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
}

TestWindow::TestWindow(XClient& client, int x, int y, int width, int height, std::uint32_t rgb)
    : client_(client) {
  xcb_connection_t* c = client.connection();
  window_ = xcb_generate_id(c);
  const std::uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK;
  const std::uint32_t values[] = {
      rgb, 1,
      XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_KEY_PRESS |
          XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_EXPOSURE};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, client.root(), static_cast<std::int16_t>(x),
                    static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    XCB_COPY_FROM_PARENT, mask, values);
  xcb_map_window(c, window_);
  xcb_clear_area(c, 0, window_, 0, 0, 0, 0);
  // A round trip, so the window is on screen when the constructor returns.
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

TestWindow::~TestWindow() {
  xcb_destroy_window(client_.connection(), window_);
  xcb_flush(client_.connection());
}

void TestWindow::focus() {
  xcb_connection_t* c = client_.connection();
  xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

void TestWindow::drain(int timeoutMs) {
  xcb_connection_t* c = client_.connection();
  xcb_flush(c);
  pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
  for (bool waited = false;;) {
    while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
      Event ev;
      ev.type = e->response_type & 0x7f;
      switch (ev.type) {
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE:
        case XCB_KEY_PRESS:
        case XCB_KEY_RELEASE:
        case XCB_MOTION_NOTIFY: {
          // These share one layout.
          auto* k = reinterpret_cast<xcb_key_press_event_t*>(e);
          ev.detail = k->detail;
          ev.state = k->state;
          ev.x = k->root_x;
          ev.y = k->root_y;
          events_.push_back(ev);
          break;
        }
        default:
          break;
      }
      std::free(e);
      waited = false;
    }
    if (waited || timeoutMs <= 0) return;
    ::poll(&p, 1, timeoutMs);
    waited = true;
  }
}

std::vector<TestWindow::Event> TestWindow::waitFor(std::uint8_t type, std::size_t count, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto matching = [&] {
    std::vector<Event> out;
    for (const Event& e : events_) {
      if (e.type == type) out.push_back(e);
    }
    return out;
  };
  for (;;) {
    drain(0);
    auto found = matching();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (found.size() >= count || left.count() <= 0) return found;
    drain(static_cast<int>(std::min<long>(left.count(), 50)));
  }
}

}  // namespace lumenbrook::testing
