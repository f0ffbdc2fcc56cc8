#include "secure/PairedDevicesStore.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>
#include <utility>

#include "platform/PrivateFile.hpp"
#include "platform/Utf8.hpp"
#include "secure/PairingStoreError.hpp"

namespace lumenrail {

namespace P = PairingProtocol;

namespace {

// Thousands of devices fit in far less; anything larger is not our file.
constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;

bool sameKey(const PairedDevice& d, ByteView key) { return std::ranges::equal(d.publicKey, key); }

void fillMissing(PairedDevice& d, const std::optional<std::string>& deviceIdHex, P::DeviceKind kind) {
  if (!d.deviceId && deviceIdHex) d.deviceId = deviceIdHex;
  if ((!d.kind || *d.kind == 0) && kind != P::DeviceKind::unknown) d.kind = static_cast<int64_t>(kind);
}

std::optional<std::string> hexOf(const std::optional<Bytes>& deviceId) {
  if (!deviceId) return std::nullopt;
  return P::deviceIdHex(*deviceId);
}


}  // namespace

PairedDevicesStore::PairedDevicesStore(std::filesystem::path fileURL, Log::Sink log)
    : fileURL_(std::move(fileURL)), log_(std::move(log)) {
  std::lock_guard lock(mutex_);
  load();
}

void PairedDevicesStore::warn(const std::string& text) const {
  if (log_) {
    log_(text);
  } else {
    Log::line(text);
  }
}

void PairedDevicesStore::load() {
  std::string why;
  std::optional<Bytes> bytes;
  try {
    bytes = PrivateFile::readOwn(fileURL_, kMaxFileBytes);
  } catch (const PrivateFile::NotPrivate& e) {
    // Another user could have added a device: refused, and left as it is.
    throw PairingStoreError::notPrivate(e.what());
  } catch (const std::system_error& e) {
    // Larger than any file of ours: its content is the fault. Any other
    // failure (EACCES, EIO, EMFILE...) says nothing about the file, which
    // stays where it is; the store is refused rather than start empty.
    if (e.code().value() != EFBIG) throw PairingStoreError::readFailed(e.what());
    why = e.what();
  }
  if (bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    if (auto list = PairedDeviceFile::decode(text, &why)) {
      devices_ = std::move(*list);
      return;
    }
  } else if (why.empty()) {
    return;  // no file yet
  }
  unreadableFileInPlace_ = !moveAside(why, true);
}

bool PairedDevicesStore::moveAside(const std::string& why, bool warnOnFailure) {
  // Keep the unreadable file for the owner to inspect or restore; starting
  // over on top of it would lose every pairing it holds.
  if (const auto aside = PrivateFile::setAside(fileURL_)) {
    warn("[pair] WARN: could not read the paired devices in " + fileURL_.string() + " (" + why +
         ") — kept it aside as " + aside->string() + "; starting with no paired devices");
    return true;
  }
  const int err = errno;
  // Gone in the meantime (moved by the owner): nothing left to protect.
  if (err == ENOENT) return true;
  unreadableWhy_ = why;
  if (warnOnFailure) {
    warn("[pair] WARN: could not read the paired devices in " + fileURL_.string() + " (" + why +
         ") and could not move it aside (" + std::strerror(err) + ") — changes will not be saved over it");
  }
  return false;
}

void PairedDevicesStore::persist(const std::vector<PairedDevice>& devices) {
  // Retried on every write: the owner may have fixed what blocked the move.
  if (unreadableFileInPlace_) unreadableFileInPlace_ = !moveAside(unreadableWhy_, false);
  if (unreadableFileInPlace_) {
    throw PairingStoreError::unreadableFileInPlace(fileURL_.string() + " could not be read or moved aside");
  }
  // The file's own folder, wherever the caller put it.
  if (fileURL_.has_parent_path()) {
    try {
      PrivateFile::ensureDirectory(fileURL_.parent_path());
    } catch (const std::system_error& e) {
      throw PairingStoreError::directoryFailed(e.what());
    }
  }
  const std::string text = PairedDeviceFile::encode(devices);
  try {
    PrivateFile::writeAtomically(fileURL_, ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  } catch (const std::system_error& e) {
    throw PairingStoreError::writeFailed(e.what());
  }
}

std::vector<PairedDevice> PairedDevicesStore::all() const {
  std::lock_guard lock(mutex_);
  return devices_;
}

std::optional<PairedDevice> PairedDevicesStore::lookup(ByteView publicKey) const {
  std::lock_guard lock(mutex_);
  for (const PairedDevice& d : devices_) {
    if (sameKey(d, publicKey)) return d;
  }
  return std::nullopt;
}

std::vector<std::string> PairedDevicesStore::pin(ByteView publicKey, std::string_view label,
                                                 const std::optional<Bytes>& deviceId, P::DeviceKind kind,
                                                 double now) {
  std::lock_guard lock(mutex_);
  std::vector<PairedDevice> next = devices_;
  const std::optional<std::string> hex = hexOf(deviceId);
  std::vector<std::string> replaced;
  // A device id is only the client's claim: a new key may take the old
  // record's place (a reinstalled app) but not the name the owner gave it.
  if (hex) {
    std::erase_if(next, [&](const PairedDevice& d) {
      if (sameKey(d, publicKey) || d.deviceId != hex) return false;
      replaced.push_back(d.fingerprint);
      return true;
    });
  }
  const auto existing = std::ranges::find_if(next, [&](const PairedDevice& d) { return sameKey(d, publicKey); });
  if (existing != next.end()) {
    existing->lastSeen = now;
    fillMissing(*existing, hex, kind);
  } else {
    PairedDevice d;
    d.fingerprint = P::fingerprint(publicKey);
    d.publicKey.assign(publicKey.begin(), publicKey.end());
    d.label = P::withoutControlCharacters(label);
    d.lastSeen = now;
    d.deviceId = hex;
    if (kind != P::DeviceKind::unknown) d.kind = static_cast<int64_t>(kind);
    next.push_back(std::move(d));
  }
  persist(next);
  devices_ = std::move(next);
  return replaced;
}

void PairedDevicesStore::touch(ByteView publicKey, const std::optional<std::string>& label,
                               const std::optional<Bytes>& deviceId, P::DeviceKind kind, double now) {
  std::lock_guard lock(mutex_);
  const auto found = std::ranges::find_if(devices_, [&](const PairedDevice& d) { return sameKey(d, publicKey); });
  if (found == devices_.end()) return;
  std::vector<PairedDevice> next = devices_;
  PairedDevice& d = next[static_cast<size_t>(found - devices_.begin())];
  d.lastSeen = now;
  if (label) {
    std::string cleaned = P::withoutControlCharacters(*label);
    if (!cleaned.empty() && cleaned != d.label) d.label = std::move(cleaned);
  }
  fillMissing(d, hexOf(deviceId), kind);
  persist(next);
  devices_ = std::move(next);
}

void PairedDevicesStore::rename(std::string_view fingerprint, std::string_view alias) {
  std::lock_guard lock(mutex_);
  const auto found =
      std::ranges::find_if(devices_, [&](const PairedDevice& d) { return d.fingerprint == fingerprint; });
  if (found == devices_.end()) return;
  std::vector<PairedDevice> next = devices_;
  PairedDevice& d = next[static_cast<size_t>(found - devices_.begin())];
  const std::string cleaned = P::withoutControlCharacters(alias);
  const std::string_view trimmed = Utf8::trimWhitespaceAndNewlines(cleaned);
  if (trimmed.empty()) {
    d.alias.reset();
  } else {
    d.alias = std::string(trimmed);
  }
  persist(next);
  devices_ = std::move(next);
}

void PairedDevicesStore::revoke(std::string_view fingerprint) {
  std::lock_guard lock(mutex_);
  std::vector<PairedDevice> next = devices_;
  std::erase_if(next, [&](const PairedDevice& d) { return d.fingerprint == fingerprint; });
  persist(next);
  devices_ = std::move(next);
}

}  // namespace lumenrail
