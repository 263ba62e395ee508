#pragma once
// The command line of the reference phone:
//   lumenbrook-phone pair CODE-TEXT [--state FILE] [--name NAME] [--yes]
//   lumenbrook-phone status [--state FILE] [--host H] [--port P] [--count N] [--seconds S]
//   lumenbrook-phone discover [--seconds S]
//   lumenbrook-phone stream [--state FILE] [--host H] [--port P]
//                           [--screen WxH@SCALE@FPS | --preset NAME] [--seconds S]
//                           [--snapshot FILE.png] [--record FILE.hevc] [--json]
//   lumenbrook-phone input [--state FILE] [--host H] [--port P] ACTION... (phone/phone_input.h)

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/messages/screen_traits.h"
#include "core/util/result.h"
#include "phone/phone_input.h"

namespace lumenbrook {

struct PhoneOptions {
  enum class Command { help, pair, status, discover, stream, input };

  Command command = Command::help;
  std::string code{};                            // pair: the pairing-code text
  std::optional<std::filesystem::path> state{};  // default: PhoneState::defaultPath()
  std::optional<std::string> name{};             // pair: the phone's display name
  bool yes = false;                            // pair: answer the code comparison with yes
  std::optional<std::string> host{};             // which paired computer (address or name)
  std::optional<std::uint16_t> port{};           // dial this port instead of the stored one
  std::optional<std::uint64_t> count{};          // status: stop after this many reports
  std::optional<double> seconds{};               // status, discover, stream: how long to run
  std::optional<ScreenTraits> screen{};          // stream: from --screen or --preset
  std::optional<std::filesystem::path> snapshot{};  // stream: last picture as PNG
  std::optional<std::filesystem::path> record{};    // stream: received frames as Annex-B
  bool json = false;                              // stream: figures as one JSON object
  std::vector<InputAction> actions{};             // input: in the order given

  friend bool operator==(const PhoneOptions&, const PhoneOptions&) = default;
};

// The arguments after the program name; the error is a sentence for the user.
[[nodiscard]] Result<PhoneOptions, std::string> parsePhoneOptions(
    const std::vector<std::string_view>& args);

// "WxH@SCALE@FPS" (points, pixels per point, frames per second), e.g. 1280x720@1@60, within
// the ranges a computer takes as they are: 100-8192 points, scale 0.5-4, 24-240 fps.
[[nodiscard]] std::optional<ScreenTraits> parseScreen(std::string_view text);
// A preset by its slug ("720p-tv") or its name, in any case.
[[nodiscard]] std::optional<ScreenTraits> presetNamed(std::string_view name);

std::string phoneUsage();

}  // namespace lumenbrook
