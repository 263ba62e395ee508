#include "app/host_options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace lumenbrook {

namespace {

std::optional<std::uint16_t> port(std::string_view text) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::optional<double> seconds(std::string_view text) {
  std::string s(text);
  if (s.empty()) return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(value) || value < 0) return std::nullopt;
  return value;
}

}  // namespace

Result<HostOptions, std::string> parseHostOptions(const std::vector<std::string_view>& args) {
  HostOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a == "--pair") {
      o.pair = true;
      continue;
    }
    if (a == "--auto-confirm") {
      o.autoConfirm = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      o.help = true;
      continue;
    }
    const bool takesValue = a == "--state-dir" || a == "--port" || a == "--name" ||
                            a == "--advertised-host" || a == "--status-interval" ||
                            a == "--display" || a == "--secrets";
    if (!takesValue) return Failure{"unknown option " + std::string(a)};
    if (i + 1 >= args.size()) return Failure{std::string(a) + " needs a value"};
    std::string_view v = args[++i];
    if (a == "--state-dir") {
      if (v.empty()) return Failure{std::string("--state-dir needs a directory")};
      o.stateDir = std::filesystem::path(v);
    } else if (a == "--port") {
      o.port = port(v);
      if (!o.port) return Failure{"--port needs a number from 0 to 65535, not " + std::string(v)};
    } else if (a == "--name") {
      if (v.empty()) return Failure{std::string("--name needs a name")};
      o.name = std::string(v);
    } else if (a == "--advertised-host") {
      if (v.empty()) return Failure{std::string("--advertised-host needs a host name")};
      o.advertisedHost = std::string(v);
    } else if (a == "--display") {
      auto choice = parseDisplayChoice(v);
      if (!choice) return Failure{"--display needs auto, x11 or pattern, not " + std::string(v)};
      o.display = *choice;
    } else if (a == "--secrets") {
      auto choice = parseSecretsChoice(v);
      if (!choice) return Failure{"--secrets needs auto, keyring or files, not " + std::string(v)};
      o.secrets = *choice;
    } else {
      o.statusInterval = seconds(v);
      if (!o.statusInterval) {
        return Failure{"--status-interval needs a number of seconds, not " + std::string(v)};
      }
    }
  }
  return o;
}

std::string_view hostUsage() {
  return "usage: lumenbrook-host [--state-dir DIR] [--port N] [--name NAME]\n"
         "                       [--advertised-host HOST] [--pair] [--auto-confirm]\n"
         "                       [--status-interval S] [--display auto|x11|pattern]\n"
         "                       [--secrets auto|keyring|files]\n"
         "--display: auto (the session's X display when it connects, else the test pattern),\n"
         "x11 (the X display in $DISPLAY) or pattern (every stream shows the test pattern).\n"
         "--secrets: auto (the desktop keyring when it answers, else owner-only files in the\n"
         "state directory), keyring (the same, said louder when it does not answer) or files.\n";
}

}  // namespace lumenbrook
