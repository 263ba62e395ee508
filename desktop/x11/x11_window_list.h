#pragma once
// The applications an X11 window manager lists, read through EWMH on a connection of its own
// (opened again when the server went away): the window classes (WM_CLASS, second string) of
// the `_NET_CLIENT_LIST` windows that are normal (`_NET_WM_WINDOW_TYPE` normal or absent) and
// shown in the taskbar (no `_NET_WM_STATE_SKIP_TASKBAR`), and the class of
// `_NET_ACTIVE_WINDOW` when it is one of the clients. Nothing without a running window manager
// (a `_NET_SUPPORTING_WM_CHECK` window that names itself): the lists a dead one left on the
// root are stale.
//
// Thread: any; calls are serialised inside. A server that went away gives an empty answer at
// once (xcb fails every request of a broken connection).

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace lumenbrook {

class X11WindowList {
 public:
  struct Classes {
    std::optional<std::string> active;  // the class of the active client window
    std::vector<std::string> classes;   // distinct, sorted
    friend bool operator==(const Classes&, const Classes&) = default;
  };

  explicit X11WindowList(std::string display);
  ~X11WindowList();
  X11WindowList(const X11WindowList&) = delete;
  X11WindowList& operator=(const X11WindowList&) = delete;

  // Empty when the display does not connect or no window manager runs.
  Classes read();

 private:
  bool connectLocked();

  std::string display_;
  std::mutex mutex_;
  xcb_connection_t* connection_ = nullptr;  // guarded by mutex_
  std::uint32_t root_ = 0;
  std::vector<std::uint32_t> atoms_;  // interned on each connection
};

}  // namespace lumenbrook
