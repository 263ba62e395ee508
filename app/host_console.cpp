#include "app/host_console.h"

#include <cctype>
#include <vector>

namespace lumenbrook {

namespace {

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    std::size_t start = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

}  // namespace

std::optional<HostCommand> parseHostCommand(std::string_view line) {
  std::vector<std::string_view> w = words(line);
  if (w.empty()) return std::nullopt;
  using Kind = HostCommand::Kind;
  struct Word {
    std::string_view text;
    Kind kind;
    bool takesId;
  };
  static constexpr Word table[] = {
      {"pair", Kind::pair, false},     {"list", Kind::list, false},
      {"revoke", Kind::revoke, true},  {"forget", Kind::forget, true},
      {"off", Kind::off, false},       {"on", Kind::on, false},
      {"quit", Kind::quit, false},     {"remove-everything", Kind::removeEverything, false},
  };
  for (const Word& entry : table) {
    if (w[0] != entry.text) continue;
    if (!entry.takesId) {
      if (w.size() != 1) return std::nullopt;
      return HostCommand{entry.kind, std::nullopt};
    }
    if (w.size() != 2) return std::nullopt;
    std::optional<Uuid> id = Uuid::parse(w[1]);
    if (!id) return std::nullopt;
    return HostCommand{entry.kind, id};
  }
  return std::nullopt;
}

std::string comparisonQuestion(const std::string& phoneName, const std::string& code) {
  std::string shown = code.size() == 6 ? code.substr(0, 3) + " " + code.substr(3) : code;
  return "Does " + printable(phoneName) + " show " + printable(shown) + "? [y/n]";
}

std::string deviceList(const std::vector<PairedDevice>& devices) {
  std::string out;
  for (const PairedDevice& d : devices) {
    out += d.id.text() + "  " + printable(d.name);
    if (d.revokedAt) out += "  (revoked)";
    out += '\n';
  }
  return out;
}

std::string_view commandHelp() {
  return "Commands: pair, list, revoke ID, forget ID, off, on, quit, remove-everything\n";
}

}  // namespace lumenbrook
