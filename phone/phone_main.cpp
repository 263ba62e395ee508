// lumenbrook-phone: the reference phone on a command line. It pairs with a computer from its
// pairing-code text, keeps what pairing left in a state file, logs in to ask for status
// reports or a video stream, and finds computers on the network through Avahi.
//
// Threads: main (start-up, the terminal, signals, the run's time limit, shutdown) and the
// "phone" loop, where the client and every one of its callbacks live. Results go to stdout,
// diagnostics and the computer's texts to stderr.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/messages/control_message.h"
#include "core/messages/envelope.h"
#include "media/png_writer.h"
#include "net/event_loop.h"
#include "net/service_advertiser.h"
#include "net/service_browser.h"
#include "phone/hevc_recorder.h"
#include "phone/phone_client.h"
#include "phone/phone_options.h"
#include "phone/phone_report.h"
#include "phone/phone_state.h"
#include "phone/stream_client.h"

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFailure = 1;
constexpr int kUsage = 2;
constexpr double kDiscoverSeconds = 3;
constexpr double kStreamSeconds = 10;
// Login plus the events and the end of the connection; far more than it takes on a LAN.
constexpr double kInputSeconds = 20;
// The screen described when neither --screen nor --preset is given.
const ScreenTraits& defaultScreen() { return ScreenTraits::tv720(); }

// Lines from the loop thread and the main thread, never interleaved.
class Console {
 public:
  void out(std::string_view text) { write(std::cout, text); }
  void err(std::string_view text) { write(std::cerr, text); }

 private:
  void write(std::ostream& stream, std::string_view text) {
    std::lock_guard lock(mutex_);
    stream << text;
    if (text.empty() || text.back() != '\n') stream << '\n';
    stream.flush();
  }
  std::mutex mutex_;
};

// One run of a command that talks to a computer: the loop with the client on it, and what
// the loop tells the main thread (the outcome, a code to ask about).
class Session {
 public:
  Session(Console& console, int signalFd) : console_(console), signalFd_(signalFd) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  }
  ~Session() {
    // The client's connection belongs to the loop: release it there.
    if (client_) loop_.postAndWait([&] { client_.reset(); });
    loop_.stop();
    if (wakeFd_ >= 0) ::close(wakeFd_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  EventLoop& loop() { return loop_; }
  std::shared_ptr<PhoneClient>& client() { return client_; }

  // The run's result; the first one counts. Any thread.
  void finish(int code) {
    {
      std::lock_guard lock(mutex_);
      if (!outcome_) outcome_ = code;
    }
    wake();
  }
  bool finished() {
    std::lock_guard lock(mutex_);
    return outcome_.has_value();
  }
  // Asks the main thread to put the code comparison to the user. Loop thread.
  void askAbout(std::string code) {
    {
      std::lock_guard lock(mutex_);
      question_ = std::move(code);
    }
    wake();
  }

  // Waits for the outcome, a stop signal or the time limit (then `onTimeUp` decides), and
  // answers code comparisons from `terminal` (-1: there is none).
  int wait(std::optional<double> seconds, int terminal, const std::function<int()>& onTimeUp);

 private:
  void wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
  }
  void answer(bool ok) {
    loop_.post([this, ok] {
      if (client_) client_->confirmCode(ok);
    });
  }

  Console& console_;
  int signalFd_;
  int wakeFd_ = -1;
  EventLoop loop_{"phone"};
  std::shared_ptr<PhoneClient> client_;
  std::mutex mutex_;
  std::optional<int> outcome_;
  std::optional<std::string> question_;
};

int Session::wait(std::optional<double> seconds, int terminal,
                  const std::function<int()>& onTimeUp) {
  std::optional<Clock::time_point> deadline;
  if (seconds) {
    deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(*seconds));
  }
  bool asking = false;
  std::string pending;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (outcome_) return *outcome_;
    }
    int timeout = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      if (left.count() <= 0) return onTimeUp();
      timeout = static_cast<int>(left.count());
    }
    pollfd fds[3] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {terminal, POLLIN, 0}};
    const nfds_t count = asking ? 3 : 2;
    if (::poll(fds, count, timeout) < 0) {
      if (errno == EINTR) continue;
      return kFailure;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      [[maybe_unused]] ssize_t n = ::read(signalFd_, &info, sizeof info);
      console_.err("stopped by signal " + std::to_string(info.ssi_signo));
      return onTimeUp();
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t value = 0;
      [[maybe_unused]] ssize_t n = ::read(wakeFd_, &value, sizeof value);
      std::optional<std::string> code;
      {
        std::lock_guard lock(mutex_);
        code = std::exchange(question_, std::nullopt);
      }
      if (code) {
        if (terminal < 0) {
          console_.err("no terminal to ask on: compare the codes and pair again with --yes");
          return kFailure;
        }
        console_.out(codeQuestion(*code));
        asking = true;
      }
    }
    if (asking && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buffer[256];
      ssize_t n = ::read(terminal, buffer, sizeof buffer);
      if (n <= 0) {
        console_.err("no answer: nothing was saved");
        return kFailure;
      }
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; asking && (end = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (auto ok = parseAnswer(line)) {
          asking = false;
          answer(*ok);
        } else {
          console_.out("Please answer y or n. ");
        }
      }
      if (pending.size() > 4096) pending.clear();
    }
  }
}

