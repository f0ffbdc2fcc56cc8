#include "secure/ClientHandshake.hpp"

#include <utility>

#include "secure/PairingError.hpp"

namespace lumenrail {

namespace P = PairingProtocol;

ClientHandshake::ClientHandshake(Ed25519PrivateKey identity, X25519PrivateKey ephemeral, std::string deviceName,
                                 bool canShowSas, std::optional<Bytes> deviceId, P::DeviceKind deviceKind)
    : identity_(std::move(identity)),
      ephemeral_(std::move(ephemeral)),
      deviceName_(std::move(deviceName)),
      canShowSas_(canShowSas),
      deviceId_(std::move(deviceId)),
      deviceKind_(deviceKind) {}

Bytes ClientHandshake::hello() const {
  Bytes payload = ephemeral_.publicKey();
  const Bytes idPub = identity_.publicKey();
  const Bytes tail = P::clientKeyxTail(deviceName_, canShowSas_, deviceId_, deviceKind_);
  payload.insert(payload.end(), idPub.begin(), idPub.end());
  payload.insert(payload.end(), tail.begin(), tail.end());
  Bytes out(P::magic.begin(), P::magic.end());
  const Bytes frame = P::encode(P::typeClientKeyx, payload);
  out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

ClientHandshake::HostInfo ClientHandshake::processHostKeyx(ByteView payload) {
  if (payload.size() != static_cast<size_t>(P::hostKeyxLen)) {
    throw PairingError::malformed("bad HostKeyx length " + std::to_string(payload.size()));
  }
  const ByteView epkH = payload.first(32);
  const ByteView idPubH = payload.subspan(32, 32);
  const ByteView signature = payload.subspan(64, 64);

  Bytes transcript = P::transcript(ephemeral_.publicKey(), identity_.publicKey(), epkH, idPubH);
  const SymmetricKey shared = ephemeral_.sharedSecret(epkH);
  SymmetricKey root = P::deriveRoot(shared, transcript);

  HostInfo info;
  info.identityPublicKey.assign(idPubH.begin(), idPubH.end());
  info.fingerprint = P::fingerprint(idPubH);
  info.signatureValid = P::verifyHostSignature(idPubH, transcript, signature);
  info.sas = P::sasDigits(transcript);
  transcript_ = std::move(transcript);
  root_ = std::move(root);
  return info;
}

Bytes ClientHandshake::confirm(bool ok) const {
  if (!transcript_) throw PairingError::outOfOrder("confirm before HostKeyx");
  Bytes payload{static_cast<uint8_t>(ok ? 1 : 0)};
  const Bytes signature = ok ? P::clientSignature(identity_, *transcript_) : Bytes(P::sigLen, 0);
  payload.insert(payload.end(), signature.begin(), signature.end());
  return P::encode(P::typeClientConfirm, payload);
}

SymmetricKey ClientHandshake::rootKey() const {
  if (!root_) throw PairingError::outOfOrder("root before HostKeyx");
  return *root_;
}

}  // namespace lumenrail
