#include <gtest/gtest.h>

#include <vector>

#include "links/aoa/aoa_policy.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool burst(const Bytes& b) { return aoa_is_connect_burst(b.data(), b.size()); }

TEST(AoaConnectBurst, RequestHelloAloneOrWithWholePacketsPasses) {
  EXPECT_TRUE(burst({0x07, 0, 0, 0, 0}));
  // requestHello, then ClientCaps (4-byte payload), then an empty packet.
  EXPECT_TRUE(burst({0x07, 0, 0, 0, 0, 0x15, 4, 0, 0, 0, 1, 2, 3, 4, 0x12, 0, 0, 0, 0}));
}

TEST(AoaConnectBurst, AnythingElseIsDiscarded) {
  EXPECT_FALSE(burst({}));
  EXPECT_FALSE(burst({0x07, 0, 0, 0}));                    // under one header
  EXPECT_FALSE(burst({0x07, 1, 0, 0, 0, 9}));              // requestHello with a payload
  EXPECT_FALSE(burst({0x09, 0, 0, 0, 0}));                 // another first packet
  EXPECT_FALSE(burst({0x07, 0, 0, 0, 0, 0x15, 4, 0, 0}));  // trailing partial header
  EXPECT_FALSE(burst({0x07, 0, 0, 0, 0, 0x15, 4, 0, 0, 0, 1, 2}));  // trailing partial payload
  // A following packet that claims 65537 bytes fails before its length is trusted.
  EXPECT_FALSE(burst({0x07, 0, 0, 0, 0, 0x10, 0x01, 0x00, 0x01, 0x00}));
}

TEST(AoaConnectBurst, PayloadOfExactly64KiBIsAccepted) {
  Bytes b{0x07, 0, 0, 0, 0, 0x10, 0x00, 0x00, 0x01, 0x00};
  b.resize(b.size() + 65536, 0xAA);
  EXPECT_TRUE(burst(b));
  b.push_back(0);
  EXPECT_FALSE(burst(b));
}

TEST(AoaLoneBye, ExactlyOneShortByeEndsTheSession) {
  int reason = -1;
  const Bytes empty{0x09, 0, 0, 0, 0};
  EXPECT_TRUE(aoa_is_lone_bye(empty.data(), empty.size(), &reason));
  EXPECT_EQ(reason, 0);
  const Bytes withReason{0x09, 1, 0, 0, 0, 3};
  EXPECT_TRUE(aoa_is_lone_bye(withReason.data(), withReason.size(), &reason));
  EXPECT_EQ(reason, 3);
  const Bytes four{0x09, 4, 0, 0, 0, 7, 0, 0, 0};
  EXPECT_TRUE(aoa_is_lone_bye(four.data(), four.size(), &reason));
  EXPECT_EQ(reason, 7);
}

TEST(AoaLoneBye, ByeTogetherWithOtherBytesIsData) {
  const Bytes followed{0x09, 0, 0, 0, 0, 0x05, 0, 0, 0, 0};
  EXPECT_FALSE(aoa_is_lone_bye(followed.data(), followed.size(), nullptr));
  const Bytes preceded{0x05, 0, 0, 0, 0, 0x09, 0, 0, 0, 0};
  EXPECT_FALSE(aoa_is_lone_bye(preceded.data(), preceded.size(), nullptr));
  const Bytes longPayload{0x09, 5, 0, 0, 0, 1, 2, 3, 4, 5};
  EXPECT_FALSE(aoa_is_lone_bye(longPayload.data(), longPayload.size(), nullptr));
  const Bytes truncated{0x09, 2, 0, 0, 0, 1};
  EXPECT_FALSE(aoa_is_lone_bye(truncated.data(), truncated.size(), nullptr));
  const Bytes other{0x07, 0, 0, 0, 0};
  EXPECT_FALSE(aoa_is_lone_bye(other.data(), other.size(), nullptr));
}

TEST(AoaZeroLengthPacket, OnlyShortChunksEndingOnAPacketBoundary) {
  EXPECT_TRUE(aoa_needs_zero_packet(1024, 512));
  EXPECT_TRUE(aoa_needs_zero_packet(512, 512));
  EXPECT_TRUE(aoa_needs_zero_packet(64, 64));
  EXPECT_FALSE(aoa_needs_zero_packet(16384, 512));  // a full chunk: the phone's read is full too
  EXPECT_FALSE(aoa_needs_zero_packet(1000, 512));
  EXPECT_FALSE(aoa_needs_zero_packet(0, 512));
  EXPECT_TRUE(aoa_needs_zero_packet(1536, 0));  // an unknown packet size counts as 512
}

