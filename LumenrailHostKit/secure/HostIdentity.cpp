#include "secure/HostIdentity.hpp"

#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

#include "platform/Crypto.hpp"
#include "platform/PrivateFile.hpp"
#include "secure/HostPairingStore.hpp"
#include "secure/PairingStoreError.hpp"

namespace lumenrail::HostIdentity {

namespace {

constexpr size_t kKeyBytes = Ed25519PrivateKey::kKeyBytes;
// Anything longer is simply the wrong length; no need to hold more of it.
constexpr size_t kReadBound = 4096;

}  // namespace

std::filesystem::path fileURL() { return HostPairingStore::directory() / "identity.key"; }

Ed25519PrivateKey loadOrCreate(const Log::Sink& log) {
  const std::filesystem::path path = fileURL();
  // The folder first: a key in a folder others could write may be theirs.
  HostPairingStore::ensureDirectory(log);
  std::optional<Bytes> stored;
  bool tooLong = false;
  try {
    stored = PrivateFile::readOwn(path, kReadBound);
  } catch (const PrivateFile::NotPrivate& e) {
    throw PairingStoreError::notPrivate(e.what());
  } catch (const std::system_error& e) {
    if (e.code().value() != EFBIG) throw PairingStoreError::readFailed(e.what());
    tooLong = true;
  }
  if (stored && stored->size() == kKeyBytes) {
    Ed25519PrivateKey key = Ed25519PrivateKey::fromRaw(*stored);
    Crypto::wipe(*stored);
    return key;
  }
  if (stored || tooLong) {
    // Measured before the wipe, which empties the buffer.
    const std::string length = tooLong ? "over " + std::to_string(kReadBound) : std::to_string(stored->size());
    if (stored) Crypto::wipe(*stored);
    // Kept, never overwritten: it may be the owner's key, damaged or restored wrongly.
    const auto aside = PrivateFile::setAside(path);
    const int err = errno;
    if (!aside && err != ENOENT) {
      throw PairingStoreError::writeFailed(path.string() + " is not a 32-byte key and could not be moved aside (" +
                                           std::strerror(err) + ")");
    }
    const std::string text = "[pair] WARN: " + path.string() + " holds " + length + " bytes, not a 32-byte key — kept" +
                             (aside ? " as " + aside->string() : std::string()) +
                             "; making a new host identity; paired devices must pair again";
    if (log) {
      log(text);
    } else {
      Log::line(text);
    }
  }

  Ed25519PrivateKey key = Ed25519PrivateKey::generate();
  const SymmetricKey raw = key.rawRepresentation();
  try {
    PrivateFile::writeAtomically(path, raw.bytes());
  } catch (const std::system_error& e) {
    throw PairingStoreError::writeFailed(e.what());
  }
  return key;
}

}  // namespace lumenrail::HostIdentity
