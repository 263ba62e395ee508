#include "desktop/linux/keyring_secret_store.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace lumenbrook {

namespace {

using Clock = std::chrono::steady_clock;

// A call that has been cancelled and still has not ended after this long is left behind.
constexpr std::chrono::milliseconds kGrace{500};
constexpr const char* kApplication = "lumenbrook";

template <class T>
struct GObjectUnref {
  void operator()(T* p) const {
    if (p) g_object_unref(p);
  }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref<T>>;

struct ErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct HashTableUnref {
  void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;

struct ValueUnref {
  void operator()(SecretValue* v) const { secret_value_unref(v); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;

struct ItemListFree {
  void operator()(GList* l) const { g_list_free_full(l, g_object_unref); }
};
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

const SecretSchema* schema() {
  static const SecretSchema s = [] {
    SecretSchema v{};
    v.name = "org.lumenbrook.Host";
    v.flags = SECRET_SCHEMA_NONE;
    v.attributes[0] = {"application", SECRET_SCHEMA_ATTRIBUTE_STRING};
    v.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return v;
  }();
  return &s;
}

// The table owns its strings: an abandoned call may still hold it after we return.
AttributesPtr attributes(std::optional<std::string_view> account) {
  AttributesPtr t(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  g_hash_table_insert(t.get(), g_strdup("application"), g_strdup(kApplication));
  if (account) {
    g_hash_table_insert(t.get(), g_strdup("account"),
                        g_strndup(account->data(), account->size()));
  }
  return t;
}

// The main context a store's calls run on, pushed as the thread's default for each call, so
// that nothing depends on who else iterates which context. Its own, not a fresh one per call:
// what the service object arranges (signal subscriptions, their clean-up when it goes) lands
// on the context it was made in, and must run for the bus connection to be let go.
struct Loop {
  GMainContext* context = g_main_context_new();
  std::mutex mutex;  // one call at a time may own the context

  ~Loop() {
    g_main_context_push_thread_default(context);
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }
};

// The state of one call lives on the heap: when a call is abandoned its callback may still
// hold it, so it is then left allocated.
struct CallState {
  GCancellable* cancellable = g_cancellable_new();
  GAsyncResult* result = nullptr;
  bool timedOut = false;
  bool abandoned = false;
};

struct Outcome {
  GObjectPtr<GAsyncResult> result;  // null when abandoned
  bool timedOut = false;
};

void onDone(GObject*, GAsyncResult* result, gpointer data) {
  static_cast<CallState*>(data)->result = G_ASYNC_RESULT(g_object_ref(result));
}

gboolean onDeadline(gpointer data) {
  auto* state = static_cast<CallState*>(data);
  state->timedOut = true;
  g_cancellable_cancel(state->cancellable);
  return G_SOURCE_REMOVE;
}

gboolean onGiveUp(gpointer data) {
  static_cast<CallState*>(data)->abandoned = true;
  return G_SOURCE_REMOVE;
}

GSource* attachTimer(GMainContext* context, Clock::time_point at, GSourceFunc fn,
                     CallState* state) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at - Clock::now());
  GSource* source = g_timeout_source_new(static_cast<guint>(std::max<long long>(0, left.count())));
  g_source_set_callback(source, fn, state, nullptr);
  g_source_attach(source, context);
  return source;
}

// Starts one asynchronous call and drives `loop` until it ends, is cancelled at `deadline`
// and winds down, or is abandoned kGrace later.
template <class Start>
Outcome run(Loop& loop, Clock::time_point deadline, Start start) {
  std::lock_guard lock(loop.mutex);
  auto* state = new CallState;
  g_main_context_push_thread_default(loop.context);
  start(state->cancellable, &onDone, state);
  GSource* cancelAt = attachTimer(loop.context, deadline, &onDeadline, state);
  GSource* giveUpAt = attachTimer(loop.context, deadline + kGrace, &onGiveUp, state);
  while (!state->result && !state->abandoned) g_main_context_iteration(loop.context, TRUE);
  for (GSource* s : {cancelAt, giveUpAt}) {
    g_source_destroy(s);
    g_source_unref(s);
  }
  g_main_context_pop_thread_default(loop.context);
  Outcome out{GObjectPtr<GAsyncResult>(state->result), state->timedOut};
  if (state->result) {
    g_object_unref(state->cancellable);
    delete state;
  }
  return out;
}

// The session bus's address, without starting one (GDBus would otherwise try to autolaunch).
std::optional<std::string> sessionBusAddress() {
  if (const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS"); a && *a) return std::string(a);
  if (const char* r = std::getenv("XDG_RUNTIME_DIR"); r && r[0] == '/') {
    std::string path = std::string(r) + "/bus";
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return "unix:path=" + path;
  }
  return std::nullopt;
}

}  // namespace

struct KeyringSecretStore::Handles {
  Loop loop;
  GObjectPtr<SecretService> service;  // goes before the loop is flushed
};

std::string_view describe(KeyringProblem problem) {
  switch (problem) {
    case KeyringProblem::absent: return "no keyring";
    case KeyringProblem::locked: return "keyring locked";
    case KeyringProblem::timedOut: return "keyring did not answer in time";
  }
  return "keyring unusable";
}

Result<std::unique_ptr<KeyringSecretStore>, KeyringProblem> KeyringSecretStore::open(
    KeyringTiming timing) {
  const Clock::time_point deadline = Clock::now() + timing.deadline;
  auto failed = [](const Outcome& o, KeyringProblem otherwise) {
    return Failure{o.timedOut ? KeyringProblem::timedOut : otherwise};
  };

  if (!sessionBusAddress()) return Failure{KeyringProblem::absent};
  auto handles = std::make_unique<Handles>();
  Loop& loop = handles->loop;

  // A service object of this store's own, not libsecret's process-wide one, so that it goes
  // with the store. Opening the session proves that a Secret Service answers.
  Outcome opened = run(loop, deadline, [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
    secret_service_open(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, c, cb, d);
  });
  if (opened.result) {
    handles->service.reset(secret_service_open_finish(opened.result.get(), nullptr));
  }
  if (!handles->service) return failed(opened, KeyringProblem::absent);
  // The host outlives its session bus: its secrets then stop answering, nothing more.
  g_dbus_connection_set_exit_on_close(
      g_dbus_proxy_get_connection(G_DBUS_PROXY(handles->service.get())), FALSE);

  // Without a default collection every store would have to create one through a prompt.
  Outcome aliased = run(loop, deadline, [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
    secret_collection_for_alias(handles->service.get(), SECRET_COLLECTION_DEFAULT,
                                SECRET_COLLECTION_NONE, c, cb, d);
  });
  GObjectPtr<SecretCollection> collection;
  if (aliased.result) {
    collection.reset(secret_collection_for_alias_finish(aliased.result.get(), nullptr));
  }
  if (!collection) return failed(aliased, KeyringProblem::absent);

  if (secret_collection_get_locked(collection.get())) {
    GList objects{collection.get(), nullptr, nullptr};
    auto unlock = [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
      secret_service_unlock(handles->service.get(), &objects, c, cb, d);
    };
    Outcome unlocked = run(loop, deadline, unlock);
    gint count = 0;
    if (unlocked.result) {
      count = secret_service_unlock_finish(handles->service.get(), unlocked.result.get(),
                                           nullptr, nullptr);
    }
    if (count < 1) return Failure{KeyringProblem::locked};
  }
  return std::unique_ptr<KeyringSecretStore>(new KeyringSecretStore(std::move(handles), timing));
}

KeyringSecretStore::KeyringSecretStore(std::unique_ptr<Handles> handles, KeyringTiming timing)
    : handles_(std::move(handles)), timing_(timing) {}

KeyringSecretStore::~KeyringSecretStore() = default;

std::string KeyringSecretStore::labelFor(std::string_view account) {
  if (account == "identity") return "Lumenbrook identity";
  if (account == "trust") return "Lumenbrook paired phones";
  if (account.starts_with("identity.unusable")) return "Lumenbrook identity (unusable, kept)";
  if (account.starts_with("trust.unusable")) return "Lumenbrook paired phones (unusable, kept)";
  return "Lumenbrook " + std::string(account);
}

std::optional<Bytes> KeyringSecretStore::load(std::string_view account) {
  SecretService* service = handles_->service.get();
  AttributesPtr attrs = attributes(account);
  Outcome o = run(handles_->loop, Clock::now() + timing_.deadline,
                  [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
                    secret_service_lookup(service, schema(), attrs.get(), c, cb, d);
                  });
  if (!o.result) return std::nullopt;
  ValuePtr value(secret_service_lookup_finish(service, o.result.get(), nullptr));
  if (!value) return std::nullopt;
  gsize size = 0;
  const gchar* data = secret_value_get(value.get(), &size);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  return Bytes(bytes, bytes + size);
}

namespace {

// The items matching `attrs`, locked ones included; absent when the search failed.
std::optional<ItemListPtr> search(Loop& loop, SecretService* service, GHashTable* attrs,
                                  Clock::time_point deadline) {
  Outcome o = run(loop, deadline, [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
    secret_service_search(service, schema(), attrs, SECRET_SEARCH_ALL, c, cb, d);
  });
  if (!o.result) return std::nullopt;
  ErrorPtr error;
  GError* raw = nullptr;
  ItemListPtr items(secret_service_search_finish(service, o.result.get(), &raw));
  error.reset(raw);
  if (error) return std::nullopt;
  return items;
}

}  // namespace

bool KeyringSecretStore::exists(std::string_view account) {
  AttributesPtr attrs = attributes(account);
  auto found = search(handles_->loop, handles_->service.get(), attrs.get(),
                      Clock::now() + timing_.deadline);
  return !found || *found != nullptr;
}

bool KeyringSecretStore::save(std::string_view account, ByteView bytes) {
  SecretService* service = handles_->service.get();
  AttributesPtr attrs = attributes(account);
  const std::string label = labelFor(account);
  ValuePtr value(secret_value_new(reinterpret_cast<const gchar*>(bytes.data()),
                                  static_cast<gssize>(bytes.size()), "application/octet-stream"));
  Outcome o = run(handles_->loop, Clock::now() + timing_.deadline,
                  [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
                    secret_service_store(service, schema(), attrs.get(), nullptr, label.c_str(),
                                         value.get(), c, cb, d);
                  });
  return o.result && secret_service_store_finish(service, o.result.get(), nullptr);
}

bool KeyringSecretStore::remove(std::string_view account) {
  SecretService* service = handles_->service.get();
  AttributesPtr attrs = attributes(account);
  Outcome o = run(handles_->loop, Clock::now() + timing_.deadline,
                  [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
                    secret_service_clear(service, schema(), attrs.get(), c, cb, d);
                  });
  if (!o.result) return false;
  GError* raw = nullptr;
  secret_service_clear_finish(service, o.result.get(), &raw);  // false also when none matched
  ErrorPtr error(raw);
  // Clearing skips locked items: gone only if a search finds nothing now.
  return !error && !exists(account);
}

std::optional<std::vector<std::string>> KeyringSecretStore::accounts() {
  AttributesPtr attrs = attributes(std::nullopt);
  auto found = search(handles_->loop, handles_->service.get(), attrs.get(),
                      Clock::now() + timing_.deadline);
  if (!found) return std::nullopt;
  std::vector<std::string> names;
  for (GList* l = found->get(); l; l = l->next) {
    AttributesPtr itemAttrs(secret_item_get_attributes(SECRET_ITEM(l->data)));
    if (!itemAttrs) continue;
    if (auto* name = static_cast<const char*>(g_hash_table_lookup(itemAttrs.get(), "account"))) {
      names.emplace_back(name);
    }
  }
  return names;
}

std::string KeyringSecretStore::description() const {
  return "the desktop keyring (Secret Service)";
}

}  // namespace lumenbrook
