#include "desktop/linux/desktop_entries.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <system_error>
#include <utility>

namespace lumenbrook {
namespace fs = std::filesystem;
namespace {

// Real entries are a few kilobytes; anything far larger is not one.
constexpr std::size_t kMaxEntryBytes = 256 * 1024;
// Far longer than a file-time tick.
constexpr auto kSettle = std::chrono::seconds(2);

struct Entry {
  std::string name;
  std::string wmClass;
  bool shown = true;
};

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    switch (s[++i]) {
      case 's': out.push_back(' '); break;
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      case 'r': out.push_back('\r'); break;
      default: out.push_back(s[i]); break;
    }
  }
  return out;
}

// The [Desktop Entry] group of `text`; absent when it is missing, hidden (deleted), not an
// application, or has no name.
std::optional<Entry> parseEntry(const std::string& text) {
  std::map<std::string, std::string, std::less<>> keys;
  bool inMain = false, sawMain = false;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line = trim(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inMain = line == "[Desktop Entry]" && !sawMain;
      sawMain = sawMain || inMain;
      continue;
    }
    if (!inMain) continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    // Localised keys (Name[de]) keep their brackets and so never equal a plain key.
    keys.emplace(std::string(trim(line.substr(0, eq))), std::string(trim(line.substr(eq + 1))));
  }
  auto value = [&](std::string_view key) -> std::string {
    auto it = keys.find(key);
    return it == keys.end() ? std::string() : it->second;
  };
  if (value("Type") != "Application" || value("Hidden") == "true") return std::nullopt;
  Entry entry{unescape(value("Name")), unescape(value("StartupWMClass")), value("NoDisplay") != "true"};
  if (entry.name.empty()) return std::nullopt;
  return entry;
}

std::optional<std::string> readSmallFile(const fs::path& path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  if (ec || size > kMaxEntryBytes) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(static_cast<std::size_t>(size), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::optional<fs::file_time_type> modified(const fs::path& dir) {
  std::error_code ec;
  auto t = fs::last_write_time(dir, ec);
  if (ec) return std::nullopt;
  return t;
}

}  // namespace

std::vector<fs::path> DesktopEntries::defaultDirectories() {
  std::vector<fs::path> dirs;
  auto dataHome = variable("XDG_DATA_HOME");
  if (dataHome && fs::path(*dataHome).is_absolute()) {
    dirs.push_back(fs::path(*dataHome) / "applications");
  } else if (auto home = variable("HOME")) {
    dirs.push_back(fs::path(*home) / ".local/share/applications");
  }
  std::string dataDirs = variable("XDG_DATA_DIRS").value_or("/usr/local/share:/usr/share");
  for (std::size_t start = 0; start <= dataDirs.size();) {
    std::size_t end = dataDirs.find(':', start);
    if (end == std::string::npos) end = dataDirs.size();
    fs::path dir = dataDirs.substr(start, end - start);
    if (dir.is_absolute()) dirs.push_back(dir / "applications");
    start = end + 1;
  }
  return dirs;
}

DesktopEntries::DesktopEntries(std::vector<fs::path> directories) : directories_(std::move(directories)) {}

std::size_t DesktopEntries::reads() const {
  std::lock_guard lock(mutex_);
  return reads_;
}

std::string DesktopEntries::nameFor(const std::string& windowClass) {
  std::lock_guard lock(mutex_);
  refreshLocked();
  if (auto it = byWmClass_.find(windowClass); it != byWmClass_.end()) return it->second.name;
  if (auto it = byId_.find(windowClass); it != byId_.end()) return it->second.name;
  std::string lower = windowClass;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  if (auto it = byId_.find(lower); it != byId_.end()) return it->second.name;
  return windowClass;
}

void DesktopEntries::refreshLocked() {
  // A package that adds, removes or replaces an entry renames files in its directory, which
  // changes the directory's time: a few stat calls per lookup instead of reading every entry.
  // File times advance in clock ticks, so a change in the tick of the last read would keep
  // the time it had; a directory changed that recently is read again until it settles.
  auto settled = [this](const auto& d) {
    return modified(d.first) == d.second && (!d.second || *d.second + kSettle < readAt_);
  };
  if (loaded_ && std::all_of(seen_.begin(), seen_.end(), settled)) return;
  ++reads_;
  loaded_ = true;
  readAt_ = fs::file_time_type::clock::now();
  seen_.clear();
  byWmClass_.clear();
  byId_.clear();
  std::set<std::string, std::less<>> ids;  // every ID met, deleted ones included
  for (const fs::path& root : directories_) {
    seen_.emplace_back(root, modified(root));
    std::vector<std::pair<std::string, fs::path>> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      const fs::path& path = it->path();
      std::error_code typeError;
      if (it->is_directory(typeError)) {
        seen_.emplace_back(path, modified(path));
        continue;
      }
      if (path.extension() != ".desktop" || !it->is_regular_file(typeError)) continue;
      std::string id = path.lexically_relative(root).replace_extension().string();
      std::replace(id.begin(), id.end(), '/', '-');
      files.emplace_back(std::move(id), path);
    }
    std::sort(files.begin(), files.end());
    for (const auto& [id, path] : files) {
      // An earlier directory's entry of the same ID replaces this one, even a deleted one.
      if (!ids.insert(id).second) continue;
      auto text = readSmallFile(path);
      if (!text) continue;
      auto entry = parseEntry(*text);
      if (!entry) continue;
      Candidate candidate{entry->name, entry->shown};
      byId_.emplace(id, candidate);
      if (entry->wmClass.empty()) continue;
      auto [it, added] = byWmClass_.emplace(entry->wmClass, candidate);
      if (!added && !it->second.shown && candidate.shown) it->second = candidate;
    }
  }
}

}  // namespace lumenbrook
