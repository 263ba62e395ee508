#include "core/content/monitor_profile.h"

#include "core/content/content_json.h"

namespace lumenbrook {

std::string MonitorProfile::keyFor(const ScreenTraits& t) {
  std::string key = std::to_string(t.pixelWidth()) + "x" + std::to_string(t.pixelHeight()) + "@" +
                    std::to_string(t.maxFPS);
  if (t.supportsHDR) key += "-hdr";
  return key;
}

MonitorProfile MonitorProfile::firstGuess(const ScreenTraits& t, Date now) {
  MonitorProfile p;
  p.key = keyFor(t);
  p.name = std::to_string(t.pixelWidth()) + " \u00D7 " + std::to_string(t.pixelHeight()) + " screen";
  p.distance = t.pixelWidth() >= 3840 && t.supportsHDR ? ViewingDistance::room : ViewingDistance::desk;
  p.overscan = false;
  p.lastSeen = now;
  return p;
}

void to_json(Json& j, const MonitorProfile& p) {
  Json out = Json::object();
  out["key"] = p.key;
  out["name"] = p.name;
  to_json(out["distance"], p.distance);
  out["overscan"] = p.overscan;
  if (p.defaultMode) to_json(out["defaultMode"], *p.defaultMode);
  to_json(out["lastSeen"], p.lastSeen);
  j = std::move(out);
}

void from_json(const Json& j, MonitorProfile& p) {
  p.key = json::readString(json::member(j, "key"));
  p.name = json::readString(json::member(j, "name"));
  from_json(json::member(j, "distance"), p.distance);
  p.overscan = json::readBool(json::member(j, "overscan"));
  p.defaultMode = content_json::readOptional<Mode>(j, "defaultMode");
  from_json(json::member(j, "lastSeen"), p.lastSeen);
}

MonitorProfile ProfileStore::profile(const ScreenTraits& t, Date now) {
  auto found = profiles.find(MonitorProfile::keyFor(t));
  MonitorProfile p = found != profiles.end() ? found->second : MonitorProfile::firstGuess(t, now);
  p.lastSeen = now;
  save(p);
  return p;
}

void ProfileStore::save(const MonitorProfile& p) { profiles.insert_or_assign(p.key, p); }

ScreenTraits ProfileStore::apply(const MonitorProfile& p, const ScreenTraits& t) {
  ScreenTraits out = t;
  out.name = p.name;
  out.overscan = p.overscan;
  out.distance = p.distance;
  return out;
}

Result<Bytes, ContentError> ProfileStore::encoded() const {
  auto text = encodeJson(*this);
  if (!text) return Failure{ContentError::unencodable};
  return toBytes(*text);
}

ProfileStore ProfileStore::decoded(ByteView bytes) {
  auto store = decodeJson<ProfileStore>(asChars(bytes));
  return store ? std::move(*store) : ProfileStore{};
}

void to_json(Json& j, const ProfileStore& s) {
  Json out = Json::object();
  Json& profiles = out["profiles"] = Json::object();
  for (const auto& [key, profile] : s.profiles) to_json(profiles[key], profile);
  j = std::move(out);
}

void from_json(const Json& j, ProfileStore& s) {
  const Json& profiles = json::requireObject(json::member(j, "profiles"));
  s.profiles.clear();
  for (const auto& [key, value] : profiles.items()) from_json(value, s.profiles[key]);
}

}  // namespace lumenbrook
