#pragma once

#include <optional>
#include <string>

#include "platform/Bytes.hpp"
#include "platform/Ed25519.hpp"
#include "platform/SymmetricKey.hpp"
#include "platform/X25519.hpp"
#include "secure/PairingProtocol.hpp"

namespace lumenrail {

// The client's mirror of HostHandshake. The host never calls it; tests and
// test peers use it to talk to the host's side.
class ClientHandshake final {
 public:
  struct HostInfo {
    Bytes identityPublicKey;
    std::string fingerprint;
    bool signatureValid = false;
    std::string sas;
    bool operator==(const HostInfo&) const = default;
  };

  ClientHandshake(Ed25519PrivateKey identity, X25519PrivateKey ephemeral, std::string deviceName, bool canShowSas,
                  std::optional<Bytes> deviceId, PairingProtocol::DeviceKind deviceKind);
  ClientHandshake(const ClientHandshake&) = delete;
  ClientHandshake& operator=(const ClientHandshake&) = delete;

  // The magic followed by the framed ClientKeyx.
  Bytes hello() const;
  // Throws PairingError for a payload other than 128 bytes, CryptoError for a
  // low-order host key.
  HostInfo processHostKeyx(ByteView payload);
  Bytes confirm(bool ok) const;
  SymmetricKey rootKey() const;

 private:
  Ed25519PrivateKey identity_;
  X25519PrivateKey ephemeral_;
  std::string deviceName_;
  bool canShowSas_;
  std::optional<Bytes> deviceId_;
  PairingProtocol::DeviceKind deviceKind_;
  std::optional<Bytes> transcript_;
  std::optional<SymmetricKey> root_;
};

}  // namespace lumenrail
