#pragma once
// The command line of the headless host:
//   lumenbrook-host [--state-dir DIR] [--port N] [--name NAME] [--advertised-host HOST]
//                   [--pair] [--auto-confirm] [--status-interval S] [--display auto|x11|pattern]
//                   [--secrets auto|keyring|files]

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/secrets.h"
#include "core/util/result.h"
#include "desktop/desktop.h"

namespace lumenbrook {

struct HostOptions {
  std::optional<std::filesystem::path> stateDir;  // default: MacVault::defaultDirectory()
  std::optional<std::uint16_t> port;              // default: the remembered port, else any
  std::optional<std::string> name;                // default: the host name
  std::optional<std::string> advertisedHost;      // default: advertisedHostName()
  bool pair = false;          // open a pairing window once listening
  bool autoConfirm = false;   // answer every code comparison with yes (demos and tests)
  std::optional<double> statusInterval;  // seconds
  DisplayChoice display = DisplayChoice::automatic;  // where streams' pictures come from
  SecretsChoice secrets = SecretsChoice::automatic;  // where the identity and phones are kept
  bool help = false;

  friend bool operator==(const HostOptions&, const HostOptions&) = default;
};

// The options after the program name; the error is a sentence for the user.
[[nodiscard]] Result<HostOptions, std::string> parseHostOptions(
    const std::vector<std::string_view>& args);

std::string_view hostUsage();

}  // namespace lumenbrook
