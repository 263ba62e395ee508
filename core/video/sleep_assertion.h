#pragma once
// Keeping the machine from idle sleep while a phone watches a stream. The streamer takes an
// assertion when its pipeline starts and drops it when it stops; the platform layer supplies
// the real mechanism, and where there is none nothing is held.

#include <memory>
#include <string>

namespace lumenbrook {

// Held while it exists: destroying it releases the assertion. Destroyed on the thread that
// took it.
class SleepAssertion {
 public:
  virtual ~SleepAssertion() = default;
};

class SleepAssertions {
 public:
  virtual ~SleepAssertions() = default;

  // Prevents idle sleep until the returned assertion is destroyed; `reason` is shown to the
  // user where the platform lists such assertions. Null when it could not be taken (the
  // stream runs regardless).
  [[nodiscard]] virtual std::unique_ptr<SleepAssertion> preventIdleSleep(const std::string& reason) = 0;
};

// For platforms without a power-management facility: takes nothing.
class NoSleepAssertions final : public SleepAssertions {
 public:
  [[nodiscard]] std::unique_ptr<SleepAssertion> preventIdleSleep(const std::string&) override {
    return std::make_unique<SleepAssertion>();
  }
};

}  // namespace lumenbrook
