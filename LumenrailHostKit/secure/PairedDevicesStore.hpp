#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bytes.hpp"
#include "platform/Log.hpp"
#include "secure/PairedDevice.hpp"
#include "secure/PairingProtocol.hpp"

namespace lumenrail {

// The ordered list of paired devices behind its JSON file. Every operation
// holds one lock from start to end, the file write included, so readers never
// see half a change and writes never interleave. The list in memory is the
// truth; the file is read once, by the constructor.
//
// A change is kept only when it reached the file: a failed write throws
// PairingStoreError and leaves the list as it was, so nobody reports a device
// as paired that the next start would not know.
class PairedDevicesStore final {
 public:
  // A missing file is an empty list. A file that was read whole and does not
  // decode (or is far too large to be ours) is renamed aside to
  // "<file>.corrupt-<UTC time>" with a "[pair] WARN: " line through `log`
  // (standard output when empty), and the list starts empty; if it cannot be
  // moved aside, every later write fails rather than overwrite it. A file
  // that cannot be read (EACCES, EIO, EMFILE...) is left alone and the
  // constructor throws PairingStoreError (readFailed); so does a file that
  // another user owns or may write (notPrivate).
  explicit PairedDevicesStore(std::filesystem::path fileURL, Log::Sink log = {});
  PairedDevicesStore(const PairedDevicesStore&) = delete;
  PairedDevicesStore& operator=(const PairedDevicesStore&) = delete;

  const std::filesystem::path& fileURL() const { return fileURL_; }

  std::vector<PairedDevice> all() const;
  std::optional<PairedDevice> lookup(ByteView publicKey) const;

  // A device the owner has just approved. Records of other keys that carry
  // the same device id are replaced (the device was reinstalled or reset) and
  // their fingerprints returned; their aliases go with them, since the id is
  // only what the client claims. Throws PairingStoreError when the file
  // cannot be written.
  std::vector<std::string> pin(ByteView publicKey, std::string_view label, const std::optional<Bytes>& deviceId,
                               PairingProtocol::DeviceKind kind, double now);

  // A returning device: refreshes lastSeen and a changed, non-empty label, and
  // fills in a missing id or kind. Unknown keys change and write nothing.
  void touch(ByteView publicKey, const std::optional<std::string>& label, const std::optional<Bytes>& deviceId,
             PairingProtocol::DeviceKind kind, double now);

  // Sets the owner's alias; one that is empty once trimmed clears it.
  void rename(std::string_view fingerprint, std::string_view alias);

  // Forgets every record with that fingerprint; always rewrites the file.
  void revoke(std::string_view fingerprint);

 private:
  void load();
  void persist(const std::vector<PairedDevice>& devices);  // lock held
  bool moveAside(const std::string& why, bool warnOnFailure);  // lock held
  void warn(const std::string& text) const;

  std::filesystem::path fileURL_;
  Log::Sink log_;
  mutable std::mutex mutex_;
  std::vector<PairedDevice> devices_;
  bool unreadableFileInPlace_ = false;
  std::string unreadableWhy_;
};

}  // namespace lumenrail
