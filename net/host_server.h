#pragma once
// The host service phones connect to: the TCP listener and its DNS-SD advertisement,
// admission of connections, one Client (framed link + host session) per admitted connection,
// the pairing window and its lock-out, the user's trust decisions, the carrying out of every
// session output, and periodic status reports to phones that ask for them.
//
// Threading: everything the server and its clients own lives on one EventLoop, the
// "host-server" thread the server creates and runs. The listener, every link, every timer and
// every callback run there, so nothing here takes a lock. Public operations are either
// blocking (they post their work and wait for it; called on the loop thread itself they throw
// std::logic_error instead of deadlocking) or queued (they post and return at once, so they
// may be called from inside a callback; their effects follow in call order).
//
// Ownership: always held by std::shared_ptr (make()); every handler and scheduled closure
// holds the server and its clients weakly and does nothing once they are gone. Dropping the
// last reference made by make() shuts the service down: off the loop thread it returns once
// the loop has stopped, so no callback runs afterwards; inside a callback the shutdown
// completes in the background and no further callback is invoked.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/messages/control_message.h"
#include "core/messages/input_event.h"
#include "core/messages/mac_status.h"
#include "core/messages/screen_traits.h"
#include "core/security/device_identity.h"
#include "core/security/qr_payload.h"
#include "core/security/trust_store.h"
#include "core/session/host_session.h"
#include "core/util/bytes.h"
#include "core/util/repeat_summary.h"
#include "core/util/token_bucket.h"
#include "core/util/uuid.h"
#include "core/video/encoder_factory.h"
#include "core/video/frame_source.h"
#include "core/video/sleep_assertion.h"
#include "net/event_loop.h"
#include "net/local_interfaces.h"
#include "net/service_advertiser.h"
#include "net/system_clock.h"
#include "net/transport.h"

namespace lumenbrook {

class HostServer : public std::enable_shared_from_this<HostServer> {
 public:
  using Duration = EventLoop::Clock::duration;

  // Admitted connections at most; a full table evicts its oldest unsettled client.
  static constexpr std::size_t maxClients = 8;
  // Unsettled connections from one host at most; one more is refused. An IPv6 host is its
  // /64, since one machine may use any number of addresses there; an IPv4 host its address.
  static constexpr std::size_t maxUnsettledPerHost = 3;
  // Failed pairing attempts since the window was opened that lock the window.
  static constexpr int pairingAttemptLimit = 3;

  // Names and the default stream, used while the phone has not described its screen.
  struct Config {
    Config(std::string name, std::string advertisedHost)
        : name(std::move(name)), advertisedHost(std::move(advertisedHost)) {}

    std::string name;            // advertised service name; hostName of the welcome
    std::string advertisedHost;  // host name in the pairing code; phones dial it
    std::int64_t width = 1920;
    std::int64_t height = 1080;
    std::int64_t fps = 60;
    std::int64_t bitrate = 20'000'000;  // bits per second

    friend bool operator==(const Config&, const Config&) = default;
  };

  // Every delay and pace of the service. Production uses the defaults; tests change them.
  struct Timing {
    // A connection must log in, or reach the code comparison, within this time of admission.
    Duration loginCheck = std::chrono::seconds(10);
    // A code comparison still unanswered this long after admission ends the connection.
    Duration promptCheck = std::chrono::seconds(130);
    // How long a logged-in phone has to describe its screen before the default stream starts.
    Duration defaultStreamDelay = std::chrono::milliseconds(1500);
    // Streams of one connection start at least this far apart (four a second). Each start
    // costs an encoder and a frame source, so a phone describing its screen over and over
    // gets one stream per gap: of the latest size asked for, the ones in between are dropped.
    Duration streamStartGap = std::chrono::milliseconds(250);
    // Status reports never come faster than this, whatever statusInterval says.
    Duration statusMinimum = std::chrono::seconds(10);
    // The status period used when statusInterval is not a finite number.
    Duration statusFallback = std::chrono::seconds(15);
    // New connections are admitted at most `admissionBurst` at once, then one per
    // `admissionInterval`. A phone opens one to pair, one to log in and a few when it comes
    // back to the network, so 20 at once and 10 a second is beyond what a household's phones
    // make together, while a flood costs the loop no more than 10 sessions a second.
    std::size_t admissionBurst = 20;
    Duration admissionInterval = std::chrono::milliseconds(100);
    // A refusal's log line is not repeated within this time; its repeats are counted and
    // summed up in one line when the time has passed.
    Duration refusalLogWindow = std::chrono::minutes(1);
  };

