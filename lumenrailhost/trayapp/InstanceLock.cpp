#include "trayapp/InstanceLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/Paths.hpp"
#include "platform/PrivateFile.hpp"

namespace lumenrail::InstanceLock {

namespace {

// The runtime folder, when it is set, absolute and this user's alone.
std::string usableRuntimeFolder(const Environment& env, std::string* refusal) {
  const auto runtime = env.find("XDG_RUNTIME_DIR");
  if (runtime == env.end() || runtime->second.empty() || runtime->second.front() != '/') return {};
  const std::string& dir = runtime->second;
  struct stat st {};
  std::string why;
  if (::stat(dir.c_str(), &st) != 0) {
    why = dir + ": " + std::strerror(errno);
  } else if (!S_ISDIR(st.st_mode)) {
    why = dir + " is not a folder";
  } else {
    try {
      PrivateFile::requireOwnFolder(dir);
    } catch (const PrivateFile::NotPrivate& e) {
      why = e.what();
    } catch (const std::system_error& e) {
      why = e.what();
    }
  }
  if (refusal) *refusal = why;
  return why.empty() ? dir : std::string();
}

}  // namespace

std::string path(const Environment& env) {
  const std::string runtime = usableRuntimeFolder(env, nullptr);
  if (!runtime.empty()) return runtime + "/lumenrail-host.lock";
  return Paths::logDirectory(env) + "/host.lock";
}

std::string runtimeFolderRefusal(const Environment& env) {
  std::string why;
  usableRuntimeFolder(env, &why);
  return why;
}

Result acquire(const std::string& lockPath) {
  Result r;
  try {
    PrivateFile::ensurePrivateDirectory(std::filesystem::path(lockPath).parent_path());
  } catch (const std::exception& e) {
    r.error = e.what();
    return r;
  }
  // Never through a link someone else placed there.
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    r.error = lockPath + ": " + std::strerror(errno);
    return r;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || !S_ISREG(st.st_mode)) {
    r.error = lockPath + " is not this user's own file";
    ::close(fd);
    return r;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) {
      char buf[32] = {};
      const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
      const long pid = n > 0 ? std::strtol(buf, nullptr, 10) : 0;
      r.holder = pid > 0 ? std::optional<pid_t>(static_cast<pid_t>(pid)) : std::optional<pid_t>(0);
    } else {
      r.error = lockPath + ": " + std::strerror(err);
    }
    ::close(fd);
    return r;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t n = ::pwrite(fd, pid.data(), pid.size(), 0);
  }
  r.held = true;  // fd stays open: the lock goes with the process
  return r;
}

}  // namespace lumenrail::InstanceLock
