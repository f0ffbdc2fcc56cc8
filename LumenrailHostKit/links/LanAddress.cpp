#include "links/LanAddress.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "links/DefaultRoutes.hpp"

namespace lumenrail::LanAddress {

namespace {

bool isPrivate(const std::array<uint8_t, 4>& a) {
  return a[0] == 10 || (a[0] == 172 && (a[1] & 0xF0) == 16) || (a[0] == 192 && a[1] == 168);
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Linux has no localised interface names; wireless and wired hardware get the
// words a user recognises, everything else keeps its kernel name.
std::map<std::string, std::string> interfaceDisplayNames(const std::vector<InterfaceAddress>& entries) {
  std::map<std::string, std::string> names;
  for (const auto& e : entries) {
    if (names.count(e.interfaceName) || e.interfaceName.find('/') != std::string::npos) continue;
    const std::string sys = "/sys/class/net/" + e.interfaceName;
    if (exists(sys + "/wireless") || exists(sys + "/phy80211")) {
      names[e.interfaceName] = "Wi-Fi";
      continue;
    }
    std::ifstream type(sys + "/type");
    int arpType = -1;
    if (exists(sys + "/device") && (type >> arpType) && arpType == ARPHRD_ETHER) names[e.interfaceName] = "Ethernet";
  }
  return names;
}

std::vector<InterfaceAddress> readInterfaceAddresses(bool& ok) {
  std::vector<InterfaceAddress> out;
  ifaddrs* list = nullptr;
  ok = ::getifaddrs(&list) == 0;
  if (!ok) return out;
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_name || !it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
    InterfaceAddress e;
    e.interfaceName = it->ifa_name;
    e.flags = it->ifa_flags;
    const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
    std::copy_n(reinterpret_cast<const uint8_t*>(&in->sin_addr), 4, e.ipv4.begin());
    out.push_back(std::move(e));
  }
  ::freeifaddrs(list);
  return out;
}

}  // namespace

bool isVirtual(std::string_view interfaceName) {
  return std::any_of(virtualPrefixes.begin(), virtualPrefixes.end(),
                     [&](std::string_view p) { return interfaceName.starts_with(p); });
}

std::vector<Candidate> rank(const std::vector<InterfaceAddress>& entries, const std::optional<std::string>& primary,
                            const std::map<std::string, std::string>& displayNames) {
  std::vector<std::pair<int64_t, Candidate>> scored;
  int64_t number = 0;
  for (const auto& e : entries) {
    if (!(e.flags & IFF_UP) || !(e.flags & IFF_RUNNING) || (e.flags & IFF_LOOPBACK) || (e.flags & IFF_POINTOPOINT)) {
      continue;
    }
    if (e.ipv4[0] == 127 || (e.ipv4[0] == 169 && e.ipv4[1] == 254)) continue;
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, e.ipv4.data(), text, sizeof text)) continue;
    ++number;
    const bool isPrimaryInterface = primary && *primary == e.interfaceName;
    int64_t score = number;
    if (!isPrimaryInterface) score += 100000;
    if (isVirtual(e.interfaceName)) score += 20000;
    if (!isPrivate(e.ipv4)) score += 5000;
    const auto name = displayNames.find(e.interfaceName);
    scored.emplace_back(score, Candidate{text, e.interfaceName,
                                         name != displayNames.end() ? name->second : e.interfaceName,
                                         isPrimaryInterface});
  }
  std::sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Candidate> out;
  out.reserve(scored.size());
  for (auto& s : scored) out.push_back(std::move(s.second));
  return out;
}

std::vector<Candidate> candidates() {
  bool ok = false;
  const auto entries = readInterfaceAddresses(ok);
  if (!ok) return {};
  return rank(entries, DefaultRoutes::primaryInterface(DefaultRoutes::read()), interfaceDisplayNames(entries));
}

std::optional<std::string> pickIPv4() {
  const auto list = candidates();
  if (list.empty()) return std::nullopt;
  return list.front().ip;
}

}  // namespace lumenrail::LanAddress
