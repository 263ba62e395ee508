#pragma once
// What the user-interface views read and do, and nothing else: HelperModel implements it, and
// the views' tests drive them with a fake.
//
// Thread: the user-interface thread only.

#include <optional>
#include <string>
#include <vector>

#include "app/terminal_qr.h"
#include "core/security/trust_store.h"
#include "core/util/uuid.h"

namespace lumenbrook {

class MenuModel {
 public:
  struct PendingCode {
    std::string code;
    std::string phone;
    friend bool operator==(const PendingCode&, const PendingCode&) = default;
  };

  virtual ~MenuModel() = default;

  // The code the service asks the user to compare, and the name of the phone showing it.
  virtual const std::optional<PendingCode>& pendingCode() const = 0;
  // Every phone of the trust store, revoked ones too, oldest pairing first.
  virtual const std::vector<PairedDevice>& devices() const = 0;
  // True while the service is switched off.
  virtual bool killSwitch() const = 0;
  // The phone that last logged in; absent once any connection ends.
  virtual const std::optional<std::string>& connectedPhone() const = 0;
  virtual bool screenRecordingAllowed() const = 0;
  virtual bool accessibilityAllowed() const = 0;
  virtual bool startsAtLogin() const = 0;
  virtual bool pairingLocked() const = 0;
  // The QR code of the open pairing window's text (error correction M); absent without one.
  virtual std::optional<QrMatrix> qrImage() const = 0;

  virtual void refreshPermissions() = 0;
  virtual void requestScreenRecording() = 0;
  virtual void requestAccessibility() = 0;
  virtual void setStartsAtLogin(bool on) = 0;
  virtual void openPairWindow() = 0;
  virtual void closePairWindow() = 0;
  virtual void confirm(bool ok) = 0;
  virtual void setKillSwitch(bool on) = 0;
  virtual void revoke(const Uuid& id) = 0;
  virtual void forget(const Uuid& id) = 0;
  virtual void removeEverything() = 0;
};

}  // namespace lumenbrook
