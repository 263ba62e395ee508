#include "core/content/focus_content.h"

#include "core/messages/clamp.h"

namespace lumenbrook {

FocusContent FocusContent::sanitized() const {
  return FocusContent{Clamp::text(label, maxLabel, false), timer.sanitized(), showWeather};
}

void to_json(Json& j, const FocusContent& f) {
  Json out = Json::object();
  out["label"] = f.label;
  to_json(out["timer"], f.timer);
  out["showWeather"] = f.showWeather;
  j = std::move(out);
}

void from_json(const Json& j, FocusContent& f) {
  f.label = json::readString(json::member(j, "label"));
  from_json(json::member(j, "timer"), f.timer);
  f.showWeather = json::readBool(json::member(j, "showWeather"));
}

}  // namespace lumenbrook
