#pragma once
// The text form of a time span, as the countdown, stopwatch and review notes show it.

#include <string>

namespace lumenbrook::Timecode {

// "m:ss" below an hour, "h:mm:ss" from there, whole seconds truncated; spans from 99:59:59 up
// show 99:59:59. Spans that are negative or not a number show 0:00.
std::string string(double seconds);

}  // namespace lumenbrook::Timecode
