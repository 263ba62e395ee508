#include "core/messages/wire.h"

#include <array>

namespace lumenbrook {
namespace {

// Same order as Wire::Value.
constexpr std::array<std::string_view, std::variant_size_v<Wire::Value>> kKindNames = {
    "pairStart",     "pairMacCommit",      "pairReveal",  "pairMacReveal", "pairPhoneProof",
    "pairCodeShown", "pairConfirmed",      "pairPhoneConfirmed", "clientHello", "serverHello",
    "clientFinish",  "refused",            "sealed"};

Json payload(const Wire::PairStart& m) {
  return {{"deviceID", m.deviceID},
          {"name", m.name},
          {"identityKey", json::writeBytes(m.identityKey)},
          {"commitment", json::writeBytes(m.commitment)},
          {"tag", json::writeBytes(m.tag)}};
}
Json payload(const Wire::PairMacCommit& m) {
  return {{"identityKey", json::writeBytes(m.identityKey)},
          {"hostName", m.hostName},
          {"commitment", json::writeBytes(m.commitment)}};
}
Json payload(const Wire::PairReveal& m) {
  return {{"publicKey", json::writeBytes(m.publicKey)}, {"nonce", json::writeBytes(m.nonce)}};
}
Json payload(const Wire::PairMacReveal& m) {
  return {{"publicKey", json::writeBytes(m.publicKey)},
          {"nonce", json::writeBytes(m.nonce)},
          {"signature", json::writeBytes(m.signature)},
          {"tag", json::writeBytes(m.tag)}};
}
Json payload(const Wire::PairPhoneProof& m) {
  return {{"signature", json::writeBytes(m.signature)}, {"tag", json::writeBytes(m.tag)}};
}
Json payload(const Wire::PairCodeShown&) { return Json::object(); }
Json payload(const Wire::PairConfirmed& m) {
  return {{"ok", m.ok}, {"tag", json::writeBytes(m.tag)}};
}
Json payload(const Wire::PairPhoneConfirmed& m) {
  return {{"ok", m.ok}, {"tag", json::writeBytes(m.tag)}};
}
Json payload(const Wire::ClientHello& m) {
  return {{"handle", json::writeBytes(m.handle)}, {"nonce", json::writeBytes(m.nonce)}};
}
Json payload(const Wire::ServerHello& m) {
  return {{"nonce", json::writeBytes(m.nonce)}, {"mac", json::writeBytes(m.mac)}};
}
Json payload(const Wire::ClientFinish& m) { return {{"mac", json::writeBytes(m.mac)}}; }
Json payload(const Wire::Refused& m) { return {{"reason", m.reason}}; }
Json payload(const Wire::Sealed& m) { return {{"_0", json::writeBytes(m.payload)}}; }

Bytes bytesAt(const Json& p, std::string_view key) { return json::readBytes(json::member(p, key)); }
std::string stringAt(const Json& p, std::string_view key) {
  return json::readString(json::member(p, key));
}
bool boolAt(const Json& p, std::string_view key) { return json::readBool(json::member(p, key)); }

Wire::Value readPayload(std::string_view kind, const Json& p) {
  json::requireObject(p);
  if (kind == "pairStart")
    return Wire::PairStart{.deviceID = json::readUuid(json::member(p, "deviceID")),
                           .name = stringAt(p, "name"),
                           .identityKey = bytesAt(p, "identityKey"),
                           .commitment = bytesAt(p, "commitment"),
                           .tag = bytesAt(p, "tag")};
  if (kind == "pairMacCommit")
    return Wire::PairMacCommit{.identityKey = bytesAt(p, "identityKey"),
                               .hostName = stringAt(p, "hostName"),
                               .commitment = bytesAt(p, "commitment")};
  if (kind == "pairReveal")
    return Wire::PairReveal{.publicKey = bytesAt(p, "publicKey"), .nonce = bytesAt(p, "nonce")};
  if (kind == "pairMacReveal")
    return Wire::PairMacReveal{.publicKey = bytesAt(p, "publicKey"),
                               .nonce = bytesAt(p, "nonce"),
                               .signature = bytesAt(p, "signature"),
                               .tag = bytesAt(p, "tag")};
  if (kind == "pairPhoneProof")
    return Wire::PairPhoneProof{.signature = bytesAt(p, "signature"), .tag = bytesAt(p, "tag")};
  if (kind == "pairCodeShown") return Wire::PairCodeShown{};
  if (kind == "pairConfirmed")
    return Wire::PairConfirmed{.ok = boolAt(p, "ok"), .tag = bytesAt(p, "tag")};
  if (kind == "pairPhoneConfirmed")
    return Wire::PairPhoneConfirmed{.ok = boolAt(p, "ok"), .tag = bytesAt(p, "tag")};
  if (kind == "clientHello")
    return Wire::ClientHello{.handle = bytesAt(p, "handle"), .nonce = bytesAt(p, "nonce")};
  if (kind == "serverHello")
    return Wire::ServerHello{.nonce = bytesAt(p, "nonce"), .mac = bytesAt(p, "mac")};
  if (kind == "clientFinish") return Wire::ClientFinish{.mac = bytesAt(p, "mac")};
  if (kind == "refused") return Wire::Refused{.reason = stringAt(p, "reason")};
  return Wire::Sealed{.payload = bytesAt(p, "_0")};
}

}  // namespace

std::string_view Wire::kindName() const { return kKindNames[value.index()]; }

void to_json(Json& j, const Wire& w) {
  j = json::writeCase(w.kindName(), std::visit([](const auto& m) { return payload(m); }, w.value));
}

void from_json(const Json& j, Wire& w) {
  std::string_view kind =
      json::caseKey(j, {"pairStart", "pairMacCommit", "pairReveal", "pairMacReveal",
                        "pairPhoneProof", "pairCodeShown", "pairConfirmed", "pairPhoneConfirmed",
                        "clientHello", "serverHello", "clientFinish", "refused", "sealed"});
  w.value = readPayload(kind, *j.find(kind));
}

}  // namespace lumenbrook
