#include "net/file_secret_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace lumenbrook {

namespace fs = std::filesystem;

namespace {

// Creates the missing parts of `dir` with mode 0700 and narrows `dir` itself to 0700: the
// state directory is the store's own.
bool ensurePrivateDirectory(const fs::path& dir) {
  if (!makeDirectories(dir)) return false;
  struct stat st{};
  if (::stat(dir.c_str(), &st) != 0) return false;
  return (st.st_mode & 0777) == 0700 || ::chmod(dir.c_str(), 0700) == 0;
}

bool present(const fs::path& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

}  // namespace

FileSecretStore::FileSecretStore(fs::path directory) : dir_(std::move(directory)) {}

bool FileSecretStore::plainName(std::string_view account) {
  if (account.empty() || account.front() == '.') return false;
  for (char c : account) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

std::optional<Bytes> FileSecretStore::load(std::string_view account) {
  if (!plainName(account) || dir_.empty()) return std::nullopt;
  FileDescriptor fd(::open((dir_ / account).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  Bytes out;
  std::uint8_t buf[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return out;
    out.insert(out.end(), buf, buf + n);
  }
}

bool FileSecretStore::exists(std::string_view account) {
  return plainName(account) && !dir_.empty() && present(dir_ / account);
}

bool FileSecretStore::save(std::string_view account, ByteView bytes) {
  if (!plainName(account) || !ensurePrivateDirectory(dir_)) return false;
  return replaceFile(dir_ / account, bytes, beforeReplace_).ok();
}

bool FileSecretStore::remove(std::string_view account) {
  if (!plainName(account) || dir_.empty()) return false;
  const fs::path item = dir_ / account;
  const bool gone = ::unlink(item.c_str()) == 0 || errno == ENOENT;
  removeInterruptedSaves(item);
  syncDirectory(dir_);
  return gone;
}

std::optional<std::vector<std::string>> FileSecretStore::accounts() {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(dir_, ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return names;
    return std::nullopt;
  }
  for (fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) return std::nullopt;
    std::string name = it->path().filename().string();
    if (plainName(name)) names.push_back(std::move(name));
  }
  return names;
}

bool FileSecretStore::move(std::string_view from, std::string_view to) {
  if (!plainName(from) || !plainName(to) || dir_.empty()) return false;
  const fs::path target = dir_ / to;
  if (present(target)) return false;  // never written over
  if (::rename((dir_ / from).c_str(), target.c_str()) != 0) return false;
  syncDirectory(dir_);
  return true;
}

std::string FileSecretStore::description() const {
  return "owner-only files in " + dir_.string();
}

}  // namespace lumenbrook
