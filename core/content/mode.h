#pragma once
// The phone's display modes: how it lists, names, describes and remembers them. The host
// never uses these. Raw values are the stored and wire spelling and are compared exactly.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "core/util/json.h"

namespace lumenbrook {

class Mode {
 public:
  // Declaration order is the order of allCases() and of number().
  enum Value : std::uint8_t {
    commandCenter,
    showcase,
    contentStudio,
    focus,
    macStream,
    meetingBoard,
    presenter,
    whiteboard,
    moneyBoard,
    reviewRoom,
  };

  // A default Mode is firstRun().
  constexpr Mode() = default;
  constexpr Mode(Value v) : value_(v) {}  // NOLINT: implicit, so Mode::focus is a Mode

  // The case whose raw value is exactly `raw`.
  [[nodiscard]] static std::optional<Mode> fromRawValue(std::string_view raw);
  static const std::array<Mode, 10>& allCases();
  // The mode shown the first time.
  static constexpr Mode firstRun() { return focus; }

  constexpr Value value() const { return value_; }
  std::string_view rawValue() const;
  std::string_view id() const { return rawValue(); }
  int number() const { return static_cast<int>(value_) + 1; }  // 1 … 10
  std::string_view title() const;
  std::string_view summary() const;
  // True for the modes that put the user's own data on the external screen.
  bool isPrivate() const;

  friend bool operator==(const Mode&, const Mode&) = default;

 private:
  Value value_ = focus;
};

void to_json(Json& j, const Mode& m);
void from_json(const Json& j, Mode& m);  // unknown raw values throw

}  // namespace lumenbrook

template <>
struct std::hash<lumenbrook::Mode> {
  std::size_t operator()(const lumenbrook::Mode& m) const noexcept {
    return std::hash<int>{}(static_cast<int>(m.value()));
  }
};
