#pragma once
// Start at login as desktops do it: an XDG autostart entry, "lumenbrook.desktop" in
// $XDG_CONFIG_HOME/autostart (else ~/.config/autostart), that starts the installed tray app.
// Its state is always read back from the file, so a user who removed or disabled the entry
// by hand sees that.
//
// Threading: no state of its own besides the path; any thread, one writer at a time.

#include <filesystem>
#include <string>

#include "core/util/result.h"

namespace lumenbrook {

class Autostart {
 public:
  static constexpr const char* kFileName = "lumenbrook.desktop";

  // $XDG_CONFIG_HOME/autostart when that is an absolute path, else ~/.config/autostart.
  static std::filesystem::path defaultDirectory();

  explicit Autostart(std::filesystem::path directory = defaultDirectory());

  std::filesystem::path entry() const { return directory_ / kFileName; }

  // Whether the entry exists and is not switched off (Hidden=true, or the GNOME key
  // X-GNOME-Autostart-enabled=false, which desktops' settings write instead of deleting).
  [[nodiscard]] bool enabled() const;

  // Writes the entry that starts `executable` (an absolute path), replacing any earlier one
  // at once (a temporary beside it, renamed over it). The error is a sentence for the user.
  [[nodiscard]] Result<Unit, std::string> enable(const std::filesystem::path& executable) const;
  // Removes the entry; nothing to remove is no error.
  [[nodiscard]] Result<Unit, std::string> disable() const;

  // The Exec value for `executable`, quoted as the desktop-entry format requires.
  static std::string execValue(const std::filesystem::path& executable);

 private:
  std::filesystem::path directory_;
};

}  // namespace lumenbrook
