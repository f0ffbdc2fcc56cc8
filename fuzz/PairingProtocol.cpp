// The host's side of the pairing prologue on what a client sends after the
// magic: a run of frames (type, LE16 length, payload) handed to HostHandshake
// in order, as the server does; the client's reader of HostKeyx on the same
// payloads; and the tail a client builds from the bytes read back as built.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.hpp"
#include "platform/CryptoError.hpp"
#include "platform/Utf8.hpp"
#include "secure/ClientHandshake.hpp"
#include "secure/HostHandshake.hpp"
#include "secure/PairingError.hpp"
#include "secure/PairingProtocol.hpp"

using namespace lumenrail;
namespace P = PairingProtocol;

namespace {

// Fixed keys keep every run of an input the same (the seeds were made with them).
const Ed25519PrivateKey& hostIdentity() {
  static const Ed25519PrivateKey key = Ed25519PrivateKey::fromRaw(Bytes(32, 0x11));
  return key;
}
const X25519PrivateKey& hostEphemeral() {
  static const X25519PrivateKey key = X25519PrivateKey::fromRaw(Bytes(32, 0x22));
  return key;
}

void checkName(const std::string& name) {
  FUZZ_CHECK(Utf8::isValid(name));
  FUZZ_CHECK(P::withoutControlCharacters(name) == name);
}

void tailRoundTrip(ByteView tail) {
  checkName(P::clientNameFromBytes(tail));
  const P::TailMeta meta = P::clientTailMeta(tail);
  FUZZ_CHECK(!meta.deviceId || meta.deviceId->size() == P::deviceIdLen);

  const std::string name(reinterpret_cast<const char*>(tail.data()), tail.size());
  const bool canShowSas = tail.empty() || tail[0] % 2 == 0;
  const Bytes built = P::clientKeyxTail(name, canShowSas, meta.deviceId, meta.kind);
  FUZZ_CHECK(built.size() <= P::clientNameMax);
  FUZZ_CHECK(P::clientTailCanShowSas(built) == canShowSas);
  FUZZ_CHECK(P::clientTailMeta(built) == meta);
  checkName(P::clientNameFromBytes(built));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteView in(data, size);
  if (in.size() >= P::magic.size() && std::equal(P::magic.begin(), P::magic.end(), in.begin())) {
    in = in.subspan(P::magic.size());
  }
  tailRoundTrip(in.first(std::min<size_t>(in.size(), 96)));

  HostHandshake host(hostIdentity(), hostEphemeral());
  ClientHandshake client(Ed25519PrivateKey::fromRaw(Bytes(32, 0x33)), X25519PrivateKey::fromRaw(Bytes(32, 0x44)),
                         "fuzz", true, std::nullopt, P::DeviceKind::unknown);
  while (in.size() >= static_cast<size_t>(P::headerLen)) {
    const uint8_t type = P::headerType(in);
    const size_t length = P::headerLength(in);
    // The server reads frames of 1 to 128 bytes and drops the link otherwise.
    if (length < 1 || length > static_cast<size_t>(P::maxPayload)) break;
    in = in.subspan(P::headerLen);
    const ByteView payload = in.first(std::min(length, in.size()));
    in = in.subspan(payload.size());
    try {
      if (type == P::typeClientKeyx) {
        const auto info = host.processClientKeyx(payload);
        FUZZ_CHECK(info.fingerprint.size() == 11 && info.sas.size() == 6);
        checkName(info.name);
        (void)host.hostKeyx();
        (void)host.rootKey();
      } else if (type == P::typeClientConfirm) {
        const auto confirm = host.processClientConfirm(payload);
        FUZZ_CHECK(!confirm.signatureValid || confirm.ok);
      } else if (type == P::typeHostKeyx) {
        (void)client.processHostKeyx(payload);
        (void)client.confirm(true);
      }
    } catch (const PairingError&) {
    } catch (const CryptoError&) {
    }
  }
  return 0;
}
