#include "platform/AtomicFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>

namespace lumenrail::AtomicFile {

namespace {

std::string parentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string failure(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool makeDirectories(const std::string& dir) {
  if (dir.empty()) return false;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::string parent = parentOf(dir);
  if (parent != dir && !makeDirectories(parent)) return false;
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string write(const std::string& path, ByteView contents, unsigned mode) {
  const std::string dir = parentOf(path);
  if (!makeDirectories(dir)) return failure("cannot create the folder", dir);
  std::random_device rd;
  const std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(rd());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return failure("cannot create", temp);
  size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string why = failure("cannot write", temp);
      ::close(fd);
      ::unlink(temp.c_str());
      return why;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) {
    const std::string why = failure("cannot flush", temp);
    ::close(fd);
    ::unlink(temp.c_str());
    return why;
  }
  ::close(fd);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string why = failure("cannot replace", path);
    ::unlink(temp.c_str());
    return why;
  }
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return {};
}

std::string setAside(const std::string& path) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  const std::string aside = path + ".corrupt-" + stamp;
  return ::rename(path.c_str(), aside.c_str()) == 0 ? aside : std::string();
}

}  // namespace lumenrail::AtomicFile
