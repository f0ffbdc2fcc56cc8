#include <gtest/gtest.h>

#include <stdexcept>

#include "secure/WifiKeySchedule.hpp"
#include "support/HexBytes.hpp"

namespace lumenrail {
namespace {

using test::fromHex;
using test::toHex;
using WifiKeySchedule::Flavor;
using WifiKeySchedule::Role;

Bytes counting(uint8_t from, size_t n) {
  Bytes out;
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(from + i));
  return out;
}

// Expected keys were computed with an independent HKDF implementation
// (python3-cryptography) from the labels, never by this code.
struct Vector {
  bool fromRoot;
  Flavor flavor;
  const char* c2h;
  const char* h2c;
};

const Vector kVectors[] = {
    {false, Flavor::qrPsk, "241baf3db02f3b87358856259dbd9aafb6ffdba8ff333fbf16ffd5cab4f04a84",
     "74b7590b7b06926486d23e67efd6fb920170c846462060f39d3b16758b2b2977"},
    {false, Flavor::paired, "8147089c01a32faacefa67e13a77cba2fb58c4835de76dd99d1c29aa07138749",
     "9a56c523f47e71d2b5e90121b58df58efbfee34dc9a65715951ab4ffb911e548"},
    {true, Flavor::paired, "565803f7ee0fd0de332b404a67565be3beabd10f97f5938aef035a793197a67c",
     "6c0af0779f9fb2055234433b064844d9cbff52cc16000a3aa4d71dbeaa0ff932"},
    // The flavour alone picks the salt, whichever input is used.
    {true, Flavor::qrPsk, "5ddadc8a8b45b6a5a24c27ebd72bc036033d56013ab140d1c30c842571776006",
     "26afa6b3df3c2ec97260ae38e1d9159a68ebe6d4916e6fb4c684d46dc4756d0f"},
};

WifiKeySchedule::Keys derived(const Vector& v, Role role) {
  if (v.fromRoot) return WifiKeySchedule::derive(SymmetricKey(counting(0x40, 32)), role, v.flavor);
  return WifiKeySchedule::derive(ByteView(counting(0, 24)), role, v.flavor);
}

TEST(WifiKeySchedule, DerivesIndependentlyComputedKeys) {
  for (const auto& v : kVectors) {
    const auto host = derived(v, Role::host);
    EXPECT_EQ(toHex(host.sendKey.bytes()), v.h2c);
    EXPECT_EQ(toHex(host.recvKey.bytes()), v.c2h);
    const auto client = derived(v, Role::client);
    EXPECT_EQ(toHex(client.sendKey.bytes()), v.c2h);
    EXPECT_EQ(toHex(client.recvKey.bytes()), v.h2c);
  }
}

TEST(WifiKeySchedule, RolesMirrorAndFlavoursDiffer) {
  const Bytes psk = WifiKeySchedule::randomPsk(WifiKeySchedule::pskBytes);
  const auto host = WifiKeySchedule::derive(ByteView(psk), Role::host, Flavor::qrPsk);
  const auto client = WifiKeySchedule::derive(ByteView(psk), Role::client, Flavor::qrPsk);
  EXPECT_EQ(host.sendKey, client.recvKey);
  EXPECT_EQ(host.recvKey, client.sendKey);
  EXPECT_NE(host.sendKey, host.recvKey);
  EXPECT_EQ(host.sendKey.size(), static_cast<size_t>(WifiKeySchedule::keyLen));
  const auto paired = WifiKeySchedule::derive(ByteView(psk), Role::host, Flavor::paired);
  EXPECT_NE(paired.sendKey, host.sendKey);
  EXPECT_NE(paired.recvKey, host.recvKey);
  // Same key, same keys: nothing per connection enters the pre-shared flavour.
  EXPECT_EQ(WifiKeySchedule::derive(ByteView(psk), Role::host, Flavor::qrPsk), host);
}

TEST(WifiKeySchedule, RefusesAnEmptyKey) {
  EXPECT_THROW(WifiKeySchedule::derive(ByteView(), Role::host, Flavor::qrPsk), std::invalid_argument);
  EXPECT_THROW(WifiKeySchedule::derive(SymmetricKey(), Role::host, Flavor::paired), std::invalid_argument);
}

TEST(WifiKeySchedule, RandomPskIsFreshEachTime) {
  const Bytes a = WifiKeySchedule::randomPsk(24);
  const Bytes b = WifiKeySchedule::randomPsk(24);
  EXPECT_EQ(a.size(), 24u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(WifiKeySchedule::randomPsk(0).empty());
}

TEST(WifiKeyScheduleDeathTest, NegativeCountStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(WifiKeySchedule::randomPsk(-1), "randomPsk asked for -1 bytes");
}

}  // namespace
}  // namespace lumenrail