  // Makes the pictures of one stream, `width` x `height`; called on the loop.
  using SourceFactory = std::function<std::unique_ptr<FrameSource>(int width, int height)>;

  // Creates the advertiser for one record; called on the loop. Its log lines go to onLog.
  using AdvertiserFactory = std::function<std::unique_ptr<ServiceAdvertiser>(
      EventLoop& loop, ServiceRecord record, std::function<void(const std::string&)> onLog)>;

  // What the server reads from its surroundings; tests replace parts of it.
  struct Environment {
    // This machine's LAN IPv6 addresses, for the local-address rule. Called per admission.
    std::function<std::vector<Bytes>()> ownIPv6 = [] {
      return LocalNetwork::ownIPv6(localInterfaces());
    };
    // The DNS-SD advertisement; the default publishes through Avahi.
    AdvertiserFactory makeAdvertiser = avahiAdvertiser;
    // Dates stored in the trust store (pairedAt, revokedAt).
    HostSession::Clock clock = systemDate;
    // The video path. Without a source factory or an encoder factory a stream still binds its
    // UDP path but carries no pictures.
    SourceFactory makeSource;
    std::shared_ptr<EncoderFactory> encoders;
    std::shared_ptr<SleepAssertions> sleepAssertions;  // null: nothing keeps the computer awake
  };

  static std::unique_ptr<ServiceAdvertiser> avahiAdvertiser(
      EventLoop& loop, ServiceRecord record, std::function<void(const std::string&)> onLog);

  // The status period for `interval` seconds: the fallback when it is not finite, never below
  // the minimum.
  static Duration statusPeriod(double interval, const Timing& timing);

