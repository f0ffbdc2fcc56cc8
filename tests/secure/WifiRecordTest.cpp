#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "secure/NonceCounter.hpp"
#include "secure/WifiCryptoError.hpp"
#include "secure/WifiKeySchedule.hpp"
#include "secure/WifiRecord.hpp"
#include "secure/WifiRecordOpener.hpp"
#include "secure/WifiRecordSealer.hpp"
#include "support/HexBytes.hpp"

namespace lumenrail {
namespace {

using test::bytesOf;
using test::fromHex;
using test::toHex;

SymmetricKey countingKey() {
  Bytes k;
  for (int i = 0; i < 32; ++i) k.push_back(static_cast<uint8_t>(i));
  return SymmetricKey(k);
}

template <typename F>
WifiCryptoError caught(F&& f) {
  try {
    f();
  } catch (const WifiCryptoError& e) {
    return e;
  }
  ADD_FAILURE() << "no WifiCryptoError thrown";
  return WifiCryptoError::nonceExhausted();
}

Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes lengthPrefix(uint32_t n) {
  const auto a = WifiRecord::encodeLength(n);
  return Bytes(a.begin(), a.end());
}

// Records under the key 00 01 .. 1f with counters 0, 1, 2, sealed by an
// independent AES-GCM (python3-cryptography).
const char* const kRecord0 = "1900000042c9d8bbdb5ee2d46496ffd2756f4354d528f0c80cc343f5c7";  // "Lumenrail"
const char* const kRecord1 = "10000000367ef8288831557408e102950a16e26a";                    // empty
const char* const kRecord2 =                                                                // 00 01 .. 27
    "38000000c9702c7eb04edcd6b104361a7b4ce583960627c3fabc19b8966448216dc6459bc402dbec02440ec36f8c8a935fa7d3cbb3aa70"
    "0b886fd3b8";

Bytes counting40() {
  Bytes b;
  for (int i = 0; i < 40; ++i) b.push_back(static_cast<uint8_t>(i));
  return b;
}

TEST(NonceCounter, CountsBigEndianAndNeverRepeats) {
  NonceCounter n;
  EXPECT_EQ(toHex(n.next()), "000000000000000000000000");
  EXPECT_EQ(toHex(n.next()), "000000000000000000000001");
  n.counter = 0x0102030405060708;
  EXPECT_EQ(toHex(n.next()), "000000000102030405060708");
  n.counter = UINT64_MAX - 1;
  EXPECT_EQ(toHex(n.next()), "00000000fffffffffffffffe");
  EXPECT_EQ(caught([&] { n.next(); }).kind, WifiCryptoError::Kind::nonceExhausted);
  EXPECT_EQ(n.counter, UINT64_MAX);
  EXPECT_EQ(caught([&] { n.next(); }).kind, WifiCryptoError::Kind::nonceExhausted);
}

TEST(WifiRecordSealer, ProducesIndependentlyComputedRecords) {
  WifiRecordSealer sealer(countingKey());
  EXPECT_EQ(toHex(sealer.seal(bytesOf("Lumenrail"))), kRecord0);
  EXPECT_EQ(toHex(sealer.seal({})), kRecord1);
  EXPECT_EQ(toHex(sealer.seal(counting40())), kRecord2);

  // All-zero key and nonce: published GCM test case 13 behind a prefix.
  WifiRecordSealer zero(SymmetricKey(Bytes(32, 0)));
  EXPECT_EQ(toHex(zero.seal({})), "10000000530f8afbc74536b9a963b4f1c4cb738b");
}

TEST(WifiRecordSealer, BoundsThePlaintextWithoutSpendingANonce) {
  WifiRecordSealer sealer(countingKey());
  const Bytes tooBig(WifiRecord::maxPlaintext + 1, 0);
  const auto error = caught([&] { sealer.seal(tooBig); });
  EXPECT_EQ(error.kind, WifiCryptoError::Kind::oversizePlaintext);
  EXPECT_EQ(error.value, 16777217);
  EXPECT_STREQ(error.what(), "oversizePlaintext(16777217)");
  // The refused attempt used no counter value: this is still record 0.
  EXPECT_EQ(toHex(sealer.seal(bytesOf("Lumenrail"))), kRecord0);

  const Bytes largest(WifiRecord::maxPlaintext, 0xa5);
  const Bytes record = sealer.seal(largest);
  ASSERT_EQ(record.size(), largest.size() + 20);
  EXPECT_EQ(toHex(ByteView(record).first(4)), "10000001");
  WifiRecordOpener opener(countingKey());
  opener.setNonceCounterForTesting(1);
  EXPECT_EQ(opener.push(record), largest);

  WifiRecordOpener sliced(countingKey());
  sliced.setNonceCounterForTesting(1);
  Bytes out;
  for (size_t at = 0; at < record.size(); at += 65536) {
    EXPECT_TRUE(out.empty());
    out = sliced.push(ByteView(record).subspan(at, std::min<size_t>(65536, record.size() - at)));
  }
  EXPECT_EQ(out, largest);
  EXPECT_EQ(sliced.bufferedByteCount(), 0u);
}

TEST(WifiRecordSealer, NonceExhaustionIsAnError) {
  WifiRecordSealer sealer(countingKey());
  sealer.setNonceCounterForTesting(UINT64_MAX - 1);
  const Bytes last = sealer.seal(bytesOf("last"));
  const auto error = caught([&] { sealer.seal(bytesOf("one too many")); });
  EXPECT_EQ(error.kind, WifiCryptoError::Kind::nonceExhausted);
  EXPECT_STREQ(error.what(), "nonceExhausted");

  WifiRecordOpener opener(countingKey());
  opener.setNonceCounterForTesting(UINT64_MAX - 1);
  EXPECT_EQ(opener.push(last), bytesOf("last"));
  // The next record would need the never-used last counter value.
  EXPECT_EQ(caught([&] { opener.push(fromHex(kRecord1)); }).kind, WifiCryptoError::Kind::nonceExhausted);
}

TEST(WifiRecordOpener, ReleasesARecordOnlyWithItsLastByte) {
  WifiRecordOpener opener(countingKey());
  const Bytes stream = joined({fromHex(kRecord0), fromHex(kRecord1), fromHex(kRecord2)});
  const size_t ends[] = {29, 49, stream.size()};
  Bytes out;
  for (size_t i = 0; i < stream.size(); ++i) {
    const Bytes got = opener.push(ByteView(stream).subspan(i, 1));
    if (i + 1 == ends[0]) {
      EXPECT_EQ(got, bytesOf("Lumenrail"));
    } else if (i + 1 == ends[2]) {
      EXPECT_EQ(got, counting40());
    } else {
      EXPECT_TRUE(got.empty()) << "byte " << i;  // the empty record yields nothing visible either
    }
    out.insert(out.end(), got.begin(), got.end());
  }
  EXPECT_EQ(out, joined({bytesOf("Lumenrail"), counting40()}));
  EXPECT_EQ(opener.bufferedByteCount(), 0u);
}

TEST(WifiRecordOpener, AnySlicingOfManyRecordsGivesTheSamePlaintext) {
  WifiRecordSealer sealer(countingKey());
  std::mt19937 rng(7);
  Bytes stream, expected;
  for (int i = 0; i < 300; ++i) {
    Bytes plain(rng() % (i % 50 == 0 ? 20000 : 40));
    for (auto& b : plain) b = static_cast<uint8_t>(rng());
    const Bytes record = sealer.seal(plain);
    stream.insert(stream.end(), record.begin(), record.end());
    expected.insert(expected.end(), plain.begin(), plain.end());
  }
  for (size_t maxSlice : {size_t{3}, size_t{21}, size_t{1000}, size_t{70000}, stream.size()}) {
    WifiRecordOpener opener(countingKey());
    Bytes out;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min(stream.size() - at, 1 + rng() % maxSlice);
      const Bytes got = opener.push(ByteView(stream).subspan(at, n));
      out.insert(out.end(), got.begin(), got.end());
      at += n;
      // Only the start of one record is ever held back.
      EXPECT_LE(opener.bufferedByteCount(), size_t{20004});
    }
    EXPECT_EQ(out, expected) << "slices up to " << maxSlice;
  }
}

TEST(WifiRecordOpener, ManySmallRecordsInOnePush) {
  WifiRecordSealer sealer(countingKey());
  Bytes stream;
  for (int i = 0; i < 50000; ++i) {
    const Bytes record = sealer.seal(Bytes{static_cast<uint8_t>(i)});
    stream.insert(stream.end(), record.begin(), record.end());
  }
  WifiRecordOpener opener(countingKey());
  const Bytes out = opener.push(stream);
  ASSERT_EQ(out.size(), 50000u);
  for (int i = 0; i < 50000; ++i) ASSERT_EQ(out[i], static_cast<uint8_t>(i));
}

TEST(WifiRecordOpener, RejectsBadLengthsAtTheFourthByte) {
  for (uint32_t bad : {0u, 15u, 0x1000011u, 0xffffffffu}) {
    WifiRecordOpener opener(countingKey());
    const Bytes prefix = lengthPrefix(bad);
    for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(opener.push(ByteView(prefix).subspan(i, 1)).empty());
    const auto error = caught([&] { opener.push(ByteView(prefix).subspan(3, 1)); });
    EXPECT_EQ(error.kind, WifiCryptoError::Kind::badRecordLength);
    EXPECT_EQ(error.value, static_cast<int64_t>(bad));
    EXPECT_EQ(std::string(error.what()), "badRecordLength(" + std::to_string(bad) + ")");
  }
  // In one push with a large body behind it, the body is never kept.
  WifiRecordOpener opener(countingKey());
  const Bytes hostile = joined({fromHex(kRecord0), lengthPrefix(0x1000011), Bytes(1 << 20, 0)});
  EXPECT_EQ(caught([&] { opener.push(hostile); }).value, 0x1000011);
  EXPECT_LE(opener.bufferedByteCount(), 4u);
  // Half a prefix, then the rest of it with a large body.
  WifiRecordOpener split(countingKey());
  const Bytes prefix = lengthPrefix(15);
  EXPECT_TRUE(split.push(ByteView(prefix).first(2)).empty());
  EXPECT_EQ(caught([&] { split.push(joined({Bytes(prefix.begin() + 2, prefix.end()), Bytes(1 << 20, 0)})); }).value,
            15);
  EXPECT_LE(split.bufferedByteCount(), 4u);
}

TEST(WifiRecordOpener, RejectsEveryFlippedByte) {
  const Bytes record = fromHex(kRecord0);
  for (size_t i = 0; i < record.size(); ++i) {
    for (uint8_t bit : {uint8_t{0x01}, uint8_t{0x80}}) {
      Bytes bad = record;
      bad[i] ^= bit;
      WifiRecordOpener opener(countingKey());
      if (i >= 4) {
        EXPECT_EQ(caught([&] { opener.push(bad); }).kind, WifiCryptoError::Kind::authenticationFailed) << i;
        continue;
      }
      // A damaged prefix either is refused, or frames a different record that
      // then fails to open; it never yields plaintext.
      try {
        Bytes got = opener.push(bad);
        EXPECT_TRUE(got.empty());
        got = opener.push(Bytes(WifiRecord::maxRecord, 0));
        ADD_FAILURE() << "prefix byte " << i << " bit " << int(bit) << " accepted";
      } catch (const WifiCryptoError& e) {
        EXPECT_TRUE(e.kind == WifiCryptoError::Kind::badRecordLength ||
                    e.kind == WifiCryptoError::Kind::authenticationFailed)
            << e.what();
      }
    }
  }
}

TEST(WifiRecordOpener, RejectsReorderedDroppedDuplicatedAndReflectedRecords) {
  const Bytes psk = WifiKeySchedule::randomPsk(WifiKeySchedule::pskBytes);
  const auto host = WifiKeySchedule::derive(ByteView(psk), WifiKeySchedule::Role::host, WifiKeySchedule::Flavor::qrPsk);
  const auto client =
      WifiKeySchedule::derive(ByteView(psk), WifiKeySchedule::Role::client, WifiKeySchedule::Flavor::qrPsk);
  WifiRecordSealer clientSealer(client.sendKey);
  const Bytes a = clientSealer.seal(bytesOf("first"));
  const Bytes b = clientSealer.seal(bytesOf("second"));

  auto rejects = [&](const Bytes& stream, const char* what) {
    WifiRecordOpener opener(host.recvKey);
    EXPECT_EQ(caught([&] { opener.push(stream); }).kind, WifiCryptoError::Kind::authenticationFailed) << what;
  };
  rejects(joined({b, a}), "reordered");
  rejects(b, "first record dropped");
  rejects(joined({a, a}), "duplicated");
  // The host's own record sent back to it: same counter, other direction's key.
  WifiRecordSealer hostSealer(host.sendKey);
  rejects(hostSealer.seal(bytesOf("first")), "reflected");
  // A record of another link under another key.
  WifiRecordSealer stranger(SymmetricKey::random(32));
  rejects(stranger.seal(bytesOf("first")), "foreign key");

  WifiRecordOpener opener(host.recvKey);
  EXPECT_EQ(opener.push(joined({a, b})), bytesOf("firstsecond"));
}

TEST(WifiRecordOpener, StaysFailedAfterAnError) {
  WifiRecordSealer sealer(countingKey());
  const Bytes a = sealer.seal(bytesOf("a"));
  const Bytes b = sealer.seal(bytesOf("b"));
  Bytes damaged = a;
  damaged.back() ^= 1;
  WifiRecordOpener opener(countingKey());
  // A throwing call returns nothing, not even records that opened before the bad one.
  EXPECT_EQ(caught([&] { opener.push(joined({fromHex(kRecord0), damaged})); }).kind,
            WifiCryptoError::Kind::authenticationFailed);
  // The counter value of the rejected record is spent, so `b` would open if
  // the opener carried on; it must not let a caller skip a rejected record.
  EXPECT_EQ(caught([&] { opener.push(b); }).kind, WifiCryptoError::Kind::authenticationFailed);
  EXPECT_EQ(caught([&] { opener.push({}); }).kind, WifiCryptoError::Kind::authenticationFailed);
}

TEST(WifiRecordOpener, ACipherFailureIsARejectedRecordAndTheOpenerStaysFailed) {
  WifiRecordOpener opener(countingKey());
  opener.failNextOpenForTesting();
  EXPECT_STREQ(caught([&] { opener.push(fromHex(kRecord0)); }).what(), "authenticationFailed");
  // Record 1 would open under the next counter value; the failed record's is spent.
  EXPECT_STREQ(caught([&] { opener.push(fromHex(kRecord1)); }).what(), "authenticationFailed");
}

}  // namespace
}  // namespace lumenrail
