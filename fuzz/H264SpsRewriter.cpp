// An SPS NAL unit as the encoder hands it over (its NAL type forced to 7, as
// the caller guarantees). A rewritten SPS must parse again and rewrite to
// itself, and emulation prevention must round-trip any RBSP.

#include <cstddef>
#include <cstdint>

#include "FuzzCheck.hpp"
#include "media/H264SpsRewriter.hpp"

using namespace lumenrail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView raw(data, size);
  FUZZ_CHECK(H264SpsRewriter::removeEmulation(H264SpsRewriter::addEmulation(raw)) == Bytes(raw.begin(), raw.end()));
  if (size == 0) return 0;

  Bytes nal(raw.begin(), raw.end());
  nal[0] = static_cast<uint8_t>((nal[0] & 0xE0) | 7);
  const auto once = H264SpsRewriter::rewrite(nal);
  if (!once) return 0;
  FUZZ_CHECK(!once->empty() && (*once)[0] == nal[0]);
  const auto twice = H264SpsRewriter::rewrite(*once);
  FUZZ_CHECK(twice && *twice == *once);
  return 0;
}
