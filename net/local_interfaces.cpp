#include "net/local_interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace lumenbrook {
namespace {

namespace fs = std::filesystem;
using Interface = LocalNetwork::Interface;

bool pathExists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

int readHardwareType(const fs::path& dir) {
  std::ifstream in(dir / "type");
  int type = -1;
  if (!(in >> type)) return -1;
  return type;
}

std::string readDevType(const fs::path& dir) {
  std::ifstream in(dir / "uevent");
  std::string line;
  constexpr std::string_view key = "DEVTYPE=";
  while (std::getline(in, line)) {
    if (line.starts_with(key)) return line.substr(key.size());
  }
  return {};
}

LocalNetwork::InterfaceFacts readFacts(const std::string& name, unsigned flags) {
  LocalNetwork::InterfaceFacts f;
  f.loopbackFlag = (flags & IFF_LOOPBACK) != 0;
  // Kernel interface names never hold "/", but the name still becomes a path: refuse to look
  // anywhere but one entry of /sys/class/net.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    return f;
  }
  fs::path dir = fs::path("/sys/class/net") / name;
  f.hardwareType = readHardwareType(dir);
  f.hasDevice = pathExists(dir / "device");
  f.wireless = pathExists(dir / "wireless") || pathExists(dir / "phy80211");
  f.devType = readDevType(dir);
  f.bridge = pathExists(dir / "bridge");
  f.tunTap = pathExists(dir / "tun_flags");
  return f;
}

struct IfaddrsDeleter {
  void operator()(ifaddrs* p) const { freeifaddrs(p); }
};

}  // namespace

std::vector<Interface> localInterfaces() {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return {};
  std::unique_ptr<ifaddrs, IfaddrsDeleter> list(raw);

  std::vector<Interface> out;
  for (const ifaddrs* a = list.get(); a != nullptr; a = a->ifa_next) {
    if (a->ifa_name == nullptr) continue;
    std::string name(a->ifa_name);
    auto it =
        std::find_if(out.begin(), out.end(), [&](const Interface& i) { return i.name == name; });
    if (it == out.end()) {
      out.push_back(Interface{name, LocalNetwork::classify(readFacts(name, a->ifa_flags)), {}});
      it = out.end() - 1;
    }
    if (a->ifa_addr == nullptr) continue;
    if (a->ifa_addr->sa_family == AF_INET) {
      const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
      const auto* p = reinterpret_cast<const std::uint8_t*>(&sin->sin_addr);
      it->addresses.emplace_back(p, p + 4);
    } else if (a->ifa_addr->sa_family == AF_INET6) {
      const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
      const auto* p = reinterpret_cast<const std::uint8_t*>(&sin6->sin6_addr);
      it->addresses.emplace_back(p, p + 16);
    }
  }
  return out;
}

}  // namespace lumenbrook
