#pragma once
// The messages of the TCP control connection: pairing, login, refusal and sealed payloads.
//
// JSON form: one object with exactly one member named after the kind; its value is an object
// of the payload fields (the unlabeled field of `sealed` under "_0", `pairCodeShown` as {}).
// Bytes are padded base64, UUIDs canonical text (upper case written, any case read). Every
// field is required; members that name no kind or no field are ignored. Sizes of the
// cryptographic fields are the sessions' business, not checked here.

#include <string>
#include <string_view>
#include <variant>

#include "core/util/bytes.h"
#include "core/util/json.h"
#include "core/util/uuid.h"

namespace lumenbrook {

struct Wire {
  struct PairStart {
    Uuid deviceID;
    std::string name;
    Bytes identityKey;
    Bytes commitment;
    Bytes tag;
    friend bool operator==(const PairStart&, const PairStart&) = default;
  };
  struct PairMacCommit {
    Bytes identityKey;
    std::string hostName;
    Bytes commitment;
    friend bool operator==(const PairMacCommit&, const PairMacCommit&) = default;
  };
  struct PairReveal {
    Bytes publicKey;
    Bytes nonce;
    friend bool operator==(const PairReveal&, const PairReveal&) = default;
  };
  struct PairMacReveal {
    Bytes publicKey;
    Bytes nonce;
    Bytes signature;
    Bytes tag;
    friend bool operator==(const PairMacReveal&, const PairMacReveal&) = default;
  };
  struct PairPhoneProof {
    Bytes signature;
    Bytes tag;
    friend bool operator==(const PairPhoneProof&, const PairPhoneProof&) = default;
  };
  struct PairCodeShown {
    friend bool operator==(const PairCodeShown&, const PairCodeShown&) = default;
  };
  struct PairConfirmed {
    bool ok = false;
    Bytes tag;
    friend bool operator==(const PairConfirmed&, const PairConfirmed&) = default;
  };
  struct PairPhoneConfirmed {
    bool ok = false;
    Bytes tag;
    friend bool operator==(const PairPhoneConfirmed&, const PairPhoneConfirmed&) = default;
  };
  struct ClientHello {
    Bytes handle;
    Bytes nonce;
    friend bool operator==(const ClientHello&, const ClientHello&) = default;
  };
  struct ServerHello {
    Bytes nonce;
    Bytes mac;
    friend bool operator==(const ServerHello&, const ServerHello&) = default;
  };
  struct ClientFinish {
    Bytes mac;
    friend bool operator==(const ClientFinish&, const ClientFinish&) = default;
  };
  struct Refused {
    std::string reason;
    friend bool operator==(const Refused&, const Refused&) = default;
  };
  // Written under "_0": the field has no name on the wire.
  struct Sealed {
    Bytes payload;
    friend bool operator==(const Sealed&, const Sealed&) = default;
  };

  // Alternatives in wire declaration order; the index selects the kind name.
  using Value = std::variant<PairStart, PairMacCommit, PairReveal, PairMacReveal, PairPhoneProof,
                             PairCodeShown, PairConfirmed, PairPhoneConfirmed, ClientHello,
                             ServerHello, ClientFinish, Refused, Sealed>;
  Value value;

  // The kind's name as spelled on the wire ("pairStart", ..., "sealed"); handy for logs.
  std::string_view kindName() const;

  friend bool operator==(const Wire&, const Wire&) = default;
};

void to_json(Json& j, const Wire& w);
void from_json(const Json& j, Wire& w);

}  // namespace lumenbrook
