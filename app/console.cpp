#include "app/console.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "core/util/terminal_text.h"

namespace lumenbrook {

std::string timestamp() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  char full[40];
  std::snprintf(full, sizeof full, "%s.%03d", text, static_cast<int>(ms.count()));
  return full;
}

void Console::out(std::string_view text) {
  std::lock_guard lock(mutex_);
  std::cout << text;
  if (text.empty() || text.back() != '\n') std::cout << '\n';
  std::cout.flush();
}

void Console::log(std::string_view line) {
  std::lock_guard lock(mutex_);
  std::cerr << timestamp() << ' ' << printable(line) << '\n';
  std::cerr.flush();
}

}  // namespace lumenbrook
