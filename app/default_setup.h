#pragma once
// The model's production surroundings, shared by the front ends: secrets in the keyring or the
// state directory, this session's desktop, the HEVC encoder, keeping awake, the status reader,
// and start at login as an XDG autostart entry.

#include <filesystem>

#include "app/helper_model.h"
#include "app/host_options.h"

namespace lumenbrook {

// Everything but post, onChange and quit, which belong to the front end. `log` receives every
// line (choices made here included) from any thread; `loginExecutable` is what the autostart
// entry starts.
[[nodiscard]] HelperModel::Setup defaultSetup(const HostOptions& options,
                                              const HelperModel::Log& log,
                                              const std::filesystem::path& loginExecutable);

// This program's own path, for the autostart entry; the bare `fallback` when it cannot be read.
[[nodiscard]] std::filesystem::path selfExecutable(const std::filesystem::path& fallback);

}  // namespace lumenbrook
