#include "core/content/deck_position.h"

#include <algorithm>

namespace lumenbrook {

DeckPosition::DeckPosition(std::int64_t count, std::int64_t index)
    : count(std::clamp<std::int64_t>(count, 0, maxPages)),
      index(count > 0 ? std::clamp<std::int64_t>(index, 0, this->count - 1) : 0) {}

void to_json(Json& j, const DeckPosition& d) {
  Json out = Json::object();
  out["count"] = d.count;
  out["index"] = d.index;
  j = std::move(out);
}

void from_json(const Json& j, DeckPosition& d) {
  d.count = json::readInt<std::int64_t>(json::member(j, "count"));
  d.index = json::readInt<std::int64_t>(json::member(j, "index"));
}

}  // namespace lumenbrook
