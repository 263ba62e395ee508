#pragma once
// The names people know applications by, from the desktop entries installed for them
// (`applications/*.desktop` under the XDG data directories), looked up by window class.
//
// An entry matches a class when its StartupWMClass equals the class, else when its desktop
// file ID (the path below `applications` without ".desktop", '/' read as '-') equals the class
// or the class in lower case. Only Type=Application entries with a plain Name= count
// (localised names are not read). Hidden=true means deleted: such an entry is skipped and still
// hides entries of the same ID in later directories. NoDisplay=true entries (helpers kept out
// of menus) still name their application, but a shown entry of the same match wins over them.
//
// Thread: any; calls are serialised inside.

#include <cstddef>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenbrook {

class DesktopEntries {
 public:
  // `$XDG_DATA_HOME/applications` (default ~/.local/share), then each `$XDG_DATA_DIRS`
  // entry's (default /usr/local/share:/usr/share); relative paths are ignored, as the XDG
  // base-directory rules say.
  static std::vector<std::filesystem::path> defaultDirectories();

  // Searches `directories` in order; earlier ones take precedence.
  explicit DesktopEntries(std::vector<std::filesystem::path> directories = defaultDirectories());

  // The Name= of the entry for `windowClass`, else the class itself. Reads the directories
  // again only when one of them changed since the last read (their modification times), or
  // changed within two seconds before it.
  std::string nameFor(const std::string& windowClass);

  // How many times the entries were read, for tests of the cache.
  std::size_t reads() const;

 private:
  struct Candidate {
    std::string name;
    bool shown = true;
  };
  void refreshLocked();

  std::vector<std::filesystem::path> directories_;
  mutable std::mutex mutex_;
  // Every directory read, with its modification time when read (absent: missing).
  std::vector<std::pair<std::filesystem::path, std::optional<std::filesystem::file_time_type>>> seen_;
  std::map<std::string, Candidate, std::less<>> byWmClass_;
  std::map<std::string, Candidate, std::less<>> byId_;
  std::filesystem::file_time_type readAt_{};
  std::size_t reads_ = 0;
  bool loaded_ = false;
};

}  // namespace lumenbrook
