#pragma once
// The Mac's memory of the phones it paired with, and the switch that turns the service off.
// A value: the host server keeps the live copy, sessions read it, the application saves it.
//
// Stored form (JSON):
//   {"devices": {"<UPPER-CASE UUID>": <device>, ...}, "killSwitch": false}
//   <device> = {"id": "<UUID>", "name": "...", "identityKey": "<base64 of 32 bytes>",
//               "psk": "<base64 of 32 bytes>", "pairedAt": <seconds since 2001-01-01 UTC>,
//               "revokedAt": <same; left out while the phone is trusted>}
// Reading also takes "devices" as an array alternating UUID text and device object. A store
// that breaks its own invariants (a key that is not its device's id, two devices with one id
// or one identity key, keys that are not 32 bytes) does not read.

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/util/bytes.h"
#include "core/util/date.h"
#include "core/util/json.h"
#include "core/util/uuid.h"

namespace lumenbrook {

struct PairedDevice {
  Uuid id;
  std::string name;
  Bytes identityKey;  // the phone's 32-byte Ed25519 public key
  Bytes psk;          // the 32-byte key agreed at pairing
  Date pairedAt;
  std::optional<Date> revokedAt;  // absent while the phone is trusted

  friend bool operator==(const PairedDevice&, const PairedDevice&) = default;
};

// Whether a phone may go on, and if not, the sentence shown to its user.
class ConnectDecision {
 public:
  static ConnectDecision allow() { return ConnectDecision(std::nullopt); }
  static ConnectDecision refuse(std::string reason) { return ConnectDecision(std::move(reason)); }

  bool allowed() const { return !reason_.has_value(); }
  // REQUIRES: !allowed()
  const std::string& reason() const { return *reason_; }

  friend bool operator==(const ConnectDecision&, const ConnectDecision&) = default;

 private:
  explicit ConnectDecision(std::optional<std::string> reason) : reason_(std::move(reason)) {}
  std::optional<std::string> reason_;
};

class TrustStore {
 public:
  static constexpr std::string_view refusal =
      "This Mac didn't accept this phone. On the Mac, check Lumenbrook is on and this phone is "
      "in its list.";
  static constexpr std::string_view switchedOffRefusal = "Lumenbrook is switched off on this Mac";
  static constexpr std::string_view alreadyPairedRefusal =
      "This phone is already paired. Remove it on the Mac first.";
  // Exactly the texts `canPair` refuses with; the phone recognises a pairing refusal by them.
  static constexpr std::array<std::string_view, 2> pairRefusals{switchedOffRefusal,
                                                                alreadyPairedRefusal};

  // Empty, switch off.
  TrustStore() = default;

  const std::map<Uuid, PairedDevice>& devices() const { return devices_; }
  // When on, nobody may pair or log in.
  bool killSwitch() const { return killSwitch_; }
  void setKillSwitch(bool on) { killSwitch_ = on; }

  // Stores a newly paired phone; false and no change when its id is already stored (revoked
  // or not) or a stored device has the same identity key.
  bool add(PairedDevice device);
  // Marks the device revoked at `date`; it stays stored and blocks re-pairing until
  // forgotten. No effect for an unknown id.
  void revoke(const Uuid& id, Date date);
  // Removes the device; no effect for an unknown id.
  void forget(const Uuid& id);

  // Login: allowed when the switch is off and the id names an unrevoked device with exactly
  // this identity key; otherwise refused with `refusal`.
  ConnectDecision decide(const Uuid& deviceID, ByteView identityKey) const;
  // Pairing admission: refused while switched off, or when the id or the identity key is
  // already stored (revoked or not).
  ConnectDecision canPair(const Uuid& deviceID, ByteView identityKey) const;
  // The device's pairing key when `decide` allows it.
  std::optional<Bytes> psk(const Uuid& deviceID, ByteView identityKey) const;
  // The unrevoked device whose login handle for `nonceP` is `handle` (checked in constant
  // time per device); nothing while switched off. Costs one HMAC per unrevoked device.
  std::optional<PairedDevice> device(ByteView handle, ByteView nonceP) const;

  friend bool operator==(const TrustStore&, const TrustStore&) = default;

 private:
  std::map<Uuid, PairedDevice> devices_;
  bool killSwitch_ = false;
};

void to_json(Json& j, const PairedDevice& d);
void from_json(const Json& j, PairedDevice& d);
void to_json(Json& j, const TrustStore& t);
void from_json(const Json& j, TrustStore& t);

}  // namespace lumenbrook
