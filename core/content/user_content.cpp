#include "core/content/user_content.h"

#include <exception>

#include "core/content/content_json.h"
#include "core/messages/clamp.h"

namespace lumenbrook {

UserContent UserContent::sanitized() const {
  UserContent out;
  out.showcase = showcase.sanitized();
  out.prompter = prompter.sanitized();
  out.focus = focus.sanitized();
  out.meeting = meeting.sanitized();
  for (std::size_t i = 0; i < goals.size() && i < maxGoals; ++i) {
    out.goals.push_back(goals[i].sanitized());
  }
  out.review = review.sanitized();
  out.deckTitle = Clamp::text(deckTitle, maxDeckTitle, false);
  return out;
}

Result<Bytes, ContentError> UserContent::encoded() const {
  auto text = encodeJson(sanitized());
  if (!text) return Failure{ContentError::unencodable};
  return toBytes(*text);
}

UserContent UserContent::decoded(std::optional<ByteView> bytes) {
  if (!bytes || bytes->size() > maxStored) return UserContent{};
  auto record = decodeJson<UserContent>(asChars(*bytes));
  if (!record) return UserContent{};
  return record->sanitized();
}

void to_json(Json& j, const UserContent& c) {
  Json out = Json::object();
  to_json(out["showcase"], c.showcase);
  to_json(out["prompter"], c.prompter);
  to_json(out["focus"], c.focus);
  to_json(out["meeting"], c.meeting);
  out["goals"] = content_json::writeList(c.goals);
  to_json(out["review"], c.review);
  out["deckTitle"] = c.deckTitle;
  j = std::move(out);
}

void from_json(const Json& j, UserContent& c) {
  from_json(json::member(j, "showcase"), c.showcase);
  from_json(json::member(j, "prompter"), c.prompter);
  from_json(json::member(j, "focus"), c.focus);
  from_json(json::member(j, "meeting"), c.meeting);
  c.goals = content_json::readList<MoneyGoal>(json::member(j, "goals"));
  from_json(json::member(j, "review"), c.review);
  c.deckTitle = json::readString(json::member(j, "deckTitle"));
}

}  // namespace lumenbrook