TEST(AoaMatchers, AccessoryIdsAndPhonesInOrdinaryMode) {
  for (uint16_t p = 0x2D00; p <= 0x2D05; ++p) EXPECT_TRUE(aoa_match_accessory(0x18D1, p)) << p;
  EXPECT_FALSE(aoa_match_accessory(0x18D1, 0x2D06));
  EXPECT_FALSE(aoa_match_accessory(0x18D1, 0x4EE7));
  EXPECT_FALSE(aoa_match_accessory(0x04E8, 0x2D00));

  EXPECT_TRUE(aoa_match_normal_phone(0x18D1, 0x4EE7, nullptr));
  EXPECT_FALSE(aoa_match_normal_phone(0x18D1, 0x2D01, nullptr));
  EXPECT_TRUE(aoa_match_normal_phone(0x04E8, 0x6860, nullptr));
  EXPECT_FALSE(aoa_match_normal_phone(0x1234, 0x0001, nullptr));
  aoa_options filtered{};
  filtered.vendor_id = 0x1234;
  EXPECT_TRUE(aoa_match_normal_phone(0x1234, 0x0001, &filtered));
}

TEST(AoaDeviceTable, FourSecondWindow) {
  aoa_table t{};
  EXPECT_FALSE(aoa_table_recent(&t, 1, 5, 10'000));
  aoa_table_put(&t, 1, 5, 10'000);
  EXPECT_TRUE(aoa_table_recent(&t, 1, 5, 10'000));
  EXPECT_TRUE(aoa_table_recent(&t, 1, 5, 13'999));
  EXPECT_FALSE(aoa_table_recent(&t, 1, 5, 14'000));
  EXPECT_FALSE(aoa_table_recent(&t, 1, 6, 10'000));
  EXPECT_FALSE(aoa_table_recent(&t, 2, 5, 10'000));
  EXPECT_TRUE(aoa_table_recent(&t, 1, 5, 9'000));  // a clock reading earlier is no time passed
  aoa_table_put(&t, 1, 5, 14'000);                 // the same device is stamped again in place
  EXPECT_TRUE(aoa_table_recent(&t, 1, 5, 17'999));
  int used = 0;
  for (auto& e : t.entries) used += e.used;
  EXPECT_EQ(used, 1);
  aoa_table_remove(&t, 1, 5);
  EXPECT_FALSE(aoa_table_contains(&t, 1, 5));
}

TEST(AoaDeviceTable, FullTableReplacesTheOldestEntry) {
  aoa_table t{};
  for (uint8_t a = 1; a <= 8; ++a) aoa_table_put(&t, 1, a, 100u + (a == 3 ? 0u : 50u * a));
  aoa_table_put(&t, 2, 9, 5000);
  EXPECT_FALSE(aoa_table_contains(&t, 1, 3));
  EXPECT_TRUE(aoa_table_contains(&t, 2, 9));
  for (uint8_t a : {1, 2, 4, 5, 6, 7, 8}) EXPECT_TRUE(aoa_table_contains(&t, 1, a)) << int(a);
}

aoa_pump_outcome outcome() { return aoa_pump_outcome{}; }

TEST(AoaPumpResult, FirstRuleThatHoldsDecides) {
  auto o = outcome();
  EXPECT_EQ(aoa_pump_result(&o), AOA_PHONE_SILENT);  // socket closed, phone never spoke
  o.stop_requested = true;
  EXPECT_EQ(aoa_pump_result(&o), AOA_CLEAN_END);
  o = outcome();
  o.upstream = 10;
  EXPECT_EQ(aoa_pump_result(&o), AOA_CLEAN_END);

  o = outcome();
  o.client_bye = true;
  o.stalled = true;
  EXPECT_EQ(aoa_pump_result(&o), AOA_CLIENT_DECLINED);
  o.stop_requested = true;  // a requested stop outranks the Bye
  EXPECT_EQ(aoa_pump_result(&o), AOA_PHONE_STOPPED_READING);

  o = outcome();
  o.first_read_timed_out = true;
  o.stalled = true;
  EXPECT_EQ(aoa_pump_result(&o), AOA_PHONE_SILENT);
  o.upstream = 1;
  EXPECT_EQ(aoa_pump_result(&o), AOA_NEVER_READ);

  o = outcome();
  o.usb_error = true;
  o.upstream = 1;
  EXPECT_EQ(aoa_pump_result(&o), AOA_USB_ERROR);
  o.drained = 16384;
  EXPECT_EQ(aoa_pump_result(&o), AOA_DESYNC);
}

TEST(AoaResultName, FixedTexts) {
  EXPECT_STREQ(aoa_result_name(-4), "phone stopped reading (client app gone)");
  EXPECT_STREQ(aoa_result_name(-3), "USB error");
  EXPECT_STREQ(aoa_result_name(-2), "phone never read (cable un-armed)");
  EXPECT_STREQ(aoa_result_name(-1), "bulk-OUT desync mid-stream");
  EXPECT_STREQ(aoa_result_name(0), "clean end");
  EXPECT_STREQ(aoa_result_name(1), "client is not taking the cable");
  EXPECT_STREQ(aoa_result_name(2), "the phone never spoke (no client on this cable)");
  EXPECT_STREQ(aoa_result_name(3), "unknown");
  EXPECT_STREQ(aoa_result_name(-5), "unknown");
}

}  // namespace
