#pragma once
// The focus mode's settings: a label, the focus countdown and whether weather is shown.

#include <string>

#include "core/content/countdown.h"
#include "core/util/json.h"

namespace lumenbrook {

struct FocusContent {
  static constexpr int maxLabel = 80;

  std::string label;
  Countdown timer;  // 25 minutes until the user sets another length
  bool showWeather = false;

  FocusContent sanitized() const;

  friend bool operator==(const FocusContent&, const FocusContent&) = default;
};

void to_json(Json& j, const FocusContent& f);
void from_json(const Json& j, FocusContent& f);

}  // namespace lumenbrook
