#pragma once
// What one sealed record carries after login: a control message or an input event.
// JSON: {"control":{"_0":<ControlMessage>}} or {"input":{"_0":<InputEvent>}}.

#include <variant>

#include "core/messages/control_message.h"
#include "core/messages/input_event.h"
#include "core/util/json.h"

namespace lumenbrook {

struct Envelope {
  // Alternatives in wire declaration order: control, input.
  std::variant<ControlMessage, InputEvent> value;

  bool isControl() const { return value.index() == 0; }
  // REQUIRES: the matching case.
  const ControlMessage& control() const { return std::get<ControlMessage>(value); }
  const InputEvent& input() const { return std::get<InputEvent>(value); }

  friend bool operator==(const Envelope&, const Envelope&) = default;
};

void to_json(Json& j, const Envelope& e);
void from_json(const Json& j, Envelope& e);

}  // namespace lumenbrook
