#pragma once
// The TCP port the host service last listened on, remembered in the state directory as the
// file "listenPort" (its decimal text), so that paired phones find the host where they left it.
// It is not a secret: it stays in the vault's directory whichever store holds the secrets.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "net/mac_vault.h"

namespace lumenbrook {

inline constexpr std::string_view kListenPortAccount = "listenPort";

// The stored decimal integer clamped to 0...65535; 0 when absent or not an integer.
std::uint16_t loadListenPort(const std::filesystem::path& stateDir);
std::uint16_t loadListenPort(const MacVault& vault);  // in vault.directory()
// False when it could not be stored.
bool saveListenPort(const std::filesystem::path& stateDir, std::uint16_t port);
bool saveListenPort(const MacVault& vault, std::uint16_t port);

// The port a text names: a decimal integer, clamped to 0...65535; absent for anything else.
[[nodiscard]] std::optional<std::uint16_t> parsePortText(std::string_view text);

}  // namespace lumenbrook
