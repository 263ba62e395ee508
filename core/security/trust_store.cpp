#include "core/security/trust_store.h"

#include <algorithm>

#include "core/security/secure_channel.h"

namespace lumenbrook {
namespace {

constexpr std::size_t kKeySize = 32;

bool sameBytes(ByteView a, ByteView b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

Bytes readKey(const Json& j) {
  Bytes b = json::readBytes(j);
  if (b.size() != kKeySize) throw JsonError("a key must be 32 bytes");
  return b;
}

}  // namespace

bool TrustStore::add(PairedDevice device) {
  if (devices_.contains(device.id)) return false;
  for (const auto& [id, d] : devices_) {
    if (d.identityKey == device.identityKey) return false;
  }
  Uuid id = device.id;
  devices_.emplace(id, std::move(device));
  return true;
}

void TrustStore::revoke(const Uuid& id, Date date) {
  if (auto it = devices_.find(id); it != devices_.end()) it->second.revokedAt = date;
}

void TrustStore::forget(const Uuid& id) { devices_.erase(id); }

ConnectDecision TrustStore::decide(const Uuid& deviceID, ByteView identityKey) const {
  if (!killSwitch_) {
    auto it = devices_.find(deviceID);
    if (it != devices_.end() && !it->second.revokedAt &&
        sameBytes(it->second.identityKey, identityKey)) {
      return ConnectDecision::allow();
    }
  }
  return ConnectDecision::refuse(std::string(refusal));
}

ConnectDecision TrustStore::canPair(const Uuid& deviceID, ByteView identityKey) const {
  if (killSwitch_) return ConnectDecision::refuse(std::string(switchedOffRefusal));
  if (devices_.contains(deviceID))
    return ConnectDecision::refuse(std::string(alreadyPairedRefusal));
  for (const auto& [id, d] : devices_) {
    if (sameBytes(d.identityKey, identityKey)) {
      return ConnectDecision::refuse(std::string(alreadyPairedRefusal));
    }
  }
  return ConnectDecision::allow();
}

std::optional<Bytes> TrustStore::psk(const Uuid& deviceID, ByteView identityKey) const {
  if (!decide(deviceID, identityKey).allowed()) return std::nullopt;
  return devices_.at(deviceID).psk;
}

std::optional<PairedDevice> TrustStore::device(ByteView handle, ByteView nonceP) const {
  if (killSwitch_) return std::nullopt;
  for (const auto& [id, d] : devices_) {
    if (d.revokedAt) continue;
    if (Handshake::isValidHandle(handle, d.psk, d.id, nonceP)) return d;
  }
  return std::nullopt;
}

void to_json(Json& j, const PairedDevice& d) {
  j = Json::object();
  j["id"] = d.id;
  j["name"] = d.name;
  j["identityKey"] = json::writeBytes(d.identityKey);
  j["psk"] = json::writeBytes(d.psk);
  j["pairedAt"] = d.pairedAt;
  if (d.revokedAt) j["revokedAt"] = *d.revokedAt;
}

void from_json(const Json& j, PairedDevice& d) {
  d.id = json::readUuid(json::member(j, "id"));
  d.name = json::readString(json::member(j, "name"));
  d.identityKey = readKey(json::member(j, "identityKey"));
  d.psk = readKey(json::member(j, "psk"));
  d.pairedAt = json::member(j, "pairedAt").get<Date>();
  d.revokedAt.reset();
  if (const Json* r = json::optionalMember(j, "revokedAt")) d.revokedAt = r->get<Date>();
}

void to_json(Json& j, const TrustStore& t) {
  Json devices = Json::object();
  for (const auto& [id, d] : t.devices()) devices[id.text()] = d;
  j = Json::object();
  j["devices"] = std::move(devices);
  j["killSwitch"] = t.killSwitch();
}

void from_json(const Json& j, TrustStore& t) {
  TrustStore out;
  auto insert = [&out](const Json& key, const Json& value) {
    Uuid id = json::readUuid(key);
    PairedDevice d = value.get<PairedDevice>();
    if (d.id != id) throw JsonError("a device is stored under another device's id");
    if (!out.add(std::move(d))) throw JsonError("two devices share an id or an identity key");
  };
  const Json& devices = json::member(j, "devices");
  if (devices.is_object()) {
    for (const auto& [key, value] : devices.items()) insert(Json(key), value);
  } else if (devices.is_array()) {
    // The alternating form: key, device, key, device, ...
    if (devices.size() % 2 != 0) throw JsonError("a device key without its device");
    for (std::size_t i = 0; i < devices.size(); i += 2) insert(devices[i], devices[i + 1]);
  } else {
    throw JsonError("expected the devices as an object or an array");
  }
  out.setKillSwitch(json::readBool(json::member(j, "killSwitch")));
  t = std::move(out);
}

}  // namespace lumenbrook
