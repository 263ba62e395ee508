#include "net/local_interfaces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace lumenbrook {
namespace {

const Bytes kIPv4Loopback{127, 0, 0, 1};
const Bytes kIPv6Loopback = [] {
  Bytes b(16, 0);
  b[15] = 1;
  return b;
}();

TEST(LocalInterfaces, ReadsThisMachinesLoopbackOnceWithItsAddress) {
  const auto interfaces = localInterfaces();
  auto lo = std::find_if(interfaces.begin(), interfaces.end(), [](const auto& i) {
    return i.kind == LocalNetwork::InterfaceKind::loopback;
  });
  ASSERT_NE(lo, interfaces.end()) << "no loopback interface found";
  EXPECT_NE(std::find(lo->addresses.begin(), lo->addresses.end(), kIPv4Loopback),
            lo->addresses.end());

  // getifaddrs lists an interface once per address; the list holds each name once.
  std::set<std::string> names;
  for (const auto& i : interfaces) EXPECT_TRUE(names.insert(i.name).second) << i.name;

  for (const auto& a : LocalNetwork::ownIPv6(interfaces)) {
    EXPECT_NE(a, kIPv6Loopback) << "loopback is not a LAN address";
  }
}

}  // namespace
}  // namespace lumenbrook
