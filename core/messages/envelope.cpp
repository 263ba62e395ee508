#include "core/messages/envelope.h"

namespace lumenbrook {

void to_json(Json& j, const Envelope& e) {
  // Written into a finished Json first: see the note on nested records in control_message.cpp.
  Json inner;
  if (const auto* c = std::get_if<ControlMessage>(&e.value)) {
    to_json(inner, *c);
    j = json::writeCase("control", {{"_0", std::move(inner)}});
  } else {
    to_json(inner, std::get<InputEvent>(e.value));
    j = json::writeCase("input", {{"_0", std::move(inner)}});
  }
}

void from_json(const Json& j, Envelope& e) {
  std::string_view name = json::caseKey(j, {"control", "input"});
  const Json& inner = json::member(*j.find(name), "_0");
  if (name == "control") {
    ControlMessage m;
    from_json(inner, m);
    e.value = std::move(m);
  } else {
    InputEvent i;
    from_json(inner, i);
    e.value = std::move(i);
  }
}

}  // namespace lumenbrook
