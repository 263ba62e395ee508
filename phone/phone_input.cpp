#include "phone/phone_input.h"

#include <cmath>
#include <cstdlib>

#include "core/input/input_sink.h"
#include "core/input/key_map.h"
#include "core/input/trackpad_interpreter.h"

namespace lumenbrook {
namespace {

using Kind = InputAction::Kind;

struct Named {
  std::string_view option;
  Kind kind;
  bool value;
};
constexpr Named kActions[] = {
    {"--move", Kind::move, true},     {"--click", Kind::click, false},
    {"--right-click", Kind::rightClick, false}, {"--drag", Kind::drag, true},
    {"--scroll", Kind::scroll, true}, {"--zoom", Kind::zoom, true},
    {"--key", Kind::key, true},       {"--type", Kind::type, true},
};

const Named* named(std::string_view option) {
  for (const Named& n : kActions) {
    if (n.option == option) return &n;
  }
  return nullptr;
}

std::optional<double> finite(std::string_view text) {
  std::string s(text);
  if (s.empty() || s.front() == ' ') return std::nullopt;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<KeyMap::Modifier> modifierNamed(std::string_view name) {
  if (name == "cmd" || name == "command") return KeyMap::Modifier::command;
  if (name == "ctrl" || name == "control") return KeyMap::Modifier::control;
  if (name == "alt" || name == "option") return KeyMap::Modifier::option;
  if (name == "shift") return KeyMap::Modifier::shift;
  return std::nullopt;
}

std::optional<KeyMap::Special> specialNamed(std::string_view name) {
  using S = KeyMap::Special;
  struct Entry {
    std::string_view name;
    S key;
  };
  static constexpr Entry kNames[] = {
      {"return", S::returnKey}, {"enter", S::returnKey},   {"tab", S::tab},
      {"space", S::space},      {"delete", S::deleteKey},  {"backspace", S::deleteKey},
      {"escape", S::escape},    {"esc", S::escape},        {"forwarddelete", S::forwardDelete},
      {"home", S::home},        {"end", S::end},           {"pageup", S::pageUp},
      {"pagedown", S::pageDown}, {"left", S::left},        {"right", S::right},
      {"up", S::up},            {"down", S::down},
  };
  for (const Entry& e : kNames) {
    if (e.name == name) return e.key;
  }
  return std::nullopt;
}

struct Stroke {
  std::uint16_t code = 0;
  std::vector<KeyMap::Modifier> modifiers;
};

// "cmd+shift+z", "return", "a", "+" (a lone plus is the character).
std::optional<Stroke> strokeNamed(std::string_view name) {
  Stroke stroke;
  while (name.size() > 1) {
    std::size_t plus = name.find('+');
    if (plus == std::string_view::npos || plus == 0) break;
    auto m = modifierNamed(name.substr(0, plus));
    if (!m) return std::nullopt;
    stroke.modifiers.push_back(*m);
    name.remove_prefix(plus + 1);
  }
  if (name.empty()) return std::nullopt;
  if (auto special = specialNamed(name)) {
    stroke.code = rawValue(*special);
    return stroke;
  }
  auto key = KeyMap::key(name);
  if (!key) return std::nullopt;
  stroke.code = key->code;
  for (KeyMap::Modifier m : KeyMap::allModifiers) {
    if (key->modifiers & rawValue(m)) stroke.modifiers.push_back(m);
  }
  return stroke;
}

std::optional<std::pair<double, double>> pair(std::string_view text) {
  std::size_t comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  auto x = finite(text.substr(0, comma));
  auto y = finite(text.substr(comma + 1));
  if (!x || !y) return std::nullopt;
  return std::pair{*x, *y};
}

}  // namespace

bool isInputAction(std::string_view option) { return named(option) != nullptr; }

bool inputActionTakesValue(std::string_view option) {
  const Named* n = named(option);
  return n && n->value;
}

Result<InputAction, std::string> parseInputAction(std::string_view option, std::string_view value) {
  const Named* n = named(option);
  if (!n) return Failure{"unknown input action " + std::string(option)};
  InputAction action{n->kind};
  const std::string given(value);
  switch (n->kind) {
    case Kind::click:
    case Kind::rightClick:
      return action;
    case Kind::move:
    case Kind::drag:
    case Kind::scroll: {
      auto xy = pair(value);
      if (!xy) return Failure{std::string(option) + " needs DX,DY in points, not " + given};
      action.x = xy->first;
      action.y = xy->second;
      return action;
    }
    case Kind::zoom: {
      auto scale = finite(value);
      if (!scale || *scale <= 0) return Failure{"--zoom needs a positive scale, not " + given};
      action.x = *scale;
      return action;
    }
    case Kind::key:
      if (!strokeNamed(value)) {
        return Failure{"--key needs a character or a key name (return, tab, space, delete, "
                       "escape, forwarddelete, home, end, pageup, pagedown, left, right, up, "
                       "down), optionally after cmd+, ctrl+, alt+ or shift+; not " + given};
      }
      action.text = given;
      return action;
    case Kind::type:
      if (value.empty()) return Failure{std::string("--type needs some text")};
      action.text = given;
      return action;
  }
  return Failure{"unknown input action " + std::string(option)};
}

std::vector<InputEvent> inputEvents(const InputAction& action) {
  RecordingSink sink;
  // Speed 1 without acceleration: a script's --move 100,0 moves the pointer 100 points.
  TrackpadInterpreter trackpad(sink, {.speed = 1.0, .acceleration = 0.0});
  switch (action.kind) {
    case Kind::move:
      trackpad.move(action.x, action.y, 0);
      break;
    case Kind::click:
      trackpad.tap(1);
      break;
    case Kind::rightClick:
      trackpad.tap(2);
      break;
    case Kind::drag:
      trackpad.beginDrag();
      trackpad.move(action.x, action.y, 0);
      trackpad.endDrag();
      break;
    case Kind::scroll:
      trackpad.scroll(action.x, action.y);
      break;
    case Kind::zoom:
      trackpad.pinch(action.x);
      break;
    case Kind::key: {
      auto stroke = strokeNamed(action.text);
      if (!stroke) return {};
      auto events = KeyMap::shortcut(stroke->code, stroke->modifiers);
      return {events.begin(), events.end()};
    }
    case Kind::type:
      return KeyMap::events(action.text);
  }
  return sink.events();
}

}  // namespace lumenbrook
