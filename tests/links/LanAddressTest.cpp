#include <gtest/gtest.h>
#include <net/if.h>

#include <string>
#include <vector>

#include "links/DefaultRoutes.hpp"
#include "links/LanAddress.hpp"
#include "links/PairingUri.hpp"
#include "settings/SiteLinks.hpp"

namespace lumenrail {
namespace {

using LanAddress::Candidate;
using LanAddress::InterfaceAddress;

constexpr uint32_t kUsable = IFF_UP | IFF_RUNNING;

InterfaceAddress entry(const std::string& name, std::array<uint8_t, 4> ip, uint32_t flags = kUsable) {
  return {name, flags, ip};
}

std::vector<std::string> ips(const std::vector<Candidate>& list) {
  std::vector<std::string> out;
  for (const auto& c : list) out.push_back(c.ip + "@" + c.interfaceName);
  return out;
}

// --- Default routes ------------------------------------------------------------------

TEST(DefaultRoutesTest, ParsesTheKernelTable) {
  const std::string table =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
      "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
      "eth0\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
      "eth0\t0000000A\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
      "wg0\t00000000\t00000000\t0001\t0\t0\t50\t00000080\t0\t0\t0\n"     // half of the space: not default
      "eth1\t00000000\t0100000A\t0002\t0\t0\t10\t00000000\t0\t0\t0\n"    // not up
      "garbage line\n"
      "tun0\t00000000\t00000000\t0001\t0\t0\tx\t00000000\t0\t0\t0\n"     // bad metric
      "ppp0\t00000000\t00000000\t0001\t0\t0\t100\t00000000\t0\t0\t0";   // no gateway, no newline
  const std::vector<DefaultRoutes::Route> expected = {{"wlan0", 600}, {"eth0", 100}, {"ppp0", 100}};
  const auto routes = DefaultRoutes::parse(table);
  EXPECT_EQ(routes, expected);
  EXPECT_EQ(DefaultRoutes::primaryInterface(routes), "eth0");  // lowest metric, first on a tie
  EXPECT_EQ(DefaultRoutes::primaryInterface({}), std::nullopt);
  EXPECT_TRUE(DefaultRoutes::parse("").empty());
  EXPECT_TRUE(DefaultRoutes::parse(table.substr(0, table.find('\n'))).empty());
}

// --- Candidate ranking -----------------------------------------------------------------

TEST(LanAddressTest, UnusableAddressesAreLeftOut) {
  const std::vector<InterfaceAddress> entries = {
      entry("lo", {127, 0, 0, 1}, kUsable | IFF_LOOPBACK),
      entry("eth0", {127, 1, 2, 3}),
      entry("eth0", {169, 254, 10, 1}),
      entry("ppp0", {10, 64, 0, 2}, kUsable | IFF_POINTOPOINT),
      entry("eth1", {192, 168, 5, 5}, IFF_UP),       // not running
      entry("eth2", {192, 168, 6, 6}, IFF_RUNNING),  // not up
  };
  EXPECT_TRUE(LanAddress::rank(entries, "eth0", {}).empty());
}

TEST(LanAddressTest, PrimaryThenPhysicalThenPrivateThenListOrder) {
  const std::vector<InterfaceAddress> entries = {
      entry("docker0", {172, 17, 0, 1}),
      entry("bridge100", {192, 168, 64, 1}),
      entry("eth0", {192, 168, 1, 20}),
      entry("veth12ab", {10, 9, 9, 9}),
      entry("wlan0", {203, 0, 113, 5}),
      entry("eth1", {8, 8, 4, 4}),
      entry("wg0", {10, 2, 0, 1}),
      entry("eth1", {172, 31, 255, 1}),
      entry("eth1", {172, 32, 0, 1}),  // just outside 172.16/12
  };
  const std::map<std::string, std::string> names = {{"wlan0", "Wi-Fi"}, {"eth0", "Ethernet"}};
  // The public address on the primary Wi-Fi comes first; then physical private,
  // physical public, and the virtual ones last.
  EXPECT_EQ(ips(LanAddress::rank(entries, "wlan0", names)),
            (std::vector<std::string>{"203.0.113.5@wlan0", "192.168.1.20@eth0", "172.31.255.1@eth1",
                                      "8.8.4.4@eth1", "172.32.0.1@eth1", "172.17.0.1@docker0",
                                      "192.168.64.1@bridge100", "10.9.9.9@veth12ab", "10.2.0.1@wg0"}));
  const auto ranked = LanAddress::rank(entries, "wlan0", names);
  EXPECT_EQ(ranked[0], (Candidate{"203.0.113.5", "wlan0", "Wi-Fi", true}));
  EXPECT_EQ(ranked[1], (Candidate{"192.168.1.20", "eth0", "Ethernet", false}));
  EXPECT_EQ(ranked[2], (Candidate{"172.31.255.1", "eth1", "eth1", false}));

  // Without a primary interface the same classes apply to everyone.
  EXPECT_EQ(ips(LanAddress::rank(entries, std::nullopt, {})).front(), "192.168.1.20@eth0");
}

TEST(LanAddressTest, VirtualPrefixes) {
  for (const char* name : {"awdl0", "llw0", "utun3", "ipsec0", "ppp0", "bridge100", "vmenet0", "vnic0", "gif0",
                           "stf0", "anpi0", "ap1", "apple0", "docker0", "veth1a2b", "br-5f3c", "virbr0", "tun0",
                           "tap3", "wg0"}) {
    EXPECT_TRUE(LanAddress::isVirtual(name)) << name;
  }
  for (const char* name : {"en0", "eth0", "wlan0", "enp3s0", "wlp2s0", "br0", "lo", "bond0"}) {
    EXPECT_FALSE(LanAddress::isVirtual(name)) << name;
  }
}

TEST(LanAddressTest, TheRunningSystemNeverOffersLoopback) {
  for (const auto& c : LanAddress::candidates()) {
    EXPECT_FALSE(c.ip.starts_with("127.")) << c.ip;
    EXPECT_FALSE(c.ip.starts_with("169.254.")) << c.ip;
  }
  EXPECT_EQ(LanAddress::pickIPv4().has_value(), !LanAddress::candidates().empty());
}

// --- Pairing link --------------------------------------------------------------------

TEST(PairingUriTest, LinkLayout) {
  const std::string root = "https://" + PairingUri::webHost() + "/";
  EXPECT_EQ(root, SiteLinks::root);
  EXPECT_EQ(PairingUri::format("192.168.1.20", 27184, std::nullopt),
            root + "pair?v=1&h=192.168.1.20&p=27184");
  EXPECT_EQ(PairingUri::format("10.0.0.2", 1, Bytes{}), root + "pair?v=1&h=10.0.0.2&p=1");
  EXPECT_EQ(PairingUri::format("10.0.0.2", 65535, Bytes{0xFB, 0xFF}), root + "pair?v=1&h=10.0.0.2&p=65535#k=-_8");
}

TEST(PairingUriTest, HostIsFormEncoded) {
  EXPECT_EQ(PairingUri::urlEncode("fe80::1%en0"), "fe80%3A%3A1%25en0");
  EXPECT_EQ(PairingUri::urlEncode("my host"), "my+host");
  EXPECT_EQ(PairingUri::urlEncode("a*-._~+/?#&="), "a*-._%7E%2B%2F%3F%23%26%3D");
  EXPECT_EQ(PairingUri::urlEncode("\xC3\xA9"), "%C3%A9");
  EXPECT_EQ(PairingUri::urlEncode(std::string("\0\x7F\xFF", 3)), "%00%7F%FF");
}

TEST(PairingUriTest, KeyIsBase64UrlWithoutPadding) {
  Bytes key(24);
  for (size_t i = 0; i < key.size(); ++i) key[i] = uint8_t(0xF8 + i);  // 0xF8 ... 0x0F, wrapping
  const std::string link = PairingUri::format("h", 2, key);
  const std::string k = link.substr(link.find("#k=") + 3);
  EXPECT_EQ(k, "-Pn6-_z9_v8AAQIDBAUGBwgJCgsMDQ4P");
  EXPECT_EQ(k.size(), 32u);
  EXPECT_EQ(PairingUri::format("h", 2, Bytes{0x00}).substr(PairingUri::format("h", 2, Bytes{0x00}).find('#')),
            "#k=AA");
}

}  // namespace
}  // namespace lumenrail
