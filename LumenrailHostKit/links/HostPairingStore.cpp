#include "links/HostPairingStore.hpp"

#include <pwd.h>
#include <unistd.h>

#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "links/PairingStoreError.hpp"
#include "platform/PrivateFile.hpp"

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

std::filesystem::path accountHome() {
  std::vector<char> buffer(16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "/";
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
  if (auto it = env.find("XDG_DATA_HOME"); it != env.end() && !it->second.empty() && it->second.front() == '/') {
    return std::filesystem::path(it->second) / kFolderName;
  }
  std::filesystem::path home;
  if (auto it = env.find("HOME"); it != env.end() && !it->second.empty() && it->second.front() == '/') {
    home = it->second;
  } else {
    home = accountHome();
  }
  return home / ".local" / "share" / kFolderName;
}

std::filesystem::path directory() {
  if (auto dir = directoryOverride()) return *dir;
  return defaultDirectory(processEnvironment());
}

void ensureDirectory() {
  const std::filesystem::path dir = directory();
  try {
    PrivateFile::ensureDirectory(dir);
  } catch (const std::system_error& e) {
    throw PairingStoreError::directoryFailed(e.what());
  }
}

}  // namespace lumenrail::HostPairingStore
