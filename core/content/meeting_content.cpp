#include "core/content/meeting_content.h"

#include "core/content/content_json.h"
#include "core/messages/clamp.h"

namespace lumenbrook {

MeetingContent MeetingContent::sanitized() const {
  MeetingContent out;
  for (std::size_t i = 0; i < agenda.size() && i < maxItems; ++i) {
    out.agenda.push_back(Clamp::text(agenda[i], maxItemLength, false));
  }
  if (current && *current >= 0 && static_cast<std::uint64_t>(*current) < out.agenda.size()) {
    out.current = current;
  }
  out.timer = timer.sanitized();
  out.plannedMinutes = plannedRange.clamp(plannedMinutes);
  return out;
}

void to_json(Json& j, const MeetingContent& m) {
  Json out = Json::object();
  out["agenda"] = m.agenda;
  if (m.current) out["current"] = *m.current;
  to_json(out["timer"], m.timer);
  out["plannedMinutes"] = m.plannedMinutes;
  j = std::move(out);
}

void from_json(const Json& j, MeetingContent& m) {
  m.agenda = content_json::readStrings(json::member(j, "agenda"));
  m.current.reset();
  if (auto* c = json::optionalMember(j, "current")) m.current = json::readInt<std::int64_t>(*c);
  from_json(json::member(j, "timer"), m.timer);
  m.plannedMinutes = json::readInt<std::int64_t>(json::member(j, "plannedMinutes"));
}

}  // namespace lumenbrook
