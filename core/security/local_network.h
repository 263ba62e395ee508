#pragma once
// Which peers count as being on the local network, and which host names a pairing code may
// carry.
//
// Everything here is a pure function of its arguments: the service reads this machine's
// interface list (net/local_interfaces.h) and passes it in; tests pass lists of their own.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/bytes.h"

namespace lumenbrook {

struct LocalNetwork {
  LocalNetwork() = delete;

  enum class InterfaceKind { wifi, wiredEthernet, loopback, other };

  // One interface of this machine. Addresses are 4 (IPv4) or 16 (IPv6) bytes in network
  // order, in the order the system lists them.
  struct Interface {
    std::string name;
    InterfaceKind kind = InterfaceKind::other;
    std::vector<Bytes> addresses;

    friend bool operator==(const Interface&, const Interface&) = default;
  };

  // What the kernel says about one interface (flags and /sys/class/net/<name>/...); the only
  // input of `classify`.
  struct InterfaceFacts {
    bool loopbackFlag = false;  // IFF_LOOPBACK
    int hardwareType = -1;      // "type" (ARPHRD_*: 1 Ethernet, 772 loopback); -1 unknown
    bool hasDevice = false;     // "device" exists: backed by a bus device, not virtual
    bool wireless = false;      // "wireless" or "phy80211" exists
    std::string devType = {};   // DEVTYPE= of "uevent"; empty for plain Ethernet
    bool bridge = false;        // "bridge" exists
    bool tunTap = false;        // "tun_flags" exists

    friend bool operator==(const InterfaceFacts&, const InterfaceFacts&) = default;
  };

  // The interfaces a connection runs over, as the transport reports them.
  struct Path {
    std::vector<InterfaceKind> interfaces;

    bool usesInterfaceType(InterfaceKind kind) const;
    friend bool operator==(const Path&, const Path&) = default;
  };

  // A remote end as the transport names it. Only host-and-port endpoints have a host text: a
  // dotted IPv4 address, an IPv6 address (possibly with a "%" zone or in the "::ffff:" mapped
  // form) or a name.
  struct Endpoint {
    enum class Kind { hostPort, service, unixSocket, url };
    Kind kind = Kind::hostPort;
    std::string host;
    std::uint16_t port = 0;

    friend bool operator==(const Endpoint&, const Endpoint&) = default;
  };

  // Physical wired Ethernet and Wi-Fi are the LAN interfaces; bridges, veth pairs, tun/tap,
  // container and other virtual links are `other` even when they carry Ethernet frames, and
  // so are cellular modems and USB gadgets.
  static InterfaceKind classify(const InterfaceFacts& facts);

  // The IPv6 addresses of the LAN interfaces (Wi-Fi and wired Ethernet), 16 bytes each, in
  // the order given: link-local, temporary and permanent alike.
  static std::vector<Bytes> ownIPv6(const std::vector<Interface>& interfaces);

  // True for private, loopback and link-local IPv4; for IPv6 link-local, unique local, ::1,
  // IPv4-mapped local addresses and addresses in the /64 of an entry of `ownV6`. Host names,
  // zoned texts and anything else that is not a plain numeric address are not local: pass
  // texts normalised by `address`.
  static bool isLocal(std::string_view host, const std::vector<Bytes>& ownV6);

  // False without a path; true when it uses Wi-Fi, wired Ethernet or loopback.
  static bool onLocalInterface(const std::optional<Path>& path);

  // The path of a connection whose own (local) end has the address `localAddress` (numeric,
  // an optional "%" zone naming the interface): the kinds of the interfaces that hold that
  // address. 127.0.0.0/8 and ::1 are always on loopback. Absent when `localAddress` is not a
  // numeric address.
  static std::optional<Path> pathOf(std::string_view localAddress,
                                    const std::vector<Interface>& interfaces);

  // The comparable host text of a host-and-port endpoint: without a "%" zone, without a
  // leading "::ffff:", in lower case. Absent for no endpoint or another kind of endpoint.
  static std::optional<std::string> address(const std::optional<Endpoint>& endpoint);

  // A ".local" name of at most 253 characters whose other characters are Unicode letters,
  // numbers, "-" or ".", or else a numeric address that `isLocal` accepts against `ownV6`.
  // Decided on the lower-cased name; text that is not UTF-8 is never acceptable.
  static bool acceptableHostName(std::string_view name, const std::vector<Bytes>& ownV6);
};

}  // namespace lumenbrook
