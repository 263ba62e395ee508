#pragma once
// Session, video and status control exchanged inside sealed envelopes after login.
// A case the receiver does not act on is ignored by it, not rejected.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "core/messages/mac_status.h"
#include "core/messages/screen_traits.h"
#include "core/util/bytes.h"
#include "core/util/json.h"
#include "core/util/uuid.h"

namespace lumenbrook {

struct ControlMessage {
  // Phone to host: who it is and the screen to stream to.
  struct Hello {
    Uuid deviceID;
    std::string name;
    std::string appVersion;
    ScreenTraits screen;
    friend bool operator==(const Hello&, const Hello&) = default;
  };
  // Host to phone after login: its name and configured stream.
  struct Welcome {
    std::string hostName;
    std::int64_t streamWidth = 0;
    std::int64_t streamHeight = 0;
    std::int64_t fps = 0;
    friend bool operator==(const Welcome&, const Welcome&) = default;
  };
  // Written under "_0".
  struct ScreenChanged {
    ScreenTraits screen;
    friend bool operator==(const ScreenChanged&, const ScreenChanged&) = default;
  };
  // The host's UDP video listener is up; the phone's first datagram must carry `challenge`.
  struct VideoReady {
    std::uint16_t udpPort = 0;
    std::uint32_t stream = 0;
    Bytes challenge;  // 16 bytes when sent by the host; not checked when read
    friend bool operator==(const VideoReady&, const VideoReady&) = default;
  };
  struct RequestKeyframe {
    std::uint32_t afterFrame = 0;  // first frame without a usable picture
    friend bool operator==(const RequestKeyframe&, const RequestKeyframe&) = default;
  };
  // Fragment indexes of one frame to send again.
  struct Nack {
    std::uint32_t frameID = 0;
    std::vector<std::uint16_t> missing;
    friend bool operator==(const Nack&, const Nack&) = default;
  };
  struct Ping {
    std::uint32_t id = 0;
    std::uint64_t sentMicros = 0;  // sender's clock
    friend bool operator==(const Ping&, const Ping&) = default;
  };
  struct Pong {
    std::uint32_t id = 0;
    std::uint64_t sentMicros = 0;  // copied from the ping
    std::uint64_t hostMicros = 0;  // answering side's clock
    friend bool operator==(const Pong&, const Pong&) = default;
  };
  struct Refused {
    std::string reason;
    friend bool operator==(const Refused&, const Refused&) = default;
  };
  struct Bye {
    friend bool operator==(const Bye&, const Bye&) = default;
  };
  // The `macStatus` case, written under "_0".
  struct MacStatusReport {
    MacStatus status;
    friend bool operator==(const MacStatusReport&, const MacStatusReport&) = default;
  };
  // Written under "_0": periodic status reports on or off.
  struct StatusWanted {
    bool wanted = false;
    friend bool operator==(const StatusWanted&, const StatusWanted&) = default;
  };

  // Alternatives in wire declaration order; the index selects the case name.
  using Value = std::variant<Hello, Welcome, ScreenChanged, VideoReady, RequestKeyframe, Nack,
                             Ping, Pong, Refused, Bye, MacStatusReport, StatusWanted>;
  Value value;

  // The case's name as spelled on the wire ("hello", ..., "statusWanted").
  std::string_view caseName() const;

  friend bool operator==(const ControlMessage&, const ControlMessage&) = default;
};

void to_json(Json& j, const ControlMessage& m);
void from_json(const Json& j, ControlMessage& m);

}  // namespace lumenbrook
