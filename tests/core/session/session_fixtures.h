#pragma once
// Shared by the session tests: fixed identities, readable printing of outputs, sample
// messages of every kind, and a pump that carries each side's `send` outputs to the other.

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/crypto/crypto.h"
#include "core/messages/control_codec.h"
#include "core/security/device_identity.h"
#include "core/security/hex.h"
#include "core/security/qr_payload.h"
#include "core/session/host_session.h"
#include "core/session/phone_session.h"

namespace lumenbrook {

namespace fixtures {

inline constexpr std::string_view kSecret = "00112233445566778899aabbccddeeff";
inline constexpr std::string_view kOtherSecret = "ffeeddccbbaa99887766554433221100";
inline constexpr Date kNow{700000123.25};

inline Bytes hex(std::string_view text) {
  auto b = hexDecode(text);
  if (!b) std::abort();
  return *b;
}

inline DeviceIdentity identity(std::string_view seedHex, std::string_view id, std::string name) {
  auto key = crypto::Ed25519PrivateKey::fromRaw(hex(seedHex));
  auto uuid = Uuid::parse(id);
  if (!key || !uuid) std::abort();
  return DeviceIdentity(*uuid, std::move(name), std::move(*key));
}

inline DeviceIdentity phoneIdentity() {
  return identity("0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20",
                  "3F2504E0-4F89-41D3-9A0C-0305E82C3301", "Zo\xC3\xAB's phone");
}
inline DeviceIdentity macIdentity() {
  return identity("65666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f8081828384",
                  "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "Studio-Mac");
}
// Another phone that holds the Mac's own signing key.
inline DeviceIdentity impostorIdentity() {
  return identity("65666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f8081828384",
                  "0F0F0F0F-1111-4222-8333-444455556666", "Impostor");
}

inline Bytes raw(const crypto::PublicKey& k) { return Bytes(k.begin(), k.end()); }
inline Bytes digest(const crypto::Digest& d) { return Bytes(d.begin(), d.end()); }

inline QRPayload scanned(std::string_view secret = kSecret) {
  return QRPayload{"Studio-Mac.local", 51000, macIdentity().fingerprint(), std::string(secret)};
}

inline Date fixedNow() { return kNow; }

// The trusted record of the fixture phone under `psk`.
inline PairedDevice pairedPhone(Bytes psk, std::optional<Date> revokedAt = std::nullopt) {
  DeviceIdentity p = phoneIdentity();
  return PairedDevice{p.id(),         p.name(),        raw(p.publicKey()),
                      std::move(psk), Date{650000000}, revokedAt};
}

inline TrustStore storeWith(const PairedDevice& d) {
  TrustStore t;
  if (!t.add(d)) std::abort();
  return t;
}

inline HostSession host(TrustStore trust = {},
                        std::optional<std::string> secret = std::string(kSecret)) {
  return HostSession::withTrust(macIdentity(), std::move(trust), std::move(secret), fixedNow);
}

// HMAC-SHA256(psk, "<side> confirmed|rejected" || transcript), computed here from the bytes.
inline Bytes verdictTag(const PairingResult& r, std::string_view side, bool ok) {
  Bytes data = toBytes(std::string(side) + (ok ? " confirmed" : " rejected"));
  append(data, r.transcript);
  return digest(crypto::hmacSha256(r.psk, data));
}

inline Bytes record(const Envelope& e) {
  auto r = ControlCodec::encode(e);
  if (!r) std::abort();
  return r.value();
}

inline Envelope ping(std::uint32_t id) {
  return Envelope{ControlMessage{ControlMessage::Ping{id, 1000u + id}}};
}
inline Envelope pointer(double dx) {
  return Envelope{InputEvent{InputEvent::PointerMove{dx, -dx}}};
}

// One message of every kind, in declaration order, with plausible field sizes.
inline std::vector<Wire> everyKind() {
  const Bytes k(32, 0x42);
  return {
      Wire{Wire::PairStart{phoneIdentity().id(), "x", k, k, k}},
      Wire{Wire::PairMacCommit{k, "Studio-Mac", k}},
      Wire{Wire::PairReveal{k, k}},
      Wire{Wire::PairMacReveal{k, k, Bytes(64, 1), k}},
      Wire{Wire::PairPhoneProof{Bytes(64, 1), k}},
      Wire{Wire::PairCodeShown{}},
      Wire{Wire::PairConfirmed{true, k}},
      Wire{Wire::PairPhoneConfirmed{true, k}},
      Wire{Wire::ClientHello{k, k}},
      Wire{Wire::ServerHello{k, k}},
      Wire{Wire::ClientFinish{k}},
      Wire{Wire::Refused{"no"}},
      Wire{Wire::Sealed{Bytes(40, 7)}},
  };
}

}  // namespace fixtures

// --- printing, so a failed comparison of output lists reads well ---------------------------

inline std::string describe(const Wire& w) {
  std::string s(w.kindName());
  if (auto* r = std::get_if<Wire::Refused>(&w.value)) s += ": " + r->reason;
  if (auto* c = std::get_if<Wire::PairConfirmed>(&w.value)) s += c->ok ? " ok" : " not ok";
  if (auto* c = std::get_if<Wire::PairPhoneConfirmed>(&w.value)) s += c->ok ? " ok" : " not ok";
  return s;
}

inline std::string describe(const HostSession::Output& o) {
  using O = HostSession::Output;
  return std::visit(
      [](const auto& c) -> std::string {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, O::Send>) return "send " + describe(c.message);
        if constexpr (std::is_same_v<T, O::ShowPairingCode>) return "show code to Mac";
        if constexpr (std::is_same_v<T, O::Paired>) return "paired " + c.device.name;
        if constexpr (std::is_same_v<T, O::Connected>) return "connected " + c.deviceID.text();
        if constexpr (std::is_same_v<T, O::Envelope>) return "envelope";
        if constexpr (std::is_same_v<T, O::Close>) return "close: " + c.reason;
        if constexpr (std::is_same_v<T, O::PairingFailed>) return "pairingFailed";
      },
      o.value);
}

inline std::string describe(const PhoneSession::Output& o) {
  using O = PhoneSession::Output;
  return std::visit(
      [](const auto& c) -> std::string {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, O::Send>) return "send " + describe(c.message);
        if constexpr (std::is_same_v<T, O::ShowPairingCode>) return "show code to phone";
        if constexpr (std::is_same_v<T, O::Paired>) return "paired with " + c.hostName;
        if constexpr (std::is_same_v<T, O::Envelope>) return "envelope";
        if constexpr (std::is_same_v<T, O::Failed>) return "failed: " + c.text;
        if constexpr (std::is_same_v<T, O::Connected>) return "connected";
      },
      o.value);
}