Result<PhoneState, std::string> loadState(const PhoneOptions& o, fs::path& path) {
  path = o.state.value_or(PhoneState::defaultPath());
  return PhoneState::load(path);
}

int pair(const PhoneOptions& o, Console& console, int signalFd) {
  fs::path path;
  auto loaded = loadState(o, path);
  if (!loaded) {
    console.err(loaded.error());
    return kFailure;
  }
  PhoneState state = std::move(loaded).value();
  if (o.name) state.rename(*o.name);
  if (auto writable = PhoneState::checkWritable(path); !writable) {
    console.err(writable.error());
    return kFailure;
  }

  // Answers come from a terminal: standard input when it is one, else the controlling one.
  int terminal = -1;
  bool ownTerminal = false;
  if (!o.yes) {
    if (::isatty(STDIN_FILENO)) {
      terminal = STDIN_FILENO;
    } else {
      terminal = ::open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY);
      ownTerminal = terminal >= 0;
    }
  }

  Session session(console, signalFd);
  const bool started = session.loop().postAndWait([&] {
    auto client = PhoneClient::make(session.loop(), state.identity());
    session.client() = client;
    client->onPairingCode = [&](const std::string& code) {
      console.out("Pairing code: " + printable(groupedCode(code)));
      if (o.yes) {
        console.err("--yes: confirming the code without asking");
        session.client()->confirmCode(true);
      } else {
        session.askAbout(code);
      }
    };
    client->onPaired = [&](const PhoneClient::Pairing& p) {
      state.remember(PairedHost{p.hostName, p.hostFingerprint, p.hostIdentityKey, p.psk, p.mac});
      auto saved = state.save(path);
      if (!saved) {
        console.err(saved.error());
        session.finish(kFailure);
        return;
      }
      console.out("Paired with " + printable(p.hostName) + " at " + printable(p.mac.host) + ":" +
                  std::to_string(p.mac.port) + "; saved in " + path.string());
      session.finish(0);
    };
    client->onFailed = [&](const std::string& text) {
      console.err(printable(text));
      session.finish(kFailure);
    };
    client->onClosed = [&](const std::string& reason) {
      if (session.finished()) return;
      console.err("pairing ended: " + printable(reason));
      session.finish(kFailure);
    };
    return client->pair(o.code);
  });
  int result = kFailure;
  if (!started) {
    console.err("this is not a pairing code: it starts with LUMENBROOK-PAIR-1: and names a "
                "computer on the local network");
  } else {
    result = session.wait(std::nullopt, terminal, [] { return kFailure; });
  }
  if (ownTerminal) ::close(terminal);
  return result;
}

// The paired computer a login goes to.
struct Login {
  PairedHost host;
  std::string where;  // "name at host:port"
};

// The paired computer the options name (or the only one), at --port when given.
Result<Login, std::string> chooseHost(const PhoneOptions& o, PhoneState& state, fs::path& path) {
  auto loaded = loadState(o, path);
  if (!loaded) return Failure{loaded.error()};
  state = std::move(loaded).value();
  auto chosen = state.choose(o.host);
  if (!chosen) return Failure{chosen.error()};
  PairedHost host = std::move(chosen).value();
  if (o.port) host.address.port = *o.port;
  std::string where = printable(host.name) + " at " + printable(host.address.host) + ":" +
                      std::to_string(host.address.port);
  return Login{std::move(host), std::move(where)};
}

