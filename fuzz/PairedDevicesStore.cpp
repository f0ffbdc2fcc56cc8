// The paired-devices file: decoded as text, and opened by the store as a file
// on disk. Whatever decodes must survive the store's own encoding unchanged.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.hpp"
#include "FuzzFiles.hpp"
#include "secure/PairedDevicesStore.hpp"
#include "secure/PairingStoreError.hpp"

using namespace lumenrail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto devices = PairedDeviceFile::decode(text)) {
    const std::string encoded = PairedDeviceFile::encode(*devices);
    const auto again = PairedDeviceFile::decode(encoded);
    FUZZ_CHECK(again && *again == *devices);
    for (const auto& d : *devices) {
      (void)d.displayName();
      (void)d.deviceKind();
    }
  }

  PairedDevicesStore store(fuzz::freshFile("paired-devices.json", data, size), [](const std::string&) {});
  const auto all = store.all();
  if (!all.empty()) {
    FUZZ_CHECK(store.lookup(all.front().publicKey).has_value());
    try {
      store.touch(all.front().publicKey, "fuzz", Bytes(8, 0xAB), PairingProtocol::DeviceKind::iPad, 1.0);
      store.rename(all.back().fingerprint, " fuzz ");
    } catch (const PairingStoreError&) {
    }
  }
  return 0;
}
