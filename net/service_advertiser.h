#pragma once
// DNS-SD advertisement of the host service, so that phones on the LAN find it by browsing.
// Pairing works without it (the QR code carries host and port), so every failure here is a
// log line and never an error.
//
// Threading: create, call and destroy on the EventLoop's thread. The Avahi client runs on its
// own thread; everything it has to say reaches the owner only as work posted to the loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/event_loop.h"

namespace lumenbrook {

// What is advertised: an instance name, a service type and TXT pairs, in order.
struct ServiceRecord {
  static constexpr const char* kHostServiceType = "_lumenbrook._tcp";

  std::string name;
  std::string type;
  std::vector<std::pair<std::string, std::string>> txt;

  // The host service: its name and the identity fingerprint under the TXT key "fp".
  static ServiceRecord hostService(std::string name, std::string fingerprint) {
    return ServiceRecord{std::move(name), kHostServiceType, {{"fp", std::move(fingerprint)}}};
  }
  friend bool operator==(const ServiceRecord&, const ServiceRecord&) = default;
};

class ServiceAdvertiser {
 public:
  virtual ~ServiceAdvertiser() = default;
  // Advertises the record on `port`, replacing an earlier port.
  virtual void publish(std::uint16_t port) = 0;
  // Takes the advertisement off the network until the next publish().
  virtual void withdraw() = 0;
};

// Publishes through the system's Avahi daemon (D-Bus). Without a reachable daemon it reports
// one log line and carries on; a daemon that appears (or returns) later is used then. When
// another host already holds the name, Avahi's alternative ("Name #2") is taken and logged.
class AvahiAdvertiser final : public ServiceAdvertiser {
 public:
  using LogHandler = std::function<void(const std::string&)>;

  // `onLog` runs on the loop. Names longer than a DNS label (63 bytes) are cut at a character
  // boundary, since Avahi refuses them outright.
  AvahiAdvertiser(EventLoop& loop, ServiceRecord record, LogHandler onLog);
  ~AvahiAdvertiser() override;
  AvahiAdvertiser(const AvahiAdvertiser&) = delete;
  AvahiAdvertiser& operator=(const AvahiAdvertiser&) = delete;

  void publish(std::uint16_t port) override;
  void withdraw() override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumenbrook
