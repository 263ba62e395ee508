#include "desktop/linux/logind_sleep_assertions.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include "core/util/result.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace lumenbrook {
namespace {

constexpr std::uint64_t busTimeoutUsec = 2'000'000;

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct XcbDeleter {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

class BusError {
 public:
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&error_); }
  sd_bus_error* get() { return &error_; }
  std::string text(int r) const {
    if (error_.message) return error_.message;
    if (error_.name) return error_.name;
    return std::string(std::strerror(-r));
  }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_;
};

Result<int, std::string> fail(std::string why) { return Failure{std::move(why)}; }

// The inhibitor's fd, or the reason it could not be taken.
Result<int, std::string> inhibit(const std::string& reason) {
  sd_bus* raw = nullptr;
  int r = sd_bus_open_system(&raw);
  if (r < 0) return fail("no system bus: " + std::string(std::strerror(-r)));
  Bus bus(raw);
  BusError error;
  sd_bus_message* replyRaw = nullptr;
  sd_bus_message* callRaw = nullptr;
  r = sd_bus_message_new_method_call(bus.get(), &callRaw, "org.freedesktop.login1",
                                     "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     "Inhibit");
  if (r < 0) return fail(std::strerror(-r));
  Message call(callRaw);
  r = sd_bus_message_append(call.get(), "ssss", "idle:sleep", "Lumenbrook", reason.c_str(), "block");
  if (r < 0) return fail(std::strerror(-r));
  r = sd_bus_call(bus.get(), call.get(), busTimeoutUsec, error.get(), &replyRaw);
  if (r < 0) return fail(error.text(r));
  Message reply(replyRaw);
  int fd = -1;
  r = sd_bus_message_read(reply.get(), "h", &fd);
  if (r < 0) return fail(std::strerror(-r));
  // The reply owns `fd` and closes it when freed.
  int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return fail(std::strerror(errno));
  return own;
}

}  // namespace

// One X connection for all assertions of this object: suspended while `held` > 0.
struct LinuxSleepAssertions::ScreenSaver {
  std::unique_ptr<xcb_connection_t, XcbDeleter> connection;
  int held = 0;
  bool suspended = false;  // the last request was a suspend the server accepted

  bool suspend(bool on) {
    xcb_void_cookie_t cookie = xcb_screensaver_suspend_checked(connection.get(), on ? 1 : 0);
    std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> error(
        xcb_request_check(connection.get(), cookie), &std::free);
    suspended = on && !error;
    return !error;
  }
};

namespace {

class LinuxSleepAssertion final : public SleepAssertion {
 public:
  LinuxSleepAssertion(int inhibitorFd, std::shared_ptr<LinuxSleepAssertions::ScreenSaver> saver)
      : inhibitor_(inhibitorFd), saver_(std::move(saver)) {
    if (saver_ && saver_->held++ == 0) saver_->suspend(true);
  }
  ~LinuxSleepAssertion() override {
    if (saver_ && --saver_->held == 0) saver_->suspend(false);
  }

 private:
  Fd inhibitor_;  // closing it releases logind's inhibitor
  std::shared_ptr<LinuxSleepAssertions::ScreenSaver> saver_;
};

}  // namespace

LinuxSleepAssertions::LinuxSleepAssertions(Log log, std::optional<std::string> xDisplay)
    : log_(std::move(log)) {
  if (!xDisplay) return;
  std::unique_ptr<xcb_connection_t, XcbDeleter> c(xcb_connect(xDisplay->c_str(), nullptr));
  if (xcb_connection_has_error(c.get())) {
    if (log_) log_("keeping awake: X display " + *xDisplay + " does not connect; its screen saver stays on");
    return;
  }
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c.get(), &xcb_screensaver_id);
  if (!ext || !ext->present) {
    if (log_) log_("keeping awake: X display " + *xDisplay + " lacks MIT-SCREEN-SAVER; its screen saver stays on");
    return;
  }
  screenSaver_ = std::make_shared<ScreenSaver>();
  screenSaver_->connection = std::move(c);
}

LinuxSleepAssertions::~LinuxSleepAssertions() = default;

bool LinuxSleepAssertions::screenSaverSuspended() const { return screenSaver_ && screenSaver_->suspended; }

std::unique_ptr<SleepAssertion> LinuxSleepAssertions::preventIdleSleep(const std::string& reason) {
  auto fd = inhibit(reason);
  // Said once, not for every stream, until logind answers again or fails otherwise.
  if (fd.ok()) {
    lastFailure_.clear();
  } else if (fd.error() != lastFailure_) {
    lastFailure_ = fd.error();
    if (log_) log_("keeping awake: logind is not reachable (" + fd.error() + "); streaming anyway");
  }
  return std::make_unique<LinuxSleepAssertion>(fd.ok() ? fd.value() : -1, screenSaver_);
}

}  // namespace lumenbrook
