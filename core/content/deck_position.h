#pragma once
// The page shown from a slide deck. Every way of making or moving one normalises it: at most
// maxPages pages, and the index always names a page (0 for an empty deck).

#include <cstdint>

#include "core/util/json.h"

namespace lumenbrook {

struct DeckPosition {
  static constexpr std::int64_t maxPages = 500;

  std::int64_t count = 0;  // pages
  std::int64_t index = 0;  // current page, from 0

  DeckPosition() = default;
  DeckPosition(std::int64_t count, std::int64_t index);

  DeckPosition next() const { return DeckPosition(count, index + (index < INT64_MAX)); }
  DeckPosition previous() const { return DeckPosition(count, index - (index > INT64_MIN)); }
  DeckPosition sanitized() const { return DeckPosition(count, index); }

  friend bool operator==(const DeckPosition&, const DeckPosition&) = default;
};

// Written and read as stored; sanitized() normalises what was read.
void to_json(Json& j, const DeckPosition& d);
void from_json(const Json& j, DeckPosition& d);

}  // namespace lumenbrook
