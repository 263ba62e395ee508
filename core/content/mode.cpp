#include "core/content/mode.h"

namespace lumenbrook {
namespace {

struct ModeText {
  std::string_view raw;
  std::string_view title;
  std::string_view summary;
  bool isPrivate;
};

// Indexed by Mode::Value.
constexpr std::array<ModeText, 10> kModes = {{
    {"commandCenter", "Command center", "Today's calendar, reminders and your Mac's status", true},
    {"showcase", "Showcase", "Your business name, links and a QR code", false},
    {"contentStudio", "Content studio", "A teleprompter you control from the phone", false},
    {"focus", "Focus + ambient", "Focus timer, clock, next event and weather", false},
    {"macStream", "Mac stream", "Your Mac's screen, full size", true},
    {"meetingBoard", "Meeting board", "Today's meetings, agenda and a meeting timer", false},
    {"presenter", "Presenter", "Slides from a PDF or photos, full screen", false},
    {"whiteboard", "Whiteboard", "Draw on the phone, shown live on the monitor", false},
    {"moneyBoard", "Money board", "Your goals and the numbers you enter", true},
    {"reviewRoom", "Review room", "Play a video, scrub and take timed notes", false},
}};

const ModeText& textOf(Mode m) { return kModes[static_cast<std::size_t>(m.value())]; }

}  // namespace

std::optional<Mode> Mode::fromRawValue(std::string_view raw) {
  for (Mode m : allCases()) {
    if (m.rawValue() == raw) return m;
  }
  return std::nullopt;
}

const std::array<Mode, 10>& Mode::allCases() {
  static constexpr std::array<Mode, 10> cases = {
      commandCenter, showcase,  contentStudio, focus,      macStream,
      meetingBoard,  presenter, whiteboard,    moneyBoard, reviewRoom,
  };
  return cases;
}

std::string_view Mode::rawValue() const { return textOf(*this).raw; }
std::string_view Mode::title() const { return textOf(*this).title; }
std::string_view Mode::summary() const { return textOf(*this).summary; }
bool Mode::isPrivate() const { return textOf(*this).isPrivate; }

void to_json(Json& j, const Mode& m) { j = std::string(m.rawValue()); }

void from_json(const Json& j, Mode& m) {
  auto parsed = Mode::fromRawValue(json::readString(j));
  if (!parsed) throw JsonError("unknown display mode");
  m = *parsed;
}

}  // namespace lumenbrook
