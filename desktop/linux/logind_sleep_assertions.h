#pragma once
// Keeping the machine awake on Linux: a logind "idle:sleep" inhibitor over the system bus and,
// on X, the screen saver suspended while any assertion is held.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/video/sleep_assertion.h"

namespace lumenbrook {

class LinuxSleepAssertions final : public SleepAssertions {
 public:
  using Log = std::function<void(const std::string&)>;

  // `xDisplay`: the X display whose screen saver is suspended while held; none for no X.
  LinuxSleepAssertions(Log log, std::optional<std::string> xDisplay);
  ~LinuxSleepAssertions() override;

  // Thread: the caller's (the host-server loop); the assertion is destroyed on that thread.
  // Never null: when logind is not reachable one line is logged (once, not per call) and the
  // rest still holds.
  // The bus call waits at most two seconds.
  [[nodiscard]] std::unique_ptr<SleepAssertion> preventIdleSleep(const std::string& reason) override;

  // True while the X server has accepted the suspend request of a held assertion. The server
  // does not report suspension to clients, so this is what can be observed.
  [[nodiscard]] bool screenSaverSuspended() const;

  struct ScreenSaver;

 private:
  Log log_;
  std::string lastFailure_;  // the last inhibitor failure logged; empty after a success
  std::shared_ptr<ScreenSaver> screenSaver_;  // null without X; shared with live assertions
};

}  // namespace lumenbrook
