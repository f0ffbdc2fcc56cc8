#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bytes.hpp"
#include "secure/PairingProtocol.hpp"

namespace lumenrail {

// One paired client as the paired-devices file keeps it.
struct PairedDevice {
  std::string fingerprint;               // of publicKey; names the record everywhere
  Bytes publicKey;                       // raw Ed25519 key; standard Base64 in the file
  std::string label;                     // the name the device sent
  double lastSeen = 0;                   // seconds since 1970 of the last successful prologue
  std::optional<std::string> deviceId;   // 16 lowercase hex digits
  std::optional<int64_t> kind;           // raw DeviceKind
  std::optional<std::string> alias;      // the owner's name for it

  // The alias when present and not empty, else the label.
  const std::string& displayName() const;
  // Unknown for an empty, negative or out-of-range kind.
  PairingProtocol::DeviceKind deviceKind() const;

  bool operator==(const PairedDevice&) const = default;
};

namespace PairedDeviceFile {

// The file: one JSON array of objects with "fingerprint", "publicKey",
// "label" and "lastSeen"; "deviceId", "kind" and "alias" only when set.
std::string encode(const std::vector<PairedDevice>& devices);

// Nothing when the text is not such an array or any one record does not
// decode; `why` then says what was wrong.
std::optional<std::vector<PairedDevice>> decode(std::string_view text, std::string* why = nullptr);

}  // namespace PairedDeviceFile

}  // namespace lumenrail
