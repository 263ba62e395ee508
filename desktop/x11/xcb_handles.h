#pragma once
// RAII for what xcb hands out: replies (malloc'd, freed with std::free) and connections.

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace lumenbrook::x11 {

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

// Takes ownership of a reply (or error) xcb allocated; null stays null.
template <class T>
Reply<T> own(T* reply) {
  return Reply<T>(reply, &std::free);
}

struct Disconnect {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

}  // namespace lumenbrook::x11