template <class Out>
std::vector<std::string> describeAll(const std::vector<Out>& outs) {
  std::vector<std::string> s;
  for (const auto& o : outs) s.push_back(describe(o));
  return s;
}

inline void PrintTo(const HostSession::Output& o, std::ostream* os) { *os << describe(o); }
inline void PrintTo(const PhoneSession::Output& o, std::ostream* os) { *os << describe(o); }
inline void PrintTo(const Wire& w, std::ostream* os) { *os << describe(w); }

// --- the pump ---------------------------------------------------------------------------

// Carries `send` outputs between the two sessions in order, as one TCP connection would:
// what a side sent before it closed still arrives; nothing reaches a side after it closed
// (the host's `close`, the phone's `failed`). Every output of each side is logged, and each
// host reply is kept beside the message it answered.
struct Pump {
  Pump(HostSession& h, PhoneSession& p) : host(h), phone(p) {}

  HostSession& host;
  PhoneSession& phone;
  std::vector<HostSession::Output> hostLog;
  std::vector<PhoneSession::Output> phoneLog;
  std::vector<std::pair<Wire, std::vector<HostSession::Output>>> hostReplies;
  std::vector<std::pair<Wire, std::vector<PhoneSession::Output>>> phoneReplies;
  // Edits a message in transit; called for every message before delivery.
  std::function<void(Wire&)> tamperToHost = [](Wire&) {};
  std::function<void(Wire&)> tamperToPhone = [](Wire&) {};

  std::deque<Wire> toHost, toPhone;
  bool hostClosed = false, phoneClosed = false;

  void fromPhone(const std::vector<PhoneSession::Output>& outs) {
    for (const auto& o : outs) {
      phoneLog.push_back(o);
      if (auto* s = std::get_if<PhoneSession::Output::Send>(&o.value)) toHost.push_back(s->message);
      if (std::holds_alternative<PhoneSession::Output::Failed>(o.value)) phoneClosed = true;
    }
  }
  void fromHost(const std::vector<HostSession::Output>& outs) {
    for (const auto& o : outs) {
      hostLog.push_back(o);
      if (auto* s = std::get_if<HostSession::Output::Send>(&o.value)) toPhone.push_back(s->message);
      if (std::holds_alternative<HostSession::Output::Close>(o.value)) hostClosed = true;
    }
  }

  // Delivers until nothing is in flight, or until `stop` holds (checked before each delivery).
  void run(const std::function<bool()>& stop = {}) {
    while (!toHost.empty() || !toPhone.empty()) {
      if (stop && stop()) return;
      if (!toHost.empty()) {
        Wire w = std::move(toHost.front());
        toHost.pop_front();
        if (hostClosed) continue;
        tamperToHost(w);
        auto outs = host.receive(w);
        hostReplies.emplace_back(w, outs);
        fromHost(outs);
        continue;
      }
      Wire w = std::move(toPhone.front());
      toPhone.pop_front();
      if (phoneClosed) continue;
      tamperToPhone(w);
      auto outs = phone.receive(w);
      phoneReplies.emplace_back(w, outs);
      fromPhone(outs);
    }
  }
};

// Flips the last byte of the bytes field `f` of messages of kind M.
template <class M>
std::function<void(Wire&)> flip(Bytes M::*f) {
  return [f](Wire& w) {
    if (auto* m = std::get_if<M>(&w.value); m && !((*m).*f).empty()) ((*m).*f).back() ^= 0x01;
  };
}
// Replaces messages of kind M as `edit` says.
template <class M>
std::function<void(Wire&)> edit(std::function<void(M&)> change) {
  return [change](Wire& w) {
    if (auto* m = std::get_if<M>(&w.value)) change(*m);
  };
}

}  // namespace lumenbrook
