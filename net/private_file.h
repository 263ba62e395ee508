#pragma once
// Small files that hold secrets (keys, pairings, trust decisions): readable by their owner
// alone and replaced atomically, so that a crash at any moment leaves either the old content
// or the new one whole, never a mix or nothing.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "core/util/bytes.h"
#include "core/util/result.h"

namespace lumenbrook {

// An owned file descriptor, closed when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (a deferred write error shows here).
  bool close();

 private:
  int fd_;
};

// Runs between writing the temporary file and renaming it over the old one, with the
// temporary's path; false abandons the save there, as a crash would. For tests.
using ReplaceHook = std::function<bool(const std::filesystem::path& temporary)>;

// Where Lumenbrook keeps its state on this machine: $XDG_STATE_HOME/lumenbrook when that is
// an absolute path, else ~/.local/state/lumenbrook (home from $HOME, else the user database).
// Empty when no home directory is known.
std::filesystem::path stateDirectory();

// Creates the missing parts of `dir` with mode 0700; an existing directory keeps its mode.
// False, with errno set, when a part cannot be made or `dir` is not a directory.
[[nodiscard]] bool makeDirectories(const std::filesystem::path& dir);

// Removes the temporaries that interrupted saves of `path` left beside it.
void removeInterruptedSaves(const std::filesystem::path& path);

// Makes a rename or removal in `dir` durable. False when the directory cannot be synced.
bool syncDirectory(const std::filesystem::path& dir);

// Makes `bytes` the whole content of `path`, mode 0600: a temporary ".<name>.XXXXXX" in the
// same directory, written and fsynced, renamed over `path`, then the directory fsynced.
// Temporaries that earlier interrupted saves of `path` left behind are removed first. The
// directory must exist. Fails with the system's description, leaving the old content as it
// was.
[[nodiscard]] Result<Unit, std::string> replaceFile(const std::filesystem::path& path,
                                                    ByteView bytes,
                                                    const ReplaceHook& beforeReplace = {});

}  // namespace lumenbrook
