#include "app/listen_port.h"

#include <charconv>
#include <string>

#include "net/file_secret_store.h"

namespace lumenbrook {

std::optional<std::uint16_t> parsePortText(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  long long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || end != text.data() + text.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) return text.front() == '-' ? 0 : 65535;
  if (ec != std::errc()) return std::nullopt;
  if (value < 0) return 0;
  if (value > 65535) return 65535;
  return static_cast<std::uint16_t>(value);
}

std::uint16_t loadListenPort(const std::filesystem::path& stateDir) {
  std::optional<Bytes> stored = FileSecretStore(stateDir).load(kListenPortAccount);
  if (!stored) return 0;
  std::string text(stored->begin(), stored->end());
  return parsePortText(text).value_or(0);
}

std::uint16_t loadListenPort(const MacVault& vault) {
  return loadListenPort(vault.directory());
}

bool saveListenPort(const std::filesystem::path& stateDir, std::uint16_t port) {
  std::string text = std::to_string(port);
  return FileSecretStore(stateDir).save(kListenPortAccount, toBytes(text));
}

bool saveListenPort(const MacVault& vault, std::uint16_t port) {
  return saveListenPort(vault.directory(), port);
}

}  // namespace lumenbrook
