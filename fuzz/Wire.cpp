// Every client-to-host payload parser of the wire protocol, and the version
// report, on the same bytes; what parses must survive the host's builders.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.hpp"
#include "platform/Utf8.hpp"
#include "wire/PeerVersion.hpp"
#include "wire/Wire.hpp"

using namespace lumenrail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView p(data, size);

  (void)Wire::parseClientCaps(p);
  (void)Wire::parseClientMode(p);
  (void)Wire::parseInputCaps(p);

  if (const auto samples = Wire::parseInput(p)) {
    FUZZ_CHECK(samples->size() == p[0]);
    size_t need = 2;
    for (const auto& s : *samples) need += 8 + 16 * s.pointers.size();
    FUZZ_CHECK(need <= size);
  }

  if (const auto chord = Wire::parseKeyCombo(p)) FUZZ_CHECK(chord->vks.size() == p[3] && 4 + chord->vks.size() <= size);

  if (const auto viewport = Wire::parseViewport(p)) {
    const Bytes echoed = Wire::viewportApplied(*viewport);
    FUZZ_CHECK(Bytes(echoed.begin() + Wire::headerSize, echoed.end()) == Bytes(p.begin(), p.begin() + 8));
  }

  if (const auto request = Wire::parseEncoderConfig(p)) {
    const Bytes echoed = Wire::encoderConfigApplied(*request);
    const auto again = Wire::parseEncoderConfig(ByteView(echoed).subspan(Wire::headerSize));
    FUZZ_CHECK(again && *again == *request);
  }

  const std::string name = Wire::parseClientInfo(p);
  FUZZ_CHECK(Utf8::isValid(name));

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string app = Wire::normalizeForegroundName(text);
  FUZZ_CHECK(Utf8::isValid(app));
  if (const auto packet = Wire::foregroundApp(text)) FUZZ_CHECK(packet->size() == Wire::headerSize + app.size());

  if (const auto version = PeerVersion::decode(p)) {
    (void)version->summary();
    const Bytes encoded = version->encode(true);
    (void)PeerVersion::decode(ByteView(encoded).subspan(Wire::headerSize));
  }
  return 0;
}
