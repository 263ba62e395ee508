#include "net/private_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

namespace lumenbrook {

namespace fs = std::filesystem;

namespace {

std::string systemError() { return std::strerror(errno); }

bool writeAll(int fd, ByteView bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

fs::path directoryOf(const fs::path& path) {
  return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

}  // namespace

fs::path stateDirectory() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') {
    return fs::path(state) / "lumenbrook";
  }
  std::string home;
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
    home = h;
  } else {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir) {
      home = found->pw_dir;
    }
  }
  if (home.empty()) return {};
  return fs::path(home) / ".local" / "state" / "lumenbrook";
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileDescriptor::close() {
  int fd = fd_;
  fd_ = -1;
  return fd < 0 || ::close(fd) == 0;
}

// The temporaries are ".<name>.XXXXXX", as mkostemp makes them.
void removeInterruptedSaves(const fs::path& path) {
  const std::string prefix = "." + path.filename().string() + ".";
  std::error_code ec;
  for (fs::directory_iterator it(directoryOf(path), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (entry.size() == prefix.size() + 6 && entry.starts_with(prefix)) {
      ::unlink(it->path().c_str());
    }
  }
}

bool syncDirectory(const fs::path& dir) {
  FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

bool makeDirectories(const fs::path& dir) {
  if (dir.empty()) {
    errno = ENOENT;
    return false;
  }
  fs::path partial;
  for (const auto& part : dir) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st{};
  if (::stat(dir.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

Result<Unit, std::string> replaceFile(const fs::path& path, ByteView bytes,
                                      const ReplaceHook& beforeReplace) {
  if (path.empty() || !path.has_filename()) return Failure{std::string("not a file name")};
  const fs::path dir = directoryOf(path);
  removeInterruptedSaves(path);
  std::string temporary = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));  // created 0600
  if (fd.get() < 0) return Failure{systemError()};
  const bool written = ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), bytes) &&
                       ::fsync(fd.get()) == 0 && fd.close();
  if (!written) {
    std::string why = systemError();
    ::unlink(temporary.c_str());
    return Failure{why};
  }
  if (beforeReplace && !beforeReplace(temporary)) return Failure{std::string("interrupted")};
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    std::string why = systemError();
    ::unlink(temporary.c_str());
    return Failure{why};
  }
  // The rename is durable only once the directory is; a failure here still left the new
  // content in place, which is what a reader sees.
  syncDirectory(dir);
  return Unit{};
}

}  // namespace lumenbrook
