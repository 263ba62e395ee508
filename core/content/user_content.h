#pragma once
// Everything the phone user types into the content modes, in the one record the phone stores
// as JSON. The record is cleaned on every write and every read, so a damaged or hostile stored
// copy never yields values out of range.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/content/content_error.h"
#include "core/content/focus_content.h"
#include "core/content/meeting_content.h"
#include "core/content/money_goal.h"
#include "core/content/prompter.h"
#include "core/content/review_content.h"
#include "core/content/showcase_content.h"
#include "core/util/bytes.h"
#include "core/util/json.h"
#include "core/util/result.h"

namespace lumenbrook {

struct UserContent {
  static constexpr std::size_t maxGoals = 4;
  static constexpr int maxDeckTitle = 80;
  // Longest stored JSON that is read back; anything longer is taken for damage.
  static constexpr std::size_t maxStored = 2097152;

  ShowcaseContent showcase;
  Prompter prompter;
  FocusContent focus;
  MeetingContent meeting;
  std::vector<MoneyGoal> goals;
  ReviewContent review;
  std::string deckTitle;

  // Every member by its own rules, the first maxGoals goals, the deck title clamped.
  UserContent sanitized() const;
  // The JSON of sanitized().
  Result<Bytes, ContentError> encoded() const;
  // The stored record, sanitized; a fresh record when `bytes` are absent, longer than
  // maxStored or not a record. Never fails.
  static UserContent decoded(std::optional<ByteView> bytes);

  friend bool operator==(const UserContent&, const UserContent&) = default;
};

void to_json(Json& j, const UserContent& c);
void from_json(const Json& j, UserContent& c);

}  // namespace lumenbrook
