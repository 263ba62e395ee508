#include "desktop/x11/x11_window_list.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "desktop/x11/xcb_handles.h"

namespace lumenbrook {
namespace {

using x11::Reply;

// More client windows than any desktop has; bounds what one reply may hold.
constexpr std::uint32_t kMaxClients = 4096;

enum Atom : std::size_t {
  kSupportingWmCheck,
  kClientList,
  kActiveWindow,
  kWindowType,
  kState,
  kSkipTaskbar,
  kTypeNormal,
  kFirstOtherType,  // the remaining types a window manager knows
};
constexpr const char* kAtomNames[] = {
    "_NET_SUPPORTING_WM_CHECK", "_NET_CLIENT_LIST", "_NET_ACTIVE_WINDOW", "_NET_WM_WINDOW_TYPE",
    "_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_DOCK", "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU", "_NET_WM_WINDOW_TYPE_UTILITY", "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DIALOG", "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", "_NET_WM_WINDOW_TYPE_POPUP_MENU",
    "_NET_WM_WINDOW_TYPE_TOOLTIP", "_NET_WM_WINDOW_TYPE_NOTIFICATION", "_NET_WM_WINDOW_TYPE_COMBO",
    "_NET_WM_WINDOW_TYPE_DND"};

xcb_get_property_cookie_t ask(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                              std::uint32_t length) {
  return xcb_get_property(c, 0, window, property, type, 0, length);
}

// The reply, or null when the window is gone or the connection broke.
Reply<xcb_get_property_reply_t> answer(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
  xcb_generic_error_t* error = nullptr;
  auto reply = x11::own(xcb_get_property_reply(c, cookie, &error));
  std::free(error);
  return reply;
}

std::vector<std::uint32_t> values32(const Reply<xcb_get_property_reply_t>& r, xcb_atom_t type) {
  if (!r || r->type != type || r->format != 32) return {};
  const auto* v = static_cast<const std::uint32_t*>(xcb_get_property_value(r.get()));
  return {v, v + xcb_get_property_value_length(r.get()) / 4};
}

// The class half of WM_CLASS ("instance\0class\0"); empty when there is none.
std::string windowClass(const Reply<xcb_get_property_reply_t>& r) {
  if (!r || r->format != 8) return {};
  const char* v = static_cast<const char*>(xcb_get_property_value(r.get()));
  std::string_view text(v, static_cast<std::size_t>(xcb_get_property_value_length(r.get())));
  std::size_t instanceEnd = text.find('\0');
  if (instanceEnd == std::string_view::npos) return {};
  text.remove_prefix(instanceEnd + 1);
  return std::string(text.substr(0, text.find('\0')));
}

}  // namespace

X11WindowList::X11WindowList(std::string display) : display_(std::move(display)) {}

X11WindowList::~X11WindowList() {
  if (connection_) xcb_disconnect(connection_);
}

bool X11WindowList::connectLocked() {
  if (connection_ && !xcb_connection_has_error(connection_)) return true;
  if (connection_) xcb_disconnect(connection_);
  atoms_.clear();
  connection_ = xcb_connect(display_.c_str(), nullptr);
  if (!xcb_connection_has_error(connection_)) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    std::vector<xcb_intern_atom_cookie_t> cookies;
    for (const char* name : kAtomNames) {
      cookies.push_back(xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name));
    }
    for (auto cookie : cookies) {
      auto r = x11::own(xcb_intern_atom_reply(connection_, cookie, nullptr));
      if (!r) break;
      atoms_.push_back(r->atom);
    }
    if (atoms_.size() == std::size(kAtomNames)) return true;
  }
  xcb_disconnect(connection_);
  connection_ = nullptr;
  atoms_.clear();
  return false;
}

X11WindowList::Classes X11WindowList::read() {
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return {};
  xcb_connection_t* c = connection_;
  const auto& atom = atoms_;

  // A window manager that died leaves its check window's id behind, but not the window.
  auto check = values32(answer(c, ask(c, root_, atom[kSupportingWmCheck], XCB_ATOM_WINDOW, 1)), XCB_ATOM_WINDOW);
  if (check.empty()) return {};
  auto self = values32(answer(c, ask(c, check[0], atom[kSupportingWmCheck], XCB_ATOM_WINDOW, 1)), XCB_ATOM_WINDOW);
  if (self.empty() || self[0] != check[0]) return {};

  auto listCookie = ask(c, root_, atom[kClientList], XCB_ATOM_WINDOW, kMaxClients);
  auto activeCookie = ask(c, root_, atom[kActiveWindow], XCB_ATOM_WINDOW, 1);
  auto clients = values32(answer(c, listCookie), XCB_ATOM_WINDOW);
  auto active = values32(answer(c, activeCookie), XCB_ATOM_WINDOW);

  // Every client's properties in one round trip.
  struct Asked {
    xcb_get_property_cookie_t type, state, wmClass;
  };
  std::vector<Asked> asked;
  asked.reserve(clients.size());
  for (xcb_window_t w : clients) {
    asked.push_back({ask(c, w, atom[kWindowType], XCB_ATOM_ATOM, 32), ask(c, w, atom[kState], XCB_ATOM_ATOM, 32),
                     ask(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256)});
  }

  Classes result;
  std::set<std::string> classes;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    auto types = values32(answer(c, asked[i].type), XCB_ATOM_ATOM);
    auto states = values32(answer(c, asked[i].state), XCB_ATOM_ATOM);
    std::string cls = windowClass(answer(c, asked[i].wmClass));
    if (cls.empty()) continue;
    if (!active.empty() && clients[i] == active[0]) result.active = cls;
    // Types come in order of preference: the first one known decides; none known is normal.
    auto known = std::find_if(types.begin(), types.end(), [&](std::uint32_t t) {
      return std::find(atom.begin() + kTypeNormal, atom.end(), t) != atom.end();
    });
    bool normal = known == types.end() || *known == atom[kTypeNormal];
    bool inTaskbar = std::find(states.begin(), states.end(), atom[kSkipTaskbar]) == states.end();
    if (normal && inTaskbar) classes.insert(cls);
  }
  if (xcb_connection_has_error(c)) return {};
  result.classes.assign(classes.begin(), classes.end());
  return result;
}

}  // namespace lumenbrook
