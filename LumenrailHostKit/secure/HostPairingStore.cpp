#include "secure/HostPairingStore.hpp"

#include <cstdio>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/Paths.hpp"
#include "platform/PrivateFile.hpp"
#include "secure/PairingStoreError.hpp"

namespace lumenrail::HostPairingStore {

namespace {

constexpr const char* kFolderName = "LumenrailHost";

std::mutex& overrideMutex() {
  static std::mutex m;
  return m;
}

std::optional<std::filesystem::path>& overrideSlot() {
  static std::optional<std::filesystem::path> slot;
  return slot;
}


}  // namespace

std::optional<std::filesystem::path> directoryOverride() {
  std::lock_guard lock(overrideMutex());
  return overrideSlot();
}

void setDirectoryOverride(std::optional<std::filesystem::path> dir) {
  std::lock_guard lock(overrideMutex());
  overrideSlot() = std::move(dir);
}

std::filesystem::path defaultDirectory(const Environment& env) {
  const std::string data = Paths::dataHome(env);
  if (data.empty()) return {};
  return std::filesystem::path(data) / kFolderName;
}

std::filesystem::path directory() {
  if (auto dir = directoryOverride()) return *dir;
  auto dir = defaultDirectory(processEnvironment());
  // Never a folder at the root of the file system that every account would share.
  if (dir.empty()) throw PairingStoreError::directoryFailed("no home folder to keep the pairing folder in");
  return dir;
}

void ensureDirectory(const Log::Sink& log) {
  const std::filesystem::path dir = directory();
  std::optional<mode_t> before;
  try {
    before = PrivateFile::ensurePrivateDirectory(dir);
  } catch (const PrivateFile::NotPrivate& e) {
    throw PairingStoreError::notPrivate(e.what());
  } catch (const std::system_error& e) {
    throw PairingStoreError::directoryFailed(e.what());
  }
  if (!before) return;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(*before));
  const std::string text = "[pair] WARN: " + dir.string() + " could be written by other users (mode " + mode +
                           ") — made it 0700, owner only";
  if (log) {
    log(text);
  } else {
    Log::line(text);
  }
}

}  // namespace lumenrail::HostPairingStore