// Reports the login and its end on the console; every envelope from the computer goes to
// `onEnvelope`. Loop thread.
void installLoginHandlers(Session& session, Console& console, const Login& login,
                          std::function<void()> onConnected,
                          std::function<void(const Envelope&)> onEnvelope) {
  PhoneClient& client = *session.client();
  client.onConnected = [&console, &login, onConnected = std::move(onConnected)] {
    console.err("logged in to " + login.where);
    onConnected();
  };
  client.onEnvelope = std::move(onEnvelope);
  client.onFailed = [&](const std::string& text) {
    console.err(printable(text));
    session.finish(kFailure);
  };
  client.onClosed = [&](const std::string& reason) {
    if (session.finished()) return;
    console.err("connection to " + login.where + " ended: " + printable(reason));
    session.finish(kFailure);
  };
}

int status(const PhoneOptions& o, Console& console, int signalFd) {
  fs::path path;
  PhoneState state = PhoneState::fresh();
  auto chosen = chooseHost(o, state, path);
  if (!chosen) {
    console.err(chosen.error());
    return kFailure;
  }
  const Login login = std::move(chosen).value();
  std::uint64_t reports = 0;  // loop thread only; outlives the session, whose loop counts
  Session session(console, signalFd);
  session.loop().postAndWait([&] {
    session.client() = PhoneClient::make(session.loop(), state.identity());
    installLoginHandlers(
        session, console, login,
        [&] {
          if (!session.client()->send(
                  Envelope{ControlMessage{ControlMessage::StatusWanted{true}}})) {
            console.err("couldn't ask for status reports");
            session.finish(kFailure);
          }
        },
        [&](const Envelope& e) {
          if (!e.isControl()) return;
          if (const auto* r = std::get_if<ControlMessage::MacStatusReport>(&e.control().value)) {
            console.out(statusLine(r->status));
            if (o.count && ++reports >= *o.count) session.finish(0);
          }
        });
    session.client()->login(login.host.address.host, login.host.address.port, login.host.psk);
  });
  return session.wait(o.seconds, -1, [&] {
    // Read on the loop, where it is counted.
    std::uint64_t seen = session.loop().postAndWait([&] { return reports; });
    if (o.count && seen < *o.count) {
      console.err("only " + std::to_string(seen) + " of " + std::to_string(*o.count) +
                  " status reports arrived");
      return kFailure;
    }
    return 0;
  });
}

int stream(const PhoneOptions& o, Console& console, int signalFd) {
  fs::path path;
  PhoneState state = PhoneState::fresh();
  auto chosen = chooseHost(o, state, path);
  if (!chosen) {
    console.err(chosen.error());
    return kFailure;
  }
  const Login login = std::move(chosen).value();
  std::unique_ptr<HevcRecorder> recorder;
  if (o.record) {
    auto opened = HevcRecorder::open(*o.record);
    if (!opened) {
      console.err("can't record to " + o.record->string() + ": " + opened.error());
      return kFailure;
    }
    recorder = std::move(opened).value();
  }

  std::shared_ptr<StreamClient> video;  // loop thread only; outlives the session
  Session session(console, signalFd);
  session.loop().postAndWait([&] {
    session.client() = PhoneClient::make(session.loop(), state.identity());
    installLoginHandlers(
        session, console, login,
        [&] {
          StreamClient::Options options;
          options.screen = o.screen.value_or(defaultScreen());
          options.deviceID = state.identity().id();
          options.deviceName = state.identity().name();
          video = StreamClient::make(session.loop(), session.client()->streamControl(), options);
          if (recorder) {
            video->onFrame = [&](const Reassembler::Frame& frame) { recorder->write(frame); };
          }
          video->begin();
        },
        [&](const Envelope& e) {
          if (video) video->handle(e);
        });
    session.client()->login(login.host.address.host, login.host.address.port, login.host.psk);
  });
  const int ended = session.wait(o.seconds.value_or(kStreamSeconds), -1, [] { return 0; });

  std::optional<StreamClient::Figures> figures;
  std::optional<VideoFrame> picture;
  session.loop().postAndWait([&] {
    if (!video) return;
    video->stop();
    figures = video->figures();
    picture = video->lastPicture();
    video.reset();
  });
  int result = ended;
  if (recorder) {
    auto closed = recorder->close();
    if (!closed) {
      console.err("couldn't finish recording " + o.record->string() + ": " + closed.error());
      result = kFailure;
    }
  }
  if (!figures) {
    if (result == 0) console.err("not logged in: no stream");
    return kFailure;
  }
  console.out(o.json ? figuresJson(*figures) : figuresText(*figures));
  if (o.snapshot) {
    if (!picture) {
      console.err("no picture was decoded: no snapshot written");
      result = kFailure;
    } else if (auto written = writePng(*picture, *o.snapshot); !written) {
      console.err("couldn't write the snapshot " + o.snapshot->string());
      result = kFailure;
    } else {
      console.err("snapshot written to " + o.snapshot->string());
    }
  }
  if (result == 0 && figures->framesDecoded == 0) {
    console.err("no frame was decoded");
    result = kFailure;
  }
  return result;
}

