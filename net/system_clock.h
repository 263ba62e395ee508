#pragma once
// The wall clock as the core's sessions and trust store take it: the core reads no clock, so
// the service passes this one in.

#include <chrono>

#include "core/util/date.h"

namespace lumenbrook {

inline Date systemDate() { return Date::fromSystem(std::chrono::system_clock::now()); }

}  // namespace lumenbrook
