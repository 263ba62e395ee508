// Discovery without a daemon to ask: a clear sentence, not a hang or an empty list.

#include "net/service_browser.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "net/service_advertiser.h"

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;

TEST(ServiceBrowser, SaysSoWhenNoAvahiDaemonRuns) {
  // libdbus reads the system bus address once per process: this binary never reaches the
  // machine's bus, so no daemon that happens to run here is asked.
  const std::string address =
      "unix:path=/tmp/lumenbrook-no-bus-" + std::to_string(::getpid()) + "/bus.sock";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  int found = 0;
  const auto start = std::chrono::steady_clock::now();
  auto result = browseServices(ServiceRecord::kHostServiceType, 5s,
                               [&](const DiscoveredService&) { ++found; });
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), kNoAvahiDaemon);
  EXPECT_EQ(found, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);  // at once, not at the time limit
}

}  // namespace
}  // namespace lumenbrook
