#include "phone/phone_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace lumenbrook {

namespace {

using Command = PhoneOptions::Command;

std::optional<Command> commandNamed(std::string_view word) {
  if (word == "pair") return Command::pair;
  if (word == "status") return Command::status;
  if (word == "discover") return Command::discover;
  if (word == "stream") return Command::stream;
  if (word == "input") return Command::input;
  if (word == "help" || word == "--help" || word == "-h") return Command::help;
  return std::nullopt;
}

std::string_view commandName(Command c) {
  switch (c) {
    case Command::pair: return "pair";
    case Command::status: return "status";
    case Command::discover: return "discover";
    case Command::stream: return "stream";
    case Command::input: return "input";
    case Command::help: break;
  }
  return "help";
}

// The options each command takes; every one of them needs a value except the flags.
bool takes(Command c, std::string_view option) {
  static constexpr std::string_view login[] = {"--state", "--host", "--port", "--seconds"};
  const bool isLogin = std::find(std::begin(login), std::end(login), option) != std::end(login);
  switch (c) {
    case Command::pair:
      return option == "--state" || option == "--name" || option == "--yes";
    case Command::status:
      return isLogin || option == "--count";
    case Command::discover:
      return option == "--seconds";
    case Command::stream:
      return isLogin || option == "--screen" || option == "--preset" ||
             option == "--snapshot" || option == "--record" || option == "--json";
    case Command::input:
      return option == "--state" || option == "--host" || option == "--port" ||
             isInputAction(option);
    case Command::help:
      break;
  }
  return false;
}

bool isFlag(std::string_view option) { return option == "--yes" || option == "--json"; }

template <class T>
std::optional<T> integer(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> number(std::string_view text) {
  std::string s(text);
  if (s.empty() || s.front() == ' ' || s.front() == '+' || s.front() == '-') return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

std::optional<ScreenTraits> parseScreen(std::string_view text) {
  const std::size_t x = text.find('x');
  const std::size_t at1 = text.find('@');
  const std::size_t at2 = at1 == std::string_view::npos ? at1 : text.find('@', at1 + 1);
  if (x == std::string_view::npos || at2 == std::string_view::npos || x > at1 ||
      text.find('@', at2 + 1) != std::string_view::npos) {
    return std::nullopt;
  }
  auto width = number(text.substr(0, x));
  auto height = number(text.substr(x + 1, at1 - x - 1));
  auto scale = number(text.substr(at1 + 1, at2 - at1 - 1));
  auto fps = integer<std::int64_t>(text.substr(at2 + 1));
  if (!width || !height || !scale || !fps) return std::nullopt;
  auto within = [](double v, double lo, double hi) { return v >= lo && v <= hi; };
  if (!within(*width, 100, 8192) || !within(*height, 100, 8192) || !within(*scale, 0.5, 4) ||
      *fps < 24 || *fps > 240) {
    return std::nullopt;
  }
  return ScreenTraits{"Reference phone", *width, *height, *scale, *fps, false, false,
                      ViewingDistance::desk};
}

std::optional<ScreenTraits> presetNamed(std::string_view name) {
  auto lower = [](std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  const std::string wanted = lower(name);
  for (const ScreenTraits& t : ScreenTraits::testMatrix()) {
    if (wanted == t.slug() || wanted == lower(t.name)) return t;
  }
  return std::nullopt;
}

Result<PhoneOptions, std::string> parsePhoneOptions(const std::vector<std::string_view>& args) {
  PhoneOptions o;
  if (args.empty()) return Failure{std::string("which command? pair, status, discover, stream or input")};
  auto command = commandNamed(args[0]);
  if (!command) return Failure{"unknown command " + std::string(args[0])};
  o.command = *command;
  if (o.command == Command::help) return o;
  const std::string of = " (" + std::string(commandName(o.command)) + ")";

  bool haveCode = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a == "--help" || a == "-h") {
      o.command = Command::help;
      return o;
    }
    if (!a.starts_with("-")) {
      if (o.command != Command::pair || haveCode) {
        return Failure{"unexpected argument " + std::string(a) + of};
      }
      o.code = std::string(a);
      haveCode = true;
      continue;
    }
    if (!takes(o.command, a)) return Failure{"unknown option " + std::string(a) + of};
    if (o.command == Command::input && isInputAction(a)) {
      std::string_view value;
      if (inputActionTakesValue(a)) {
        if (i + 1 >= args.size()) return Failure{std::string(a) + " needs a value"};
        value = args[++i];
      }
      auto action = parseInputAction(a, value);
      if (!action) return Failure{action.error()};
      o.actions.push_back(std::move(action).value());
      continue;
    }
    if (isFlag(a)) {
      (a == "--yes" ? o.yes : o.json) = true;
      continue;
    }
    if (i + 1 >= args.size()) return Failure{std::string(a) + " needs a value"};
    std::string_view v = args[++i];
    const std::string value(v);
    if (a == "--state" || a == "--snapshot" || a == "--record") {
      if (v.empty()) return Failure{std::string(a) + " needs a file name"};
      (a == "--state" ? o.state : a == "--snapshot" ? o.snapshot : o.record) =
          std::filesystem::path(v);
    } else if (a == "--name") {
      if (v.empty()) return Failure{std::string("--name needs a name")};
      o.name = value;
    } else if (a == "--host") {
      if (v.empty()) return Failure{std::string("--host needs a host name or address")};
      o.host = value;
    } else if (a == "--port") {
      o.port = integer<std::uint16_t>(v);
      if (!o.port || *o.port == 0) {
        return Failure{"--port needs a number from 1 to 65535, not " + value};
      }
    } else if (a == "--count") {
      o.count = integer<std::uint64_t>(v);
      if (!o.count || *o.count == 0) return Failure{"--count needs a positive number, not " + value};
    } else if (a == "--seconds") {
      o.seconds = number(v);
      if (!o.seconds || *o.seconds <= 0) {
        return Failure{"--seconds needs a positive number of seconds, not " + value};
      }
    } else if (a == "--screen" || a == "--preset") {
      if (o.screen) return Failure{std::string("give one of --screen and --preset, once")};
      o.screen = a == "--screen" ? parseScreen(v) : presetNamed(v);
      if (!o.screen && a == "--screen") {
        return Failure{"--screen needs WxH@SCALE@FPS within 100-8192 points, scale 0.5-4 and "
                       "24-240 fps (e.g. 1280x720@1@60), not " + value};
      }
      if (!o.screen) {
        std::string names;
        for (const ScreenTraits& t : ScreenTraits::testMatrix()) {
          names += (names.empty() ? "" : ", ") + t.slug();
        }
        return Failure{"no preset " + value + "; presets: " + names};
      }
    }
  }
  if (o.command == Command::input && o.actions.empty()) {
    return Failure{std::string("input needs at least one action, e.g. --move 100,0 or --type hello")};
  }
  if (o.command == Command::pair && !haveCode) {
    return Failure{std::string("pair needs the pairing-code text the computer shows")};
  }
  return o;
}

std::string phoneUsage() {
  std::string usage =
      "usage: lumenbrook-phone pair CODE-TEXT [--state FILE] [--name NAME] [--yes]\n"
      "       lumenbrook-phone status [--state FILE] [--host H] [--port P] [--count N]\n"
      "                               [--seconds S]\n"
      "       lumenbrook-phone discover [--seconds S]\n"
      "       lumenbrook-phone stream [--state FILE] [--host H] [--port P]\n"
      "                               [--screen WxH@SCALE@FPS | --preset NAME] [--seconds S]\n"
      "                               [--snapshot FILE.png] [--record FILE.hevc] [--json]\n"
      "       lumenbrook-phone input [--state FILE] [--host H] [--port P] ACTION...\n"
      "input actions, sent in order: --move DX,DY  --click  --right-click  --drag DX,DY\n"
      "  --scroll DX,DY  --zoom SCALE  --key NAME (a character or return, tab, space,\n"
      "  delete, escape, forwarddelete, home, end, pageup, pagedown, left, right, up, down,\n"
      "  after cmd+ ctrl+ alt+ shift+)  --type TEXT\n"
      "--host picks a paired computer by address or name, --port dials another port.\n"
      "presets:";
  for (const ScreenTraits& t : ScreenTraits::testMatrix()) {
    usage += ' ';
    usage += t.slug();
  }
  usage += '\n';
  return usage;
}

}  // namespace lumenbrook
