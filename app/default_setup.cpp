#include "app/default_setup.h"

#include <chrono>
#include <memory>
#include <string>
#include <system_error>

#include "app/advertised_host.h"
#include "app/listen_port.h"
#include "app/secrets.h"
#include "app/status_reader.h"
#include "desktop/desktop.h"
#include "desktop/linux/autostart.h"
#include "desktop/linux/logind_sleep_assertions.h"
#include "media/test_pattern_source.h"
#include "media/video_encoder.h"

namespace lumenbrook {

std::filesystem::path selfExecutable(const std::filesystem::path& fallback) {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? fallback : self;
}

HelperModel::Setup defaultSetup(const HostOptions& options, const HelperModel::Log& log,
                                const std::filesystem::path& loginExecutable) {
  const std::filesystem::path stateDir = options.stateDir.value_or(MacVault::defaultDirectory());
  OpenedSecrets secrets = openSecrets(options.secrets, stateDir, log);
  std::string name = options.name.value_or(systemHostName());
  if (name.empty()) name = "Computer";
  SessionEnvironment session = SessionEnvironment::current();
  std::shared_ptr<DisplayBackend> desktop = makeDesktop(options.display, session, log);

  HelperModel::Setup setup;
  setup.name = name;
  setup.advertisedHost = options.advertisedHost.value_or(
      advertisedHostName(systemHostName(), systemLocalHostName()));
  setup.vault = secrets.vault;
  setup.loadPort = [stateDir] { return loadListenPort(stateDir); };
  setup.savePort = [stateDir](std::uint16_t port) { return saveListenPort(stateDir, port); };
  setup.port = options.port;
  setup.desktop = desktop;
  // Capture times of the pattern count from the monotonic clock's zero, as the desktop's do,
  // so that a phone on this machine can measure latency.
  setup.pattern = [] {
    return std::make_unique<TestPatternSource>(TestPatternSource::Clock{},
                                               std::chrono::steady_clock::time_point{});
  };
  HevcEncoderOptions encoderOptions;
  encoderOptions.onLog = log;
  setup.environment.encoders = std::make_shared<HevcEncoderFactory>(std::move(encoderOptions));
  setup.environment.sleepAssertions = std::make_shared<LinuxSleepAssertions>(
      log, desktop && desktop->name() == "x11" ? session.display : std::nullopt);
  setup.statusInterval = options.statusInterval.value_or(15.0);
  setup.readStatus = [name, desktop] { return readHostStatus(name, desktop.get()); };
  setup.loginItem = autostartLoginItem(Autostart::defaultDirectory(), loginExecutable);
  setup.wipeSecrets = [stateDir, log] { return wipeSecrets(stateDir, log); };
  setup.log = log;
  return setup;
}

}  // namespace lumenbrook
