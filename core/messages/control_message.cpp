#include "core/messages/control_message.h"

#include <array>

namespace lumenbrook {
namespace {

using CM = ControlMessage;

// Same order as ControlMessage::Value.
constexpr std::array<std::string_view, std::variant_size_v<CM::Value>> kCaseNames = {
    "hello", "welcome", "screenChanged", "videoReady", "requestKeyframe", "nack",
    "ping",  "pong",    "refused",       "bye",        "macStatus",       "statusWanted"};

// Nested records are written into a finished Json rather than through Json(value): when a
// record's to_json throws (a non-finite Double) part-way, nlohmann's converting constructor
// never runs the destructor and leaks whatever was already written.
template <class T>
Json nested(const T& value) {
  Json j;
  to_json(j, value);
  return j;
}

Json payload(const CM::Hello& m) {
  return {{"deviceID", m.deviceID},
          {"name", m.name},
          {"appVersion", m.appVersion},
          {"screen", nested(m.screen)}};
}
Json payload(const CM::Welcome& m) {
  return {{"hostName", m.hostName},
          {"streamWidth", m.streamWidth},
          {"streamHeight", m.streamHeight},
          {"fps", m.fps}};
}
Json payload(const CM::ScreenChanged& m) { return {{"_0", nested(m.screen)}}; }
Json payload(const CM::VideoReady& m) {
  return {{"udpPort", m.udpPort},
          {"stream", m.stream},
          {"challenge", json::writeBytes(m.challenge)}};
}
Json payload(const CM::RequestKeyframe& m) { return {{"afterFrame", m.afterFrame}}; }
Json payload(const CM::Nack& m) {
  Json missing = Json::array();
  for (std::uint16_t index : m.missing) missing.push_back(index);
  return {{"frameID", m.frameID}, {"missing", std::move(missing)}};
}
Json payload(const CM::Ping& m) { return {{"id", m.id}, {"sentMicros", m.sentMicros}}; }
Json payload(const CM::Pong& m) {
  return {{"id", m.id}, {"sentMicros", m.sentMicros}, {"hostMicros", m.hostMicros}};
}
Json payload(const CM::Refused& m) { return {{"reason", m.reason}}; }
Json payload(const CM::Bye&) { return Json::object(); }
Json payload(const CM::MacStatusReport& m) { return {{"_0", nested(m.status)}}; }
Json payload(const CM::StatusWanted& m) { return {{"_0", m.wanted}}; }

template <std::integral T>
T intAt(const Json& p, std::string_view key) {
  return json::readInt<T>(json::member(p, key));
}
std::string stringAt(const Json& p, std::string_view key) {
  return json::readString(json::member(p, key));
}
// Nested records through their own from_json, which is as strict as the readers here.
template <class T>
T recordAt(const Json& p, std::string_view key) {
  T value;
  from_json(json::member(p, key), value);
  return value;
}

std::vector<std::uint16_t> readIndexes(const Json& j) {
  if (!j.is_array()) throw JsonError("expected an array");
  std::vector<std::uint16_t> out;
  out.reserve(j.size());
  for (const Json& e : j) out.push_back(json::readInt<std::uint16_t>(e));
  return out;
}

CM::Value readPayload(std::string_view name, const Json& p) {
  json::requireObject(p);
  if (name == "hello")
    return CM::Hello{.deviceID = json::readUuid(json::member(p, "deviceID")),
                     .name = stringAt(p, "name"),
                     .appVersion = stringAt(p, "appVersion"),
                     .screen = recordAt<ScreenTraits>(p, "screen")};
  if (name == "welcome")
    return CM::Welcome{.hostName = stringAt(p, "hostName"),
                       .streamWidth = intAt<std::int64_t>(p, "streamWidth"),
                       .streamHeight = intAt<std::int64_t>(p, "streamHeight"),
                       .fps = intAt<std::int64_t>(p, "fps")};
  if (name == "screenChanged") return CM::ScreenChanged{.screen = recordAt<ScreenTraits>(p, "_0")};
  if (name == "videoReady")
    return CM::VideoReady{.udpPort = intAt<std::uint16_t>(p, "udpPort"),
                          .stream = intAt<std::uint32_t>(p, "stream"),
                          .challenge = json::readBytes(json::member(p, "challenge"))};
  if (name == "requestKeyframe")
    return CM::RequestKeyframe{.afterFrame = intAt<std::uint32_t>(p, "afterFrame")};
  if (name == "nack")
    return CM::Nack{.frameID = intAt<std::uint32_t>(p, "frameID"),
                    .missing = readIndexes(json::member(p, "missing"))};
  if (name == "ping")
    return CM::Ping{.id = intAt<std::uint32_t>(p, "id"),
                    .sentMicros = intAt<std::uint64_t>(p, "sentMicros")};
  if (name == "pong")
    return CM::Pong{.id = intAt<std::uint32_t>(p, "id"),
                    .sentMicros = intAt<std::uint64_t>(p, "sentMicros"),
                    .hostMicros = intAt<std::uint64_t>(p, "hostMicros")};
  if (name == "refused") return CM::Refused{.reason = stringAt(p, "reason")};
  if (name == "bye") return CM::Bye{};
  if (name == "macStatus") return CM::MacStatusReport{.status = recordAt<MacStatus>(p, "_0")};
  return CM::StatusWanted{.wanted = json::readBool(json::member(p, "_0"))};
}

}  // namespace

std::string_view ControlMessage::caseName() const { return kCaseNames[value.index()]; }

void to_json(Json& j, const ControlMessage& m) {
  j = json::writeCase(m.caseName(), std::visit([](const auto& v) { return payload(v); }, m.value));
}

void from_json(const Json& j, ControlMessage& m) {
  std::string_view name =
      json::caseKey(j, {"hello", "welcome", "screenChanged", "videoReady", "requestKeyframe",
                        "nack", "ping", "pong", "refused", "bye", "macStatus", "statusWanted"});
  m.value = readPayload(name, *j.find(name));
}

}  // namespace lumenbrook
