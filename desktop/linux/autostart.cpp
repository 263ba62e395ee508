#include "desktop/linux/autostart.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;

std::string lowered(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

fs::path Autostart::defaultDirectory() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
    return fs::path(config) / "autostart";
  }
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : "/") / ".config" / "autostart";
}

Autostart::Autostart(fs::path directory) : directory_(std::move(directory)) {}

std::string Autostart::execValue(const fs::path& executable) {
  // Inside double quotes, ", `, $ and \ take a backslash; % is the field-code marker and is
  // doubled everywhere.
  std::string out = "\"";
  for (char c : executable.string()) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

bool Autostart::enabled() const {
  std::ifstream in(entry());
  if (!in) return false;
  bool inMainGroup = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("[")) {
      inMainGroup = line == "[Desktop Entry]";
      continue;
    }
    if (!inMainGroup) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    if (key == "Hidden" && lowered(value) == "true") return false;
    if (key == "X-GNOME-Autostart-enabled" && lowered(value) == "false") return false;
  }
  return true;
}

Result<Unit, std::string> Autostart::enable(const fs::path& executable) const {
  if (!executable.is_absolute()) {
    return Failure{"the program to start is not an absolute path: " + executable.string()};
  }
  std::error_code ec;
  fs::create_directories(directory_, ec);
  if (ec) return Failure{"can't create " + directory_.string() + ": " + ec.message()};

  const std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Lumenbrook\n"
      "Comment=Use a phone as an extra monitor, trackpad and keyboard\n"
      "Exec=" + execValue(executable) + "\n"
      "Icon=lumenbrook\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  const fs::path temporary = entry().string() + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return Failure{"can't write " + temporary.string() + ": " + std::strerror(errno)};
  const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
  const int saved = errno;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), entry().c_str()) != 0) {
    const std::string why = std::strerror(written ? errno : saved);
    ::unlink(temporary.c_str());
    return Failure{"can't write " + entry().string() + ": " + why};
  }
  return Unit{};
}

Result<Unit, std::string> Autostart::disable() const {
  if (::unlink(entry().c_str()) != 0 && errno != ENOENT) {
    return Failure{"can't remove " + entry().string() + ": " + std::strerror(errno)};
  }
  return Unit{};
}

}  // namespace lumenbrook
