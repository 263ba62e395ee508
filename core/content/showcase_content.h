#pragma once
// The business card the showcase mode shows: a name, a tagline, up to four links and which
// of them is shown as a QR code.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/util/json.h"

namespace lumenbrook {

struct ShowcaseLink {
  static constexpr int maxLabel = 40;   // user-perceived characters
  static constexpr int maxUrl = 200;

  std::string label;
  std::string url;

  friend bool operator==(const ShowcaseLink&, const ShowcaseLink&) = default;
};

struct ShowcaseContent {
  static constexpr std::size_t maxLinks = 4;
  static constexpr int maxName = 60;
  static constexpr int maxTagline = 140;

  std::string name;
  std::string tagline;
  std::vector<ShowcaseLink> links;
  std::optional<std::int64_t> qrIndex;  // the link shown as a QR code

  // Texts clamped without line breaks, the first maxLinks links, and a qrIndex only when it
  // names one of them.
  ShowcaseContent sanitized() const;
  // Nothing to show: name and tagline blank (spaces and tabs) and every link fully empty.
  bool isEmpty() const;
  // The text to encode in the QR code: the chosen link's url trimmed of white space, with
  // "https://" put in front unless it already names a scheme ("…://", "mailto:", "tel:").
  // Absent without a chosen link, or for an empty url or one over maxUrl characters.
  std::optional<std::string> qrText() const;

  friend bool operator==(const ShowcaseContent&, const ShowcaseContent&) = default;
};

void to_json(Json& j, const ShowcaseLink& l);
void from_json(const Json& j, ShowcaseLink& l);
void to_json(Json& j, const ShowcaseContent& s);
void from_json(const Json& j, ShowcaseContent& s);

}  // namespace lumenbrook
