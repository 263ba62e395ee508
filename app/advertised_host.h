#pragma once
// The host name a pairing code carries, so that phones reach this machine by multicast DNS.

#include <optional>
#include <string>
#include <string_view>

namespace lumenbrook {

// `hostName` when it already ends in ".local" (in any case); otherwise `localHostName` (the
// name this machine answers to on the LAN, without ".local") followed by ".local"; and
// `hostName` unchanged when there is no local host name.
std::string advertisedHostName(std::string_view hostName,
                               const std::optional<std::string>& localHostName);

// This process's host name (gethostname); empty when it cannot be read.
std::string systemHostName();
// The multicast-DNS name of this machine: the first label of the host name, as the system's
// mDNS responder announces it by default; absent when there is none.
std::optional<std::string> systemLocalHostName();

}  // namespace lumenbrook
