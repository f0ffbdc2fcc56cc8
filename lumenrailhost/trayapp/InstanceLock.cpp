#include "trayapp/InstanceLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/Paths.hpp"

namespace lumenrail::InstanceLock {

std::string path(const Environment& env) {
  const auto runtime = env.find("XDG_RUNTIME_DIR");
  if (runtime != env.end() && !runtime->second.empty() && runtime->second.front() == '/') {
    return runtime->second + "/lumenrail-host.lock";
  }
  return Paths::logDirectory(env) + "/host.lock";
}

Result acquire(const std::string& lockPath) {
  Result r;
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(lockPath).parent_path(), ignored);
  // Never through a link someone else placed there.
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    r.error = lockPath + ": " + std::strerror(errno);
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
