#pragma once
// What the headless host understands on its terminal: a few commands, and y/n answers to a
// code comparison.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/security/trust_store.h"
#include "core/util/terminal_text.h"
#include "core/util/uuid.h"

namespace lumenbrook {

struct HostCommand {
  enum class Kind { pair, list, revoke, forget, off, on, quit, removeEverything };
  Kind kind = Kind::list;
  std::optional<Uuid> id;  // revoke and forget

  friend bool operator==(const HostCommand&, const HostCommand&) = default;
};

// "pair", "list", "revoke ID", "forget ID", "off", "on", "quit" or "remove-everything" (which
// deletes every pairing and the computer's identity, then quits), with any surrounding
// blanks; absent for anything else (an unknown word, a missing or malformed ID, extra words).
[[nodiscard]] std::optional<HostCommand> parseHostCommand(std::string_view line);

// The question asked before the user's verdict: "Does PHONE show 123 456? [y/n]".
std::string comparisonQuestion(const std::string& phoneName, const std::string& code);

// One line per phone in the order given: id, printable name, and "(revoked)" where it applies.
std::string deviceList(const std::vector<PairedDevice>& devices);

// The usage text of the headless host.
std::string_view commandHelp();

}  // namespace lumenbrook
