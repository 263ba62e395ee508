#pragma once
// Output lines of the executables: results on standard output, diagnostics with a local time
// stamp on standard error. Lines from several threads never interleave, and a peer's text
// cannot reach the terminal with control sequences.

#include <mutex>
#include <string>
#include <string_view>

namespace lumenbrook {

// "2026-12-11 14:15:35.123", local time.
std::string timestamp();

class Console {
 public:
  // Any thread.
  void out(std::string_view text);
  void log(std::string_view line);

 private:
  std::mutex mutex_;
};

}  // namespace lumenbrook
