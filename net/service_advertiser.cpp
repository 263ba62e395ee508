#include "net/service_advertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <optional>

namespace lumenbrook {

namespace {

// The longest prefix of `s` of at most `max` bytes that does not split a UTF-8 sequence.
std::string cutUtf8(std::string s, std::size_t max) {
  if (s.size() <= max) return s;
  std::size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  s.resize(end);
  return s;
}

// Where the owner's log handler lives; posted work holds it weakly, so lines still in flight
// when the advertiser goes away are dropped.
struct LogSink {
  AvahiAdvertiser::LogHandler onLog;
};

}  // namespace

// Every field below except `loop` and `sink` is touched only with the threaded poll's lock
// held: on the Avahi thread inside its callbacks (which hold it already) or on the loop
// thread around each call.
struct AvahiAdvertiser::Impl {
  EventLoop& loop;
  ServiceRecord record;
  std::shared_ptr<LogSink> sink;
  AvahiThreadedPoll* poll = nullptr;
  AvahiClient* client = nullptr;
  AvahiEntryGroup* group = nullptr;
  std::string name;                  // the record's name, or the alternative after a collision
  std::optional<std::uint16_t> port;  // what should be published; absent when withdrawn
  bool unavailableReported = false;   // one line per outage, not one per attempt

  Impl(EventLoop& l, ServiceRecord r, LogHandler onLog)
      : loop(l), record(std::move(r)), sink(std::make_shared<LogSink>(LogSink{std::move(onLog)})) {
    record.name = cutUtf8(record.name, 63);
    name = record.name;
  }

  void log(std::string text) {
    loop.post([weak = std::weak_ptr<LogSink>(sink), text = std::move(text)] {
      auto s = weak.lock();
      if (s && s->onLog) s->onLog(text);
    });
  }

  void reportUnavailable(int error) {
    if (unavailableReported) return;
    unavailableReported = true;
    log(std::string("service advertisement unavailable: ") + avahi_strerror(error));
  }

  // With NO_FAIL the client waits for a daemon that is not running yet; it still fails at
  // once when there is no system bus at all, and then the next publish() tries again.
  void connect() {
    int error = 0;
    AvahiClient* c = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                      &Impl::onClientState, this, &error);
    if (!c) {
      client = nullptr;
      group = nullptr;
      reportUnavailable(error);
      return;
    }
    client = c;
  }

  void dropClient() {
    if (client) avahi_client_free(client);  // frees its entry groups too
    client = nullptr;
    group = nullptr;
  }

  // Makes the entry group match `port`. REQUIRES: client running.
  void apply() {
    if (!port) {
      if (group) avahi_entry_group_reset(group);
      return;
    }
    if (!group) {
      group = avahi_entry_group_new(client, &Impl::onGroupState, this);
      if (!group) {
        log(std::string("service advertisement failed: ") + avahi_strerror(avahi_client_errno(client)));
        return;
      }
    }
    avahi_entry_group_reset(group);
    AvahiStringList* txt = nullptr;
    for (const auto& [key, value] : record.txt) {
      txt = avahi_string_list_add_pair(txt, key.c_str(), value.c_str());
    }
    txt = avahi_string_list_reverse(txt);  // adding prepends; keep the record's order
    int result = 0;
    // A local collision (another service of this machine) shows up here, a remote one later
    // through the group's state.
    for (int attempt = 0; attempt < 16; ++attempt) {
      result = avahi_entry_group_add_service_strlst(
          group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name.c_str(),
          record.type.c_str(), nullptr, nullptr, *port, txt);
      if (result != AVAHI_ERR_COLLISION) break;
      rename();
    }
    avahi_string_list_free(txt);
    if (result >= 0) result = avahi_entry_group_commit(group);
    if (result < 0) log(std::string("service advertisement failed: ") + avahi_strerror(result));
  }

  void rename() {
    char* next = avahi_alternative_service_name(name.c_str());
    if (!next) return;
    name = next;
    avahi_free(next);
    log("service name in use, advertising as \"" + name + "\"");
  }

  static void onClientState(AvahiClient* c, AvahiClientState state, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    self->client = c;  // the first call can come before avahi_client_new() returned
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        self->unavailableReported = false;
        self->apply();
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The daemon is renaming the host; services are registered again once it runs.
        if (self->group) avahi_entry_group_reset(self->group);
        break;
      case AVAHI_CLIENT_CONNECTING:
        self->reportUnavailable(AVAHI_ERR_NO_DAEMON);
        break;
      case AVAHI_CLIENT_FAILURE: {
        int error = avahi_client_errno(c);
        self->dropClient();
        self->reportUnavailable(error);
        // The daemon went away: wait for it to come back.
        if (error == AVAHI_ERR_DISCONNECTED) self->connect();
        break;
      }
    }
  }

  static void onGroupState(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    self->group = g;
    switch (state) {
      case AVAHI_ENTRY_GROUP_COLLISION:
        self->rename();
        self->apply();
        break;
      case AVAHI_ENTRY_GROUP_FAILURE:
        self->log(std::string("service advertisement failed: ") +
                  avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))));
        break;
      default:
        break;
    }
  }
};

AvahiAdvertiser::AvahiAdvertiser(EventLoop& loop, ServiceRecord record, LogHandler onLog)
    : impl_(std::make_unique<Impl>(loop, std::move(record), std::move(onLog))) {
  impl_->poll = avahi_threaded_poll_new();
  if (impl_->poll && avahi_threaded_poll_start(impl_->poll) < 0) {
    avahi_threaded_poll_free(impl_->poll);
    impl_->poll = nullptr;
  }
}

AvahiAdvertiser::~AvahiAdvertiser() {
  if (!impl_->poll) return;
  avahi_threaded_poll_stop(impl_->poll);  // joins the Avahi thread; no callback runs after
  impl_->dropClient();
  avahi_threaded_poll_free(impl_->poll);
}

void AvahiAdvertiser::publish(std::uint16_t port) {
  Impl& d = *impl_;
  if (!d.poll) return d.reportUnavailable(AVAHI_ERR_NO_MEMORY);
  avahi_threaded_poll_lock(d.poll);
  d.port = port;
  if (!d.client) {
    d.connect();  // a running client publishes from its state callback
  } else if (avahi_client_get_state(d.client) == AVAHI_CLIENT_S_RUNNING) {
    d.apply();
  }
  avahi_threaded_poll_unlock(d.poll);
}

void AvahiAdvertiser::withdraw() {
  Impl& d = *impl_;
  if (!d.poll) return;
  avahi_threaded_poll_lock(d.poll);
  d.port.reset();
  if (d.group) avahi_entry_group_reset(d.group);
  avahi_threaded_poll_unlock(d.poll);
}

}  // namespace lumenbrook
