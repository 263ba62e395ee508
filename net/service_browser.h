#pragma once
// DNS-SD browsing through the system's Avahi daemon: the phone's way of finding computers
// that advertise the host service, the counterpart of service_advertiser.h.
//
// Threading: blocking; runs Avahi's own poll loop on the calling thread, which is where
// onFound is called.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/util/result.h"

namespace lumenbrook {

struct DiscoveredService {
  std::string name;         // the instance name (the computer's name)
  std::string hostName;     // the advertised host name, e.g. "studio.local"
  std::string address;      // numeric; IPv6 link-local addresses carry their "%interface"
  std::uint16_t port = 0;
  std::string fingerprint;  // the TXT "fp" value; empty when the record has none
  friend bool operator==(const DiscoveredService&, const DiscoveredService&) = default;
};

inline constexpr std::string_view kNoAvahiDaemon = "no Avahi daemon is running; discovery needs one";

// Browses `type` (e.g. "_lumenbrook._tcp") for `duration` and calls onFound once per resolved
// instance and address. Fails with kNoAvahiDaemon when no daemon can be reached, and with a
// sentence naming Avahi's error when browsing fails otherwise.
[[nodiscard]] Result<Unit, std::string> browseServices(
    std::string_view type, std::chrono::milliseconds duration,
    const std::function<void(const DiscoveredService&)>& onFound);

}  // namespace lumenbrook
