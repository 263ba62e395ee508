#include "app/advertised_host.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>

namespace lumenbrook {

namespace {

bool endsWithLocal(std::string_view name) {
  constexpr std::string_view suffix = ".local";
  if (name.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), name.end() - suffix.size(),
                    [](char a, char b) {
                      return a == std::tolower(static_cast<unsigned char>(b));
                    });
}

}  // namespace

std::string advertisedHostName(std::string_view hostName,
                               const std::optional<std::string>& localHostName) {
  if (endsWithLocal(hostName)) return std::string(hostName);
  if (localHostName) return *localHostName + ".local";
  return std::string(hostName);
}

std::string systemHostName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return {};
  return buffer;
}

std::optional<std::string> systemLocalHostName() {
  std::string name = systemHostName();
  name = name.substr(0, name.find('.'));
  if (name.empty()) return std::nullopt;
  return name;
}

}  // namespace lumenbrook
