#pragma once

#include <filesystem>

#include "platform/Ed25519.hpp"
#include "platform/Log.hpp"

// The host's long-term Ed25519 identity: "identity.key" in the pairing
// folder, the 32 raw private-key bytes and nothing else, mode 0600.
namespace lumenrail::HostIdentity {

std::filesystem::path fileURL();

// The stored key; a new one when the file is missing or holds anything but
// 32 bytes (such a file is set aside as "<file>.corrupt-<UTC time>", never
// overwritten, and reported through `log`, which defaults to standard output;
// when it cannot be moved aside, writeFailed is thrown). Any other failure to read throws PairingStoreError
// (readFailed) and leaves the file alone, so a passing I/O error never
// changes the host's identity. Making the folder or writing a new key throws
// PairingStoreError too; so does a folder or key that another user owns or
// may write (notPrivate; an open folder of this user's is closed instead,
// see HostPairingStore::ensureDirectory).
Ed25519PrivateKey loadOrCreate(const Log::Sink& log = {});

}  // namespace lumenrail::HostIdentity
