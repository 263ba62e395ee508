#pragma once
// Text for a terminal that a peer may have written, and the y/n answers typed there; shared by
// the headless host and the reference phone.

#include <optional>
#include <string>
#include <string_view>

namespace lumenbrook {

// `text` safe to print on a terminal: C0 and C1 control characters and DEL (with which a
// peer could send escape sequences to the terminal) become "?". Everything else, UTF-8
// included, stays as it is.
std::string printable(std::string_view text);

// "y"/"yes" is true and "n"/"no" false, in any case and with blanks around; absent for
// anything else.
[[nodiscard]] std::optional<bool> parseAnswer(std::string_view line);

}  // namespace lumenbrook