  // The stream a described screen gets: its pixel size scaled down into 3840 x 2160 (either
  // orientation), even, at least 320 x 240. REQUIRES: `screen` is sanitized.
  struct StreamSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const StreamSize&, const StreamSize&) = default;
  };
  static StreamSize streamSize(const ScreenTraits& screen);
  // The encoder settings of a `width` x `height` stream asked for at `fps`: at least 24 fps,
  // and 5/2 of `bitrate` from 3840 x 2160 pixels up.
  static EncoderConfig streamEncoding(int width, int height, std::int64_t fps,
                                      std::int64_t bitrate);

  // Starts the "host-server" thread and nothing else: no listener, no clients, no window.
  static std::shared_ptr<HostServer> make(DeviceIdentity identity, TrustStore trust,
                                          Config config);
  static std::shared_ptr<HostServer> make(DeviceIdentity identity, TrustStore trust,
                                          Config config, Timing timing, Environment environment);
  // REQUIRES: the loop has stopped (make()'s handle sees to it).
  ~HostServer();
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  // Set these before start(); they are read on the loop without further synchronisation and
  // are invoked there. None of them may call a blocking operation.
  std::function<void(const QRPayload& base)> onListening;  // ready; secret empty
  std::function<void(const std::string& code, const std::string& phoneName)> onPairingCode;
  std::function<void(const PairedDevice&)> onPaired;
  std::function<void(const TrustStore&)> onTrustChanged;  // after every change of the store
  std::function<void(const Uuid& deviceID)> onConnected;
  std::function<void(const std::optional<Uuid>& deviceID)> onDisconnected;
  std::function<void(const InputEvent&)> onInput;
  std::function<void(const std::string&)> onLog;
  std::function<void(const ScreenTraits&)> onScreen;
  std::function<void()> onPairingLocked;
  // Source of status reports; called on the loop, so it must answer quickly.
  std::function<std::optional<MacStatus>()> statusProvider;
  // Seconds between status reports (see statusPeriod).
  double statusInterval = 15.0;

  // Blocking. Listens on `port` (0: any free port) unless the kill switch is on. A port that
  // cannot be bound is reported as "listener failed: ..." and replaced by any free port.
  void start(std::uint16_t port);
  // Blocking. Cancels the listener (the reference stays, so listening() remains true) and
  // closes and drops every client, whose ends are then no longer reported. For shutdown only.
  void stop();
  // Blocking. Whether there is a listener.
  bool listening();
  // Blocking. How many admitted connections the table holds.
  std::size_t clientCount();
  // Blocking, for tests. Records of admitted connections still in memory, whoever holds them:
  // the table, or a timer or handler that refers to them. An ended connection leaves none.
  std::size_t clientRecords();

  // Blocking. Opens (or reopens, with a new secret and a fresh count of failures) the pairing
  // window for `seconds` and returns the pairing-code text; nothing while the kill switch is
  // on or before the listener was first ready. A NaN or negative duration counts as 0, one
  // beyond a year as a year.
  std::optional<std::string> openPairing(double seconds);
  // Queued. Closes the window and every connection that is pairing.
  void closePairing();
  // Queued. The Mac user's verdict on the code a client shows.
  void confirm(const std::string& code, bool ok);
  // Blocking. Removes the device and closes its connections and every one not logged in.
  void forget(const Uuid& id);
  // Blocking. Marks the device revoked now and closes connections as forget() does.
  void revoke(const Uuid& id);
  // Queued. On: closes the window and every connection and stops listening. Off: listens
  // again on the last bound port.
  void setKillSwitch(bool on);

  // The listener's new-connection handler: admission of one connection that has not been
  // started. Public so that tests can hand over connections with any remote address.
  // REQUIRES: on the loop thread.
  void admit(std::shared_ptr<TcpConnection> connection);

  EventLoop& loop() { return *loop_; }

 private:
  struct Client;
  using ClientPtr = std::shared_ptr<Client>;
  // What make() hands out owns one of these; the handlers' references lead to the server
  // alone, so the owner's last release is always the application's own.
  struct Owner;

  HostServer(DeviceIdentity identity, TrustStore trust, Config config, Timing timing,
             Environment environment);

  // host_server.cpp: lifecycle, listener, admission, link events, checks.
  void startListener(std::uint16_t port);
  void onListenerState(const std::shared_ptr<TcpListener>& listener, std::uint16_t requested,
                       TcpListener::State state, const std::string& error);
  void startClient(const ClientPtr& client);
  void onLinkReady(const ClientPtr& client);
  void onLinkMessage(const ClientPtr& client, const Wire& message);
  void onLinkClosed(const ClientPtr& client, const std::string& reason);
  void refuse(const std::shared_ptr<TcpConnection>& connection, const std::string& line);
  void logRefusal(const std::string& line);
  void loginCheck(const ClientPtr& client);
  void schedulePromptCheck(const ClientPtr& client);
  void promptCheck(const ClientPtr& client);
  void cancelTimers(const ClientPtr& client);
  void closeClient(const ClientPtr& client);
  void closeEveryClient();
  void shutDownOnLoop();
  std::vector<ClientPtr> snapshot() const;
  void log(const std::string& text);

  // host_server_pairing.cpp: the window and the trust decisions.
  void closePairingWindow();
  void closeUnsettledAndDevice(const Uuid& id);
  void announceTrust();

  // host_server_outputs.cpp: session outputs, sealed control messages, status reports.
  void perform(const ClientPtr& client, const std::vector<HostSession::Output>& outputs);
  void sendControl(const ClientPtr& client, ControlMessage message);
  void handleControl(const ClientPtr& client, const ControlMessage& message);
  void statusStep(const ClientPtr& client);
  void countFailedPairing();

  // host_server_streams.cpp: the client's video stream.
  void scheduleDefaultStream(const ClientPtr& client);
  void handleScreen(const ClientPtr& client, const ScreenTraits& traits);
  void forwardToStream(const ClientPtr& client, const ControlMessage& message);
  void stopStream(const ClientPtr& client);
  void requestStream(const ClientPtr& client, int width, int height, int fps);
  void startWantedStream(const ClientPtr& client);
  void startStream(const ClientPtr& client, int width, int height, int fps);

  // Declared first so that it is destroyed last, after everything bound to it.
  std::unique_ptr<EventLoop> loop_;
  const DeviceIdentity identity_;
  TrustStore trust_;
  Config config_;
  const Timing timing_;
  const Environment environment_;
  std::shared_ptr<TcpListener> listener_;
  std::unique_ptr<ServiceAdvertiser> advertiser_;
  // Admission order is iteration order, which breaks ties when evicting.
  std::map<std::uint64_t, ClientPtr> clients_;
  // Evicted clients, already out of `clients_`, whose link has not reported its end yet; held
  // so that the end still arrives.
  std::map<std::uint64_t, ClientPtr> departing_;
  std::uint64_t nextClient_ = 0;
  // Client allocations not yet released; shared with the allocator each record holds.
  std::shared_ptr<std::size_t> clientRecords_ = std::make_shared<std::size_t>(0);
  TokenBucket admissions_;
  RepeatSummary refusals_;
  std::optional<QRPayload> pairBase_;
  std::uint16_t port_ = 0;
  std::optional<std::string> pairingSecret_;
  TimerHandle pairingDeadline_;
  int failedPairings_ = 0;
};

}  // namespace lumenbrook
