#include "net/service_browser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/strlst.h>
#include <net/if.h>

#include <memory>
#include <optional>
#include <set>
#include <tuple>

namespace lumenbrook {

namespace {

struct Browse {
  AvahiClient* client = nullptr;
  AvahiSimplePoll* poll = nullptr;
  const std::function<void(const DiscoveredService&)>* onFound = nullptr;
  std::set<std::tuple<std::string, std::string, std::uint16_t>> seen;
  std::optional<std::string> error;

  void fail(std::string text) {
    if (!error) error = std::move(text);
    avahi_simple_poll_quit(poll);
  }
};

std::string failureText(int error) {
  if (error == AVAHI_ERR_NO_DAEMON) return std::string(kNoAvahiDaemon);
  return std::string("can't browse for computers: ") + avahi_strerror(error);
}

std::string fingerprintOf(AvahiStringList* txt) {
  AvahiStringList* item = avahi_string_list_find(txt, "fp");
  if (!item) return {};
  char* key = nullptr;
  char* value = nullptr;
  std::string out;
  if (avahi_string_list_get_pair(item, &key, &value, nullptr) == 0 && value) out = value;
  avahi_free(key);
  avahi_free(value);
  return out;
}

void onResolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
                AvahiResolverEvent event, const char* name, const char*, const char*,
                const char* hostName, const AvahiAddress* address, std::uint16_t port,
                AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
  auto* b = static_cast<Browse*>(userdata);
  if (event == AVAHI_RESOLVER_FOUND && address) {
    char text[AVAHI_ADDRESS_STR_MAX];
    avahi_address_snprint(text, sizeof text, address);
    std::string numeric = text;
    // A link-local IPv6 address is only usable with its interface.
    if (address->proto == AVAHI_PROTO_INET6 && numeric.starts_with("fe80:")) {
      char ifname[IF_NAMESIZE];
      if (interface >= 0 && if_indextoname(static_cast<unsigned>(interface), ifname)) {
        numeric += std::string("%") + ifname;
      }
    }
    DiscoveredService found{name ? name : "", hostName ? hostName : "", numeric, port,
                            fingerprintOf(txt)};
    if (b->seen.emplace(found.name, found.address, found.port).second) (*b->onFound)(found);
  }
  // A failed resolution (the instance went away meanwhile) is not worth a line.
  avahi_service_resolver_free(resolver);
}

void onBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
              AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
              AvahiLookupResultFlags, void* userdata) {
  auto* b = static_cast<Browse*>(userdata);
  switch (event) {
    case AVAHI_BROWSER_NEW:
      if (!avahi_service_resolver_new(b->client, interface, protocol, name, type, domain,
                                      AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), &onResolved, b)) {
        b->fail(failureText(avahi_client_errno(b->client)));
      }
      break;
    case AVAHI_BROWSER_FAILURE:
      b->fail(failureText(avahi_client_errno(b->client)));
      break;
    default:
      break;
  }
}

void onClientState(AvahiClient* client, AvahiClientState state, void* userdata) {
  auto* b = static_cast<Browse*>(userdata);
  if (state == AVAHI_CLIENT_FAILURE) b->fail(failureText(avahi_client_errno(client)));
}

}  // namespace

Result<Unit, std::string> browseServices(
    std::string_view type, std::chrono::milliseconds duration,
    const std::function<void(const DiscoveredService&)>& onFound) {
  std::unique_ptr<AvahiSimplePoll, void (*)(AvahiSimplePoll*)> poll(avahi_simple_poll_new(),
                                                                     &avahi_simple_poll_free);
  if (!poll) return Failure{failureText(AVAHI_ERR_NO_MEMORY)};
  Browse b;
  b.poll = poll.get();
  b.onFound = &onFound;
  int error = 0;
  // Without NO_FAIL the client fails at once when no daemon is reachable.
  std::unique_ptr<AvahiClient, void (*)(AvahiClient*)> client(
      avahi_client_new(avahi_simple_poll_get(poll.get()), AvahiClientFlags(0), &onClientState, &b,
                       &error),
      &avahi_client_free);
  if (!client) return Failure{failureText(error)};
  b.client = client.get();
  const std::string serviceType(type);
  AvahiServiceBrowser* browser =
      avahi_service_browser_new(client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                serviceType.c_str(), nullptr, AvahiLookupFlags(0), &onBrowse, &b);
  if (!browser) return Failure{failureText(avahi_client_errno(client.get()))};

  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (!b.error) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (avahi_simple_poll_iterate(poll.get(), static_cast<int>(left.count())) != 0) break;
  }
  // Freeing the client frees the browser and any resolver still running.
  client.reset();
  if (b.error) return Failure{*b.error};
  return Unit{};
}

}  // namespace lumenbrook
