#include "core/security/local_network.h"

#include <gtest/gtest.h>

#include <string>

#include "test_identities.h"

namespace lumenbrook {
namespace {

using fixtures::hex;
using Kind = LocalNetwork::InterfaceKind;

TEST(LocalNetwork, IsLocalJudgesAddressesByTheirBytes) {
  const std::vector<Bytes> ownV6{hex("20010db8000000000000000000000005")};
  struct Case {
    std::string_view host;
    bool local;
  } cases[] = {
      {"10.1.2.3", true},
      {"127.0.0.1", true},
      {"169.254.9.9", true},
      {"172.16.0.1", true},
      {"172.31.255.1", true},
      {"192.168.0.1", true},
      {"172.15.255.255", false},
      {"172.32.0.1", false},
      {"100.64.0.1", false},
      {"8.8.8.8", false},
      {"192.169.0.1", false},
      {"169.253.0.1", false},
      {"0.0.0.0", false},
      {"255.255.255.255", false},
      {"11.0.0.1", false},
      {"fe80::1", true},
      {"FE80::1", true},
      {"febf::1", true},
      {"fec0::1", false},
      {"fc00::1", true},
      {"fd12::1", true},
      {"fbff::1", false},
      {"::1", true},
      {"::", false},
      {"::2", false},
      {"::ffff:192.168.1.5", true},
      {"::ffff:8.8.8.8", false},
      {"::ffff:c0a8:105", true},
      {"::10.0.0.1", false},
      {"2001:db8::1", true},
      {"2001:db8::ffff:1", true},
      {"2001:db8:0:1::1", false},
      {"2001:db9::1", false},
      {"mac.local", false},
      {"fe80::1%en0", false},
      {"", false},
      {"10.1.2", false},
      {"10.1.2.3.4", false},
      {" 10.1.2.3", false},
      {std::string_view("10.1.2.3\0x", 10), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LocalNetwork::isLocal(c.host, ownV6), c.local) << c.host;
  }
  EXPECT_FALSE(LocalNetwork::isLocal("2001:db8::1", {}));
  // An entry shorter than a /64 prefix never matches, even the bytes it has.
  EXPECT_FALSE(LocalNetwork::isLocal("2001:db8::1", {hex("20010db8")}));
}

TEST(LocalNetwork, ClassifiesOnlyPhysicalEthernetAndWifiAsLan) {
  using Facts = LocalNetwork::InterfaceFacts;
  struct Case {
    const char* what;
    Facts facts;
    Kind kind;
  } cases[] = {
      {"lo by flag", {.loopbackFlag = true, .hardwareType = 772}, Kind::loopback},
      {"lo by type", {.hardwareType = 772}, Kind::loopback},
      {"PCI Ethernet", {.hardwareType = 1, .hasDevice = true}, Kind::wiredEthernet},
      {"Wi-Fi",
       {.hardwareType = 1, .hasDevice = true, .wireless = true, .devType = "wlan"},
       Kind::wifi},
      {"Wi-Fi by DEVTYPE", {.hardwareType = 1, .hasDevice = true, .devType = "wlan"}, Kind::wifi},
      {"veth or docker0", {.hardwareType = 1}, Kind::other},
      {"virtual Wi-Fi without device", {.hardwareType = 1, .wireless = true}, Kind::other},
      {"bridge",
       {.hardwareType = 1, .hasDevice = true, .devType = "bridge", .bridge = true},
       Kind::other},
      {"tap", {.hardwareType = 1, .hasDevice = true, .tunTap = true}, Kind::other},
      {"tun", {.hardwareType = 65534, .tunTap = true}, Kind::other},
      {"cellular modem", {.hardwareType = 1, .hasDevice = true, .devType = "wwan"}, Kind::other},
      {"USB gadget", {.hardwareType = 1, .hasDevice = true, .devType = "gadget"}, Kind::other},
      {"IPv6-in-IPv4 tunnel", {.hardwareType = 776, .hasDevice = true}, Kind::other},
      {"unreadable", {}, Kind::other},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LocalNetwork::classify(c.facts), c.kind) << c.what;
  }
}

std::vector<LocalNetwork::Interface> sampleInterfaces() {
  return {
      {"lo", Kind::loopback, {hex("7f000001"), hex("00000000000000000000000000000001")}},
      {"enp3s0",
       Kind::wiredEthernet,
       {hex("c0a80114"), hex("fe800000000000000000000000000001"),
        hex("20010db8000000000000000000000005")}},
      {"docker0", Kind::other, {hex("ac110001"), hex("fe800000000000000000000000000002")}},
      {"wlp2s0",
       Kind::wifi,
       {hex("fe800000000000000000000000000001"), hex("fd000000000000000000000000000009")}},
      {"tun0", Kind::other, {hex("fd000000000000000000000000000010")}},
  };
}

TEST(LocalNetwork, OwnIPv6KeepsTheLanInterfacesInOrder) {
  EXPECT_EQ(LocalNetwork::ownIPv6(sampleInterfaces()),
            (std::vector<Bytes>{
                hex("fe800000000000000000000000000001"), hex("20010db8000000000000000000000005"),
                hex("fe800000000000000000000000000001"), hex("fd000000000000000000000000000009")}));
  EXPECT_TRUE(LocalNetwork::ownIPv6({}).empty());
}

TEST(LocalNetwork, PathsOverLanOrLoopbackAreLocal) {
  const auto interfaces = sampleInterfaces();
  using Path = LocalNetwork::Path;
  struct Case {
    std::string_view localAddress;
    std::optional<Path> path;
    bool local;
  } cases[] = {
      {"127.0.0.1", Path{{Kind::loopback}}, true},
      {"127.0.0.5", Path{{Kind::loopback}}, true},
      {"::1", Path{{Kind::loopback}}, true},
      {"192.168.1.20", Path{{Kind::wiredEthernet}}, true},
      {"::ffff:192.168.1.20", Path{{Kind::wiredEthernet}}, true},
      {"fe80::1", Path{{Kind::wiredEthernet, Kind::wifi}}, true},
      {"fe80::1%wlp2s0", Path{{Kind::wifi}}, true},
      {"fe80::1%3", Path{{Kind::wiredEthernet, Kind::wifi}}, true},
      {"fe80::2%docker0", Path{{Kind::other}}, false},
      {"172.17.0.1", Path{{Kind::other}}, false},
      {"fd00::10", Path{{Kind::other}}, false},
      {"10.9.9.9", Path{}, false},
      {"fe80::1%eth9", Path{}, false},
      {"mac.local", std::nullopt, false},
  };
  for (const auto& c : cases) {
    auto path = LocalNetwork::pathOf(c.localAddress, interfaces);
    EXPECT_EQ(path, c.path) << c.localAddress;
    EXPECT_EQ(LocalNetwork::onLocalInterface(path), c.local) << c.localAddress;
  }
  EXPECT_FALSE(LocalNetwork::onLocalInterface(std::nullopt));
  EXPECT_TRUE(LocalNetwork::onLocalInterface(Path{{Kind::other, Kind::wifi}}));
}

TEST(LocalNetwork, AddressNormalisesHostTexts) {
  using Endpoint = LocalNetwork::Endpoint;
  struct Case {
    std::optional<Endpoint> endpoint;
    std::optional<std::string> text;
  } cases[] = {
      {std::nullopt, std::nullopt},
      {Endpoint{Endpoint::Kind::service, "Studio", 0}, std::nullopt},
      {Endpoint{Endpoint::Kind::unixSocket, "/tmp/sock", 0}, std::nullopt},
      {Endpoint{Endpoint::Kind::url, "x://host", 0}, std::nullopt},
      {Endpoint{Endpoint::Kind::hostPort, "FE80::1%en0", 5000}, "fe80::1"},
      {Endpoint{Endpoint::Kind::hostPort, "fe80::1%", 5000}, "fe80::1"},
      {Endpoint{Endpoint::Kind::hostPort, "::ffff:10.0.0.7", 5000}, "10.0.0.7"},
      {Endpoint{Endpoint::Kind::hostPort, "::FFFF:10.0.0.7", 5000}, "10.0.0.7"},
      {Endpoint{Endpoint::Kind::hostPort, "192.168.1.5", 5000}, "192.168.1.5"},
      {Endpoint{Endpoint::Kind::hostPort, "Studio-Mac.Local", 5000}, "studio-mac.local"},
      {Endpoint{Endpoint::Kind::hostPort, "2001:DB8::1", 5000}, "2001:db8::1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LocalNetwork::address(c.endpoint), c.text)
        << (c.endpoint ? c.endpoint->host : "none");
  }
}

TEST(LocalNetwork, AcceptableHostNamesAreLocalNamesOrLocalAddresses) {
  const std::string label247(247, 'a');  // with ".local": 253 characters
  const std::string accents247 = [] {
    std::string s;
    for (int i = 0; i < 247; ++i) s += "\xC3\xA9";  // U+00E9, one character of two bytes
    return s;
  }();
  struct Case {
    std::string name;
    bool acceptable;
  } cases[] = {
      {"Studio-Mac.local", true},
      {".local", true},
      {"STUDIO-MAC.LOCAL", true},
      {"mac2.sub.local", true},
      {"B\xC3\xBCro.local", true},               // Büro
      {"\xE6\x9D\xB1\xE4\xBA\xAC.local", true},  // 東京
      {"\xE2\x85\xAB.local", true},              // Roman numeral twelve: a number
      {"x\xC2\xB2.local", true},                 // superscript two: a number
      {label247 + ".local", true},
      {label247 + "a.local", false},
      {accents247 + ".local", true},
      {accents247 + "e.local", false},
      {"Studio Mac.local", false},
      {"mac_1.local", false},
      {"mac.local.", false},
      {"mac.localhost", false},
      {"e\xCC\x81.local", false},         // e + combining acute accent
      {"\xF0\x9F\x98\x80.local", false},  // an emoji
      {std::string("mac\0.local", 10), false},
      {"mac\xFF.local", false},  // not UTF-8
      {"example.com", false},
      {"192.168.1.20", true},
      {"fe80::1", true},
      {"FD12::1", true},
      {"8.8.8.8", false},
      {"fe80::1%en0", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LocalNetwork::acceptableHostName(c.name, {}), c.acceptable) << c.name;
  }
  EXPECT_TRUE(
      LocalNetwork::acceptableHostName("2001:db8::9", {hex("20010db8000000000000000000000005")}));
  EXPECT_FALSE(LocalNetwork::acceptableHostName("2001:db8::9", {}));
}

}  // namespace
}  // namespace lumenbrook
