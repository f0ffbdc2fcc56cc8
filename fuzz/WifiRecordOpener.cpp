// The record opener on a stream of genuine records (sealed here with the same
// key) mixed with hostile bytes, fed in any slicing. Genuine records alone
// must come out as their plaintexts whatever the slicing; anything else may
// fail, and a failed opener must stay failed.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

#include "FuzzCheck.hpp"
#include "secure/WifiCryptoError.hpp"
#include "secure/WifiRecordOpener.hpp"
#include "secure/WifiRecordSealer.hpp"

using namespace lumenrail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const SymmetricKey key(Bytes(32, 0x5A));
  WifiRecordSealer sealer(key);
  WifiRecordOpener opener(key);

  Bytes stream;
  Bytes expected;
  bool genuine = true;
  const int pieces = in.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < pieces; ++i) {
    const Bytes chunk = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 512));
    if (in.ConsumeBool()) {
      const Bytes record = sealer.seal(chunk);
      stream.insert(stream.end(), record.begin(), record.end());
      expected.insert(expected.end(), chunk.begin(), chunk.end());
    } else {
      stream.insert(stream.end(), chunk.begin(), chunk.end());
      genuine = genuine && chunk.empty();
    }
  }
  const Bytes tail = in.ConsumeRemainingBytes<uint8_t>();
  stream.insert(stream.end(), tail.begin(), tail.end());
  genuine = genuine && tail.empty();

  // Slice sizes come from the stream's own bytes so that every input is used.
  Bytes out;
  size_t at = 0;
  bool failed = false;
  while (at < stream.size()) {
    const size_t n = std::min<size_t>(stream.size() - at, 1 + stream[at] % 97);
    try {
      const Bytes plain = opener.push(ByteView(stream).subspan(at, n));
      out.insert(out.end(), plain.begin(), plain.end());
    } catch (const WifiCryptoError&) {
      failed = true;
      break;
    }
    FUZZ_CHECK(opener.bufferedByteCount() <= 4 + 0x1000010);
    at += n;
  }
  if (genuine) {
    FUZZ_CHECK(!failed && out == expected && opener.bufferedByteCount() == 0);
  }
  if (failed) {
    bool again = false;
    try {
      (void)opener.push(Bytes{});
    } catch (const WifiCryptoError&) {
      again = true;
    }
    FUZZ_CHECK(again);
  }
  return 0;
}
