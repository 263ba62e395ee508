// Status reports to a logged-in phone that asks for them, with shortened periods.

#include "net/host_server.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/net/host_server_fixture.h"

namespace lumenbrook {
namespace {

using namespace std::chrono_literals;
using testing::Events;
using testing::PhoneHarness;
using testing::ServerHarness;
using testing::ServerOptions;
using Clock = std::chrono::steady_clock;

struct Report {
  Clock::time_point at;
  MacStatus status;
  friend bool operator==(const Report&, const Report&) = default;
};

MacStatus unclampedStatus() {
  MacStatus s;
  s.name = std::string(100, 'x');
  s.batteryPercent = 140;
  s.diskFreeGB = 900;
  s.diskTotalGB = 500;
  s.uptimeHours = 12.5;
  return s;
}

// A logged-in phone whose status reports are recorded, and the times the server asked its
// provider for them: those follow the server's schedule exactly, free of delivery jitter.
class StatusFixture {
 public:
  explicit StatusFixture(ServerOptions options, double interval,
                         std::function<std::optional<MacStatus>()> provider)
      : s(std::move(options)) {
    s.server->statusInterval = interval;
    if (provider) {
      s.server->statusProvider = [this, provider = std::move(provider)] {
        asked.add(Clock::now());
        return provider();
      };
    }
    port = s.start();
    auto pairing = testing::pairPhone(s, phone);
    EXPECT_TRUE(pairing && testing::loginPhone(phone, port, *pairing));
    phone.loop.postAndWait([this] {
      phone.client->onEnvelope = [this](const Envelope& e) {
        if (!e.isControl()) return;
        if (auto* r = std::get_if<ControlMessage::MacStatusReport>(&e.control().value)) {
          reports.add(Report{Clock::now(), r->status});
        }
      };
    });
  }
  bool want(bool on) {
    return phone.send(Envelope{ControlMessage{ControlMessage::StatusWanted{on}}});
  }

  Events<Clock::time_point> asked;
  Events<Report> reports;
  ServerHarness s;
  PhoneHarness phone;
  std::uint16_t port = 0;
};

TEST(HostServerStatus, ReportsComeEveryPeriodAndNeverFasterThanTheMinimum) {
  struct Case {
    const char* name;
    double interval;
    HostServer::Duration period;
  };
  const Case cases[] = {
      {"below the minimum", 0.001, 100ms},
      {"above the minimum", 0.15, 150ms},
      {"not finite: the fallback", std::numeric_limits<double>::infinity(), 200ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerOptions options;
    options.timing.statusMinimum = 100ms;
    options.timing.statusFallback = 200ms;
    StatusFixture f(options, c.interval, [] { return unclampedStatus(); });
    ASSERT_TRUE(f.want(true));
    auto first = f.reports.waitNth(1);
    ASSERT_TRUE(first);
    // Asking again while reports run must not start a second series.
    ASSERT_TRUE(f.want(false));
    ASSERT_TRUE(f.want(true));
    ASSERT_TRUE(f.reports.waitNth(4));
    for (const Report& r : f.reports.items()) EXPECT_EQ(r.status, unclampedStatus().sanitized());
    // Timers never fire early; a second series would have put steps closer together.
    std::vector<Clock::time_point> steps = f.asked.items();
    ASSERT_GE(steps.size(), 4u);
    for (std::size_t i = 1; i < steps.size(); ++i) {
      EXPECT_GE(steps[i] - steps[i - 1], c.period) << "step " << i;
    }
  }
}

TEST(HostServerStatus, AnAbsentSnapshotSendsNothingAndTheSeriesGoesOn) {
  ServerOptions options;
  options.timing.statusMinimum = 20ms;
  std::atomic<int> calls{0};
  StatusFixture f(options, 0, [&]() -> std::optional<MacStatus> {
    if (++calls <= 2) return std::nullopt;
    return unclampedStatus();
  });
  ASSERT_TRUE(f.want(true));
  ASSERT_TRUE(f.reports.waitNth(1));
  EXPECT_GE(calls.load(), 3);
  EXPECT_EQ(f.reports.items()[0].status, unclampedStatus().sanitized());
}

TEST(HostServerStatus, AServerWithoutAProviderIgnoresTheRequest) {
  ServerOptions options;
  options.timing.statusMinimum = 20ms;
  StatusFixture f(options, 0, nullptr);
  ASSERT_TRUE(f.want(true));
  // Still a working session: its input arrives.
  ASSERT_TRUE(f.phone.send(Envelope{InputEvent{InputEvent::Zoom{1.25}}}));
  ASSERT_TRUE(f.s.input.waitNth(1));
  EXPECT_EQ(f.reports.size(), 0u);
}

}  // namespace
}  // namespace lumenbrook
