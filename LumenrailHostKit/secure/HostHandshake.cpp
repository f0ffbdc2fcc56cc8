#include "secure/HostHandshake.hpp"

#include <utility>

#include "secure/PairingError.hpp"

namespace lumenrail {

namespace P = PairingProtocol;

HostHandshake::HostHandshake(Ed25519PrivateKey identity, X25519PrivateKey ephemeral)
    : identity_(std::move(identity)), ephemeral_(std::move(ephemeral)) {}

HostHandshake::ClientInfo HostHandshake::processClientKeyx(ByteView payload) {
  if (payload.size() < static_cast<size_t>(P::clientKeyxLen) || payload.size() > static_cast<size_t>(P::maxPayload)) {
    throw PairingError::malformed("bad ClientKeyx length " + std::to_string(payload.size()));
  }
  const ByteView epkC = payload.first(32);
  const ByteView idPubC = payload.subspan(32, 32);
  const ByteView tail = payload.subspan(64);
  Bytes transcript = P::transcript(epkC, idPubC, ephemeral_.publicKey(), identity_.publicKey());
  // Throws for a low-order key before anything is stored.
  const SymmetricKey shared = ephemeral_.sharedSecret(epkC);
  // An identity that cannot prove anything is refused here, before the
  // client's user and the owner wait for a confirmation that means nothing.
  if (!Ed25519::isAcceptablePublicKey(idPubC)) throw PairingError::malformed("unusable client identity key");
  SymmetricKey root = P::deriveRoot(shared, transcript);

  ClientInfo info;
  info.identityPublicKey.assign(idPubC.begin(), idPubC.end());
  info.fingerprint = P::fingerprint(idPubC);
  info.sas = P::sasDigits(transcript);
  info.name = P::clientNameFromBytes(tail);
  info.canShowSas = P::clientTailCanShowSas(tail);
  P::TailMeta meta = P::clientTailMeta(tail);
  info.deviceId = std::move(meta.deviceId);
  info.deviceKind = meta.kind;

  transcript_ = std::move(transcript);
  clientIdPub_ = info.identityPublicKey;
  root_ = std::move(root);
  return info;
}

Bytes HostHandshake::hostReject(uint8_t reason) {
  const uint8_t payload[1] = {reason};
  return P::encode(P::typeHostReject, payload);
}

Bytes HostHandshake::hostKeyx() const {
  if (!transcript_) throw PairingError::outOfOrder("HostKeyx before ClientKeyx");
  Bytes payload = ephemeral_.publicKey();
  const Bytes idPubH = identity_.publicKey();
  const Bytes signature = P::hostSignature(identity_, *transcript_);
  payload.insert(payload.end(), idPubH.begin(), idPubH.end());
  payload.insert(payload.end(), signature.begin(), signature.end());
  return P::encode(P::typeHostKeyx, payload);
}

HostHandshake::Confirm HostHandshake::processClientConfirm(ByteView payload) const {
  if (!transcript_ || !clientIdPub_) throw PairingError::outOfOrder("ClientConfirm before ClientKeyx");
  if (payload.size() != static_cast<size_t>(P::clientConfirmLen)) {
    throw PairingError::malformed("bad ClientConfirm length " + std::to_string(payload.size()));
  }
  Confirm confirm;
  confirm.ok = payload[0] == 1;
  if (confirm.ok) confirm.signatureValid = P::verifyClientSignature(*clientIdPub_, *transcript_, payload.subspan(1));
  return confirm;
}

SymmetricKey HostHandshake::rootKey() const {
  if (!root_) throw PairingError::outOfOrder("root before ClientKeyx");
  return *root_;
}

}  // namespace lumenrail
