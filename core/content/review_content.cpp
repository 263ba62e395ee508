#include "core/content/review_content.h"

#include <algorithm>
#include <cmath>

#include "core/content/content_json.h"
#include "core/content/text_measure.h"
#include "core/messages/clamp.h"

namespace lumenbrook {

ReviewContent ReviewContent::sanitized() const {
  ReviewContent out;
  out.clipName = Clamp::text(clipName, maxClipName, false);
  for (std::size_t i = 0; i < notes.size() && i < maxNotes; ++i) {
    const ReviewNote& n = notes[i];
    double s = std::isfinite(n.seconds) ? ReviewNote::secondsRange.clamp(n.seconds) : 0.0;
    out.notes.push_back({n.id, s, Clamp::text(n.text, ReviewNote::maxText, false)});
  }
  std::stable_sort(out.notes.begin(), out.notes.end(),
                   [](const ReviewNote& a, const ReviewNote& b) { return a.seconds < b.seconds; });
  return out;
}

void ReviewContent::add(std::string_view text, double seconds, Uuid id) {
  std::string_view trimmed = trimWhitespace(text);
  if (trimmed.empty() || notes.size() >= maxNotes) return;
  notes.push_back({id, seconds, std::string(trimmed)});
  *this = sanitized();
}

void to_json(Json& j, const ReviewNote& n) {
  Json out = Json::object();
  to_json(out["id"], n.id);
  out["seconds"] = json::writeDouble(n.seconds);
  out["text"] = n.text;
  j = std::move(out);
}

void from_json(const Json& j, ReviewNote& n) {
  n.id = json::readUuid(json::member(j, "id"));
  n.seconds = json::readDouble(json::member(j, "seconds"));
  n.text = json::readString(json::member(j, "text"));
}

void to_json(Json& j, const ReviewContent& r) {
  Json out = Json::object();
  out["clipName"] = r.clipName;
  out["notes"] = content_json::writeList(r.notes);
  j = std::move(out);
}

void from_json(const Json& j, ReviewContent& r) {
  r.clipName = json::readString(json::member(j, "clipName"));
  r.notes = content_json::readList<ReviewNote>(json::member(j, "notes"));
}

}  // namespace lumenbrook
