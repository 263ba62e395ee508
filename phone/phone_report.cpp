#include "phone/phone_report.h"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "core/util/json.h"

namespace lumenbrook {

namespace {

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, std::isfinite(value) ? value : 0.0);
  return text;
}

}  // namespace

std::string groupedCode(std::string_view code) {
  bool digits = code.size() == 6;
  for (char c : code) digits = digits && c >= '0' && c <= '9';
  if (!digits) return std::string(code);
  return std::string(code.substr(0, 3)) + " " + std::string(code.substr(3));
}

std::string codeQuestion(std::string_view code) {
  return "Does the computer show " + printable(groupedCode(code)) + "? [y/n]";
}

std::string statusLine(const MacStatus& status) {
  std::string line = printable(status.name) + ":";
  std::string sep = " ";
  auto part = [&](const std::string& text) {
    line += sep + text;
    sep = ", ";
  };
  if (status.batteryPercent) {
    std::string battery = "battery " + std::to_string(*status.batteryPercent) + "%";
    if (status.charging) battery += *status.charging ? " (charging)" : " (not charging)";
    part(battery);
  } else {
    part("no battery");
  }
  part("disk " + fixed(status.diskFreeGB, 1) + " of " + fixed(status.diskTotalGB, 1) +
       " GB free (" + std::to_string(static_cast<int>(std::lround(status.diskUsedFraction() * 100))) +
       "% used)");
  if (status.frontmostApp) part("frontmost " + printable(*status.frontmostApp));
  part(std::to_string(status.runningApps) + (status.runningApps == 1 ? " app" : " apps") +
       " running");
  part("up " + fixed(status.uptimeHours, 1) + " h");
  return line;
}

std::string figuresText(const StreamClient::Figures& f) {
  auto latency = [](const std::optional<double>& ms) {
    return ms ? fixed(*ms, 1) + " ms" : std::string("none");
  };
  std::string out;
  auto line = [&](std::string_view label, const std::string& value) {
    out += std::string(label) + ": " + value + "\n";
  };
  line("stream", std::to_string(f.stream) + " (" + std::to_string(f.width) + "x" +
                     std::to_string(f.height) + ")");
  line("seconds", fixed(f.seconds, 2));
  line("frames decoded", std::to_string(f.framesDecoded));
  line("frames per second", fixed(f.framesPerSecond, 1));
  line("keyframes", std::to_string(f.keyframes));
  line("bytes", std::to_string(f.bytes));
  line("bit rate", fixed(f.bitsPerSecond / 1e6, 2) + " Mbit/s");
  line("fragments", std::to_string(f.fragments));
  line("duplicates", std::to_string(f.duplicates));
  line("NACKs sent", std::to_string(f.nacks));
  line("keyframe requests", std::to_string(f.keyframeRequests));
  line("resends received", std::to_string(f.resendsReceived));
  line("frames lost", std::to_string(f.framesLost));
  line("datagrams refused", std::to_string(f.datagramsRefused));
  line("latency median", latency(f.latencyMedianMs));
  line("latency p95", latency(f.latencyP95Ms));
  return out;
}

std::string figuresJson(const StreamClient::Figures& f) {
  auto number = [](double v) { return std::isfinite(v) ? Json(v) : Json(0.0); };
  auto optional = [&](const std::optional<double>& v) { return v ? number(*v) : Json(nullptr); };
  Json j = Json::object();
  j["stream"] = f.stream;
  j["width"] = f.width;
  j["height"] = f.height;
  j["seconds"] = number(f.seconds);
  j["framesDecoded"] = f.framesDecoded;
  j["framesPerSecond"] = number(f.framesPerSecond);
  j["keyframes"] = f.keyframes;
  j["bytes"] = f.bytes;
  j["bitsPerSecond"] = number(f.bitsPerSecond);
  j["fragments"] = f.fragments;
  j["duplicates"] = f.duplicates;
  j["nacks"] = f.nacks;
  j["keyframeRequests"] = f.keyframeRequests;
  j["resendsReceived"] = f.resendsReceived;
  j["framesLost"] = f.framesLost;
  j["datagramsRefused"] = f.datagramsRefused;
  j["latencyMedianMs"] = optional(f.latencyMedianMs);
  j["latencyP95Ms"] = optional(f.latencyP95Ms);
  return dumpJson(j);
}

}  // namespace lumenbrook
