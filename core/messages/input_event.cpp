#include "core/messages/input_event.h"

#include <array>
#include <string_view>

namespace lumenbrook {
namespace {

// Same order as InputEvent's alternatives.
constexpr std::array<std::string_view, 5> kCaseNames = {"pointerMove", "button", "scroll", "zoom",
                                                        "key"};

InputEvent::Button readButton(const Json& j) {
  std::string raw = json::readString(j);
  if (raw == "left") return InputEvent::Button::left;
  if (raw == "right") return InputEvent::Button::right;
  throw JsonError("unknown button \"" + raw + "\"");
}

double doubleAt(const Json& p, std::string_view key) {
  return json::readDouble(json::member(p, key));
}
bool boolAt(const Json& p, std::string_view key) { return json::readBool(json::member(p, key)); }

Json payload(const InputEvent::PointerMove& e) {
  return {{"dx", json::writeDouble(e.dx)}, {"dy", json::writeDouble(e.dy)}};
}
Json payload(const InputEvent::ButtonEvent& e) {
  return {{"_0", rawValue(e.button)}, {"down", e.down}};
}
Json payload(const InputEvent::Scroll& e) {
  return {{"dx", json::writeDouble(e.dx)}, {"dy", json::writeDouble(e.dy)}};
}
Json payload(const InputEvent::Zoom& e) { return {{"scale", json::writeDouble(e.scale)}}; }
Json payload(const InputEvent::Key& e) {
  Json j = {{"code", e.code}, {"down", e.down}, {"modifiers", e.modifiers}};
  if (e.text) j["text"] = *e.text;
  return j;
}

}  // namespace

const char* rawValue(InputEvent::Button b) { return b == InputEvent::Button::left ? "left" : "right"; }

void to_json(Json& j, const InputEvent& e) {
  j = json::writeCase(kCaseNames[e.value.index()],
                      std::visit([](const auto& v) { return payload(v); }, e.value));
}

void from_json(const Json& j, InputEvent& e) {
  std::string_view name = json::caseKey(j, {"pointerMove", "button", "scroll", "zoom", "key"});
  const Json& p = json::requireObject(*j.find(name));
  if (name == "pointerMove") {
    e.value = InputEvent::PointerMove{.dx = doubleAt(p, "dx"), .dy = doubleAt(p, "dy")};
  } else if (name == "button") {
    e.value = InputEvent::ButtonEvent{.button = readButton(json::member(p, "_0")),
                                      .down = boolAt(p, "down")};
  } else if (name == "scroll") {
    e.value = InputEvent::Scroll{.dx = doubleAt(p, "dx"), .dy = doubleAt(p, "dy")};
  } else if (name == "zoom") {
    e.value = InputEvent::Zoom{.scale = doubleAt(p, "scale")};
  } else {
    std::optional<std::string> text;
    if (const Json* t = json::optionalMember(p, "text")) text = json::readString(*t);
    e.value = InputEvent::Key{.code = json::readInt<std::uint16_t>(json::member(p, "code")),
                              .down = boolAt(p, "down"),
                              .modifiers = json::readInt<std::uint32_t>(json::member(p, "modifiers")),
                              .text = std::move(text)};
  }
}

}  // namespace lumenbrook
