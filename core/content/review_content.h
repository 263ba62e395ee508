#pragma once
// Timed notes on a video clip for the review room, kept ordered by their time in the clip.

#include <string>
#include <string_view>
#include <vector>

#include "core/content/closed_range.h"
#include "core/util/json.h"
#include "core/util/uuid.h"

namespace lumenbrook {

struct ReviewNote {
  static constexpr ClosedRange<double> secondsRange{0, 359999};  // what Timecode can show
  static constexpr int maxText = 280;  // user-perceived characters

  Uuid id;  // new for every note; drawn by the caller (Uuid::fromRandom)
  double seconds = 0;  // time in the clip
  std::string text;

  friend bool operator==(const ReviewNote&, const ReviewNote&) = default;
};

struct ReviewContent {
  static constexpr std::size_t maxNotes = 200;
  static constexpr int maxClipName = 80;

  std::string clipName;
  std::vector<ReviewNote> notes;

  // Clip name clamped; the first maxNotes notes, each with finite seconds in range and its
  // text clamped without line breaks, then ordered by seconds (equal times keep their order).
  ReviewContent sanitized() const;
  // Appends a note with `text` trimmed of white space at `seconds`, unless the text is blank or
  // the review already holds maxNotes notes, and sorts it into place.
  void add(std::string_view text, double seconds, Uuid id);

  friend bool operator==(const ReviewContent&, const ReviewContent&) = default;
};

void to_json(Json& j, const ReviewNote& n);
void from_json(const Json& j, ReviewNote& n);
void to_json(Json& j, const ReviewContent& r);
void from_json(const Json& j, ReviewContent& r);

}  // namespace lumenbrook
