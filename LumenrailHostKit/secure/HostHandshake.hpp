#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Bytes.hpp"
#include "platform/Ed25519.hpp"
#include "platform/SymmetricKey.hpp"
#include "platform/X25519.hpp"
#include "secure/PairingProtocol.hpp"

namespace lumenrail {

// The host's side of one pairing prologue. Fresh until a ClientKeyx has been
// processed, keyed afterwards; a failed ClientKeyx leaves it fresh. Takes no
// locks: it belongs to one connection thread.
class HostHandshake final {
 public:
  struct ClientInfo {
    Bytes identityPublicKey;  // 32 bytes, a usable key not yet proven: ClientConfirm's signature does that
    std::string fingerprint;
    std::string sas;
    std::string name;  // control and format characters removed
    bool canShowSas = true;
    std::optional<Bytes> deviceId;
    PairingProtocol::DeviceKind deviceKind = PairingProtocol::DeviceKind::unknown;
    bool operator==(const ClientInfo&) const = default;
  };

  struct Confirm {
    bool ok = false;
    bool signatureValid = false;
    bool operator==(const Confirm&) const = default;
  };

  HostHandshake(Ed25519PrivateKey identity, X25519PrivateKey ephemeral);
  HostHandshake(const HostHandshake&) = delete;
  HostHandshake& operator=(const HostHandshake&) = delete;

  // Throws PairingError for a payload outside 64-128 bytes or an identity key
  // that Ed25519::isAcceptablePublicKey refuses, and CryptoError when the
  // client's ephemeral key is unusable (a low-order point).
  ClientInfo processClientKeyx(ByteView payload);

  static Bytes hostReject(uint8_t reason);
  Bytes hostKeyx() const;
  Confirm processClientConfirm(ByteView payload) const;
  SymmetricKey rootKey() const;

 private:
  Ed25519PrivateKey identity_;
  X25519PrivateKey ephemeral_;
  std::optional<Bytes> transcript_;
  std::optional<SymmetricKey> root_;
  std::optional<Bytes> clientIdPub_;
};

}  // namespace lumenrail
