#pragma once
// This machine's network interfaces, as the pure rules of core/security/local_network.h take
// them: the list getifaddrs gives, each interface classified from what /sys/class/net says.

#include <vector>

#include "core/security/local_network.h"

namespace lumenbrook {

// Every interface with its addresses, in the order the system lists them. Empty when the list
// cannot be read. Reads the kernel on every call: interfaces come and go.
std::vector<LocalNetwork::Interface> localInterfaces();

}  // namespace lumenbrook
