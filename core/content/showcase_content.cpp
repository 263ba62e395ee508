#include "core/content/showcase_content.h"

#include "core/content/content_json.h"
#include "core/content/text_measure.h"
#include "core/messages/clamp.h"

namespace lumenbrook {

ShowcaseContent ShowcaseContent::sanitized() const {
  ShowcaseContent out;
  out.name = Clamp::text(name, maxName, false);
  out.tagline = Clamp::text(tagline, maxTagline, false);
  for (std::size_t i = 0; i < links.size() && i < maxLinks; ++i) {
    out.links.push_back({Clamp::text(links[i].label, ShowcaseLink::maxLabel, false),
                         Clamp::text(links[i].url, ShowcaseLink::maxUrl, false)});
  }
  if (qrIndex && *qrIndex >= 0 && static_cast<std::uint64_t>(*qrIndex) < out.links.size()) {
    out.qrIndex = qrIndex;
  }
  return out;
}

bool ShowcaseContent::isEmpty() const {
  if (!trimSpacesAndTabs(name).empty() || !trimSpacesAndTabs(tagline).empty()) return false;
  for (const auto& link : links) {
    if (!link.url.empty() || !link.label.empty()) return false;
  }
  return true;
}

std::optional<std::string> ShowcaseContent::qrText() const {
  if (!qrIndex || *qrIndex < 0 || static_cast<std::uint64_t>(*qrIndex) >= links.size()) {
    return std::nullopt;
  }
  std::string_view url = trimWhitespace(links[static_cast<std::size_t>(*qrIndex)].url);
  if (url.empty() || graphemeCount(url) > static_cast<std::size_t>(ShowcaseLink::maxUrl)) {
    return std::nullopt;
  }
  if (url.find("://") != std::string_view::npos || url.starts_with("mailto:") ||
      url.starts_with("tel:")) {
    return std::string(url);
  }
  return "https://" + std::string(url);
}

void to_json(Json& j, const ShowcaseLink& l) {
  Json out = Json::object();
  out["label"] = l.label;
  out["url"] = l.url;
  j = std::move(out);
}

void from_json(const Json& j, ShowcaseLink& l) {
  l.label = json::readString(json::member(j, "label"));
  l.url = json::readString(json::member(j, "url"));
}

void to_json(Json& j, const ShowcaseContent& s) {
  Json out = Json::object();
  out["name"] = s.name;
  out["tagline"] = s.tagline;
  out["links"] = content_json::writeList(s.links);
  if (s.qrIndex) out["qrIndex"] = *s.qrIndex;
  j = std::move(out);
}

void from_json(const Json& j, ShowcaseContent& s) {
  s.name = json::readString(json::member(j, "name"));
  s.tagline = json::readString(json::member(j, "tagline"));
  s.links = content_json::readList<ShowcaseLink>(json::member(j, "links"));
  s.qrIndex.reset();
  if (auto* q = json::optionalMember(j, "qrIndex")) s.qrIndex = json::readInt<std::int64_t>(*q);
}

}  // namespace lumenbrook
