#pragma once
// What the reference phone prints: the code comparison, status reports, discovered
// computers and the figures of a stream. Everything a computer sent passes through
// printable() first, so that a peer cannot drive the terminal with escape sequences.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/messages/mac_status.h"
#include "core/util/terminal_text.h"
#include "phone/stream_client.h"

namespace lumenbrook {

// "123456" as "123 456"; any other text as it is.
std::string groupedCode(std::string_view code);
// "Does the computer show 123 456? [y/n]".
std::string codeQuestion(std::string_view code);
// One line: "Studio: battery 87% (not charging), disk 212.5 of 494.4 GB free (57% used),
// frontmost Notes, 9 apps running, up 52.7 h". Missing parts are left out.
std::string statusLine(const MacStatus& status);

// One line per figure, "label: value".
std::string figuresText(const StreamClient::Figures& figures);
// One JSON object on one line; the latencies are null before the first picture.
std::string figuresJson(const StreamClient::Figures& figures);

}  // namespace lumenbrook
