#include "phone/phone_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/crypto/crypto.h"
#include "core/security/hex.h"
#include "core/util/json.h"
#include "net/private_file.h"

namespace lumenbrook {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kKeyLength = 32;
constexpr std::size_t kFingerprintLength = 32;
// Far above any real state; a larger file is not ours.
constexpr std::size_t kMaxFileSize = 1 << 20;

std::string systemError() { return std::strerror(errno); }

Bytes readKey(const Json& j, std::string_view key) {
  Bytes bytes = json::readBytes(json::member(j, key));
  if (bytes.size() != kKeyLength) throw JsonError(std::string(key) + " is not 32 bytes");
  return bytes;
}

PairedHost readHost(const Json& j) {
  json::requireObject(j);
  PairedHost h;
  h.name = json::readString(json::member(j, "name"));
  h.fingerprint = json::readString(json::member(j, "fingerprint"));
  if (h.fingerprint.size() != kFingerprintLength || !hexDecode(h.fingerprint)) {
    throw JsonError("fingerprint is not 32 hexadecimal characters");
  }
  h.identityKey = readKey(j, "identityKey");
  h.psk = readKey(j, "psk");
  h.address.host = json::readString(json::member(j, "host"));
  h.address.port = json::readInt<std::uint16_t>(json::member(j, "port"));
  if (h.address.host.empty() || h.address.port == 0) throw JsonError("address is incomplete");
  return h;
}

Json writeHost(const PairedHost& h) {
  Json j = Json::object();
  j["name"] = h.name;
  j["fingerprint"] = h.fingerprint;
  j["identityKey"] = json::writeBytes(h.identityKey);
  j["psk"] = json::writeBytes(h.psk);
  j["host"] = h.address.host;
  j["port"] = h.address.port;
  return j;
}

}  // namespace

fs::path PhoneState::defaultPath() {
  const fs::path dir = stateDirectory();
  return dir.empty() ? dir : dir / "phone.json";
}

PhoneState PhoneState::fresh(std::string name) {
  return PhoneState(DeviceIdentity(Uuid::fromRandom(crypto::randomArray<16>()), std::move(name),
                                   crypto::Ed25519PrivateKey::generate()),
                    {});
}

Result<PhoneState, std::string> PhoneState::load(const fs::path& path) {
  const std::string where = "the phone's state " + path.string();
  if (path.empty()) return Failure{std::string("no place for the phone's state: set HOME or use --state")};
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    // ENOTDIR: a part of the path is a file, so there is no state there either.
    if (errno == ENOENT || errno == ENOTDIR) return fresh();
    return Failure{"can't read " + where + ": " + systemError()};
  }
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failure{"can't read " + where + ": " + systemError()};
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > kMaxFileSize) return Failure{"can't use " + where + ": it is too large"};
  }
  const std::string keep =
      "; it was left as it is (it may hold your pairings): repair it, or move it away to start "
      "afresh";
  auto j = parseJson(text);
  if (!j || !j->is_object()) return Failure{"can't use " + where + ": it is not JSON" + keep};
  try {
    const Json& id = json::requireObject(json::member(*j, "identity"));
    Bytes seed = readKey(id, "key");
    auto key = crypto::Ed25519PrivateKey::fromRaw(seed);
    if (!key) throw JsonError("key is not an Ed25519 key");
    DeviceIdentity identity(json::readUuid(json::member(id, "id")),
                            json::readString(json::member(id, "name")), std::move(*key));
    const Json& list = json::member(*j, "hosts");
    if (!list.is_array()) throw JsonError("hosts is not a list");
    std::vector<PairedHost> hosts;
    for (const Json& h : list) hosts.push_back(readHost(h));
    return PhoneState(std::move(identity), std::move(hosts));
  } catch (const JsonError& e) {
    return Failure{"can't use " + where + ": " + e.what() + keep};
  }
}

Result<Unit, std::string> PhoneState::save(const fs::path& path,
                                           const ReplaceHook& beforeReplace) const {
  const std::string failure = "couldn't save the phone's state " + path.string() + ": ";
  if (path.empty() || !path.has_filename()) return Failure{failure + "not a file name"};
  Json j = Json::object();
  j["identity"] = Json::object();
  j["identity"]["id"] = identity_.id().text();
  j["identity"]["name"] = identity_.name();
  j["identity"]["key"] = json::writeBytes(identity_.signingKey().raw().bytes());
  j["hosts"] = Json::array();
  for (const PairedHost& h : hosts_) j["hosts"].push_back(writeHost(h));
  std::string text;
  try {
    text = dumpJson(j) + "\n";
  } catch (const JsonError& e) {
    return Failure{failure + e.what()};  // a name that is not UTF-8
  }

  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  if (!makeDirectories(dir)) return Failure{failure + systemError()};
  auto replaced = replaceFile(path, asBytes(text), beforeReplace);
  if (!replaced.ok()) return Failure{failure + replaced.error()};
  return Unit{};
}

Result<Unit, std::string> PhoneState::checkWritable(const fs::path& path) {
  const std::string failure = "can't save the phone's state " + path.string() + ": ";
  if (path.empty() || !path.has_filename()) return Failure{failure + "not a file name"};
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  if (!makeDirectories(dir)) return Failure{failure + systemError()};
  std::string temporary = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) return Failure{failure + systemError()};
  ::unlink(temporary.c_str());
  return Unit{};
}

void PhoneState::rename(std::string name) {
  identity_ = DeviceIdentity(identity_.id(), std::move(name), identity_.signingKey());
}

void PhoneState::remember(PairedHost host) {
  auto same = std::find_if(hosts_.begin(), hosts_.end(), [&](const PairedHost& h) {
    return h.fingerprint == host.fingerprint;
  });
  if (same != hosts_.end()) {
    *same = std::move(host);
  } else {
    hosts_.push_back(std::move(host));
  }
}

Result<PairedHost, std::string> PhoneState::choose(const std::optional<std::string>& host) const {
  if (hosts_.empty()) {
    return Failure{std::string("no paired computer: pair first with lumenbrook-phone pair CODE")};
  }
  std::vector<const PairedHost*> matches;
  for (const PairedHost& h : hosts_) {
    if (!host || h.address.host == *host || h.name == *host) matches.push_back(&h);
  }
  if (matches.size() == 1) return *matches.front();
  auto list = [](const std::vector<const PairedHost*>& hosts) {
    std::string names;
    for (const PairedHost* h : hosts) {
      names += (names.empty() ? "" : ", ") + h->name + " (" + h->address.host + ")";
    }
    return names;
  };
  if (matches.empty()) {
    std::vector<const PairedHost*> all;
    for (const PairedHost& h : hosts_) all.push_back(&h);
    return Failure{"no paired computer is called " + *host + "; paired: " + list(all)};
  }
  return Failure{"several paired computers; pick one with --host: " + list(matches)};
}

}  // namespace lumenbrook