// Sends the actions' events in order, then ends the connection once the computer has read
// them all: it closes its side only after handling every message before the end, which is
// what tells the phone they were taken.
int input(const PhoneOptions& o, Console& console, int signalFd) {
  fs::path path;
  PhoneState state = PhoneState::fresh();
  auto chosen = chooseHost(o, state, path);
  if (!chosen) {
    console.err(chosen.error());
    return kFailure;
  }
  const Login login = std::move(chosen).value();
  std::size_t sent = 0;  // loop thread only
  Session session(console, signalFd);
  session.loop().postAndWait([&] {
    session.client() = PhoneClient::make(session.loop(), state.identity());
    // Ours must not cut the connection before the computer has read everything.
    session.client()->setCloseAfterSendingDelay(std::chrono::seconds(static_cast<int>(kInputSeconds)));
    installLoginHandlers(
        session, console, login,
        [&] {
          for (const InputAction& action : o.actions) {
            for (const InputEvent& event : inputEvents(action)) {
              if (!session.client()->send(Envelope{event})) {
                console.err("couldn't send an input event");
                session.finish(kFailure);
                return;
              }
              ++sent;
            }
          }
          session.client()->onClosed = [&](const std::string& reason) {
            if (reason != "closed by the other side") {
              console.err("connection to " + login.where + " ended before the input was taken: " +
                          printable(reason));
              session.finish(kFailure);
              return;
            }
            console.err(std::to_string(sent) + " input events sent");
            session.finish(0);
          };
          session.client()->finishSending();
        },
        [](const Envelope&) {});
    session.client()->login(login.host.address.host, login.host.address.port, login.host.psk);
  });
  return session.wait(kInputSeconds, -1, [&] {
    console.err("the computer did not take the input within " +
                std::to_string(static_cast<int>(kInputSeconds)) + " s");
    return kFailure;
  });
}

int discover(const PhoneOptions& o, Console& console) {
  const double seconds = o.seconds.value_or(kDiscoverSeconds);
  int found = 0;
  auto result = browseServices(
      ServiceRecord::kHostServiceType,
      std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000)),
      [&](const DiscoveredService& s) {
        ++found;
        console.out(printable(s.name) + "  " + printable(s.address) + " port " +
                    std::to_string(s.port) + "  fp " +
                    (s.fingerprint.empty() ? std::string("(none)") : printable(s.fingerprint)) +
                    "  " + printable(s.hostName));
      });
  if (!result) {
    console.err(result.error());
    return kFailure;
  }
  if (found == 0) {
    console.err("no computer advertises Lumenbrook on this network");
    return kFailure;
  }
  return 0;
}

}  // namespace
}  // namespace lumenbrook

int main(int argc, char** argv) {
  using namespace lumenbrook;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto options = parsePhoneOptions(args);
  if (!options) {
    std::cerr << "lumenbrook-phone: " << options.error() << '\n' << phoneUsage();
    return kUsage;
  }
  const PhoneOptions& o = options.value();
  if (o.command == PhoneOptions::Command::help) {
    std::cout << phoneUsage();
    return 0;
  }

  // Before any thread starts, so that every thread inherits the mask and the signals reach
  // only the descriptor the main thread reads.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) return kFailure;
  ::signal(SIGPIPE, SIG_IGN);
  int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::perror("lumenbrook-phone");
    return kFailure;
  }
  Console console;
  int status = kFailure;
  switch (o.command) {
    case PhoneOptions::Command::pair:
      status = pair(o, console, signalFd);
      break;
    case PhoneOptions::Command::status:
      status = lumenbrook::status(o, console, signalFd);
      break;
    case PhoneOptions::Command::discover:
      status = discover(o, console);
      break;
    case PhoneOptions::Command::stream:
      status = stream(o, console, signalFd);
      break;
    case PhoneOptions::Command::input:
      status = input(o, console, signalFd);
      break;
    case PhoneOptions::Command::help:
      break;
  }
  ::close(signalFd);
  return status;
}
