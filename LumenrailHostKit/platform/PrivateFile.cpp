#include "platform/PrivateFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <system_error>
#include <vector>

namespace lumenrail::PrivateFile {

namespace {

[[noreturn]] void fail(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // close() reports deferred write errors on some file systems, so it is checked.
  int release() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

void fsyncFolder(const std::filesystem::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // Durability of the rename only; the new file itself is already complete.
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

namespace {

Bytes readAll(int fd, const std::filesystem::path& path, size_t maxBytes) {
  Bytes out;
  uint8_t chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno, "read " + path.string());
    }
    if (n == 0) break;
    if (out.size() + static_cast<size_t>(n) > maxBytes) fail(EFBIG, "read " + path.string());
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

void requireOwner(const struct stat& st, const std::filesystem::path& path) {
  if (st.st_uid != ::geteuid()) {
    throw NotPrivate(path.string() + " belongs to another user (uid " + std::to_string(st.st_uid) + ")");
  }
}

}  // namespace

std::optional<Bytes> read(const std::filesystem::path& path, size_t maxBytes) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    fail(errno, "open " + path.string());
  }
  return readAll(fd.get(), path, maxBytes);
}

std::optional<Bytes> readOwn(const std::filesystem::path& path, size_t maxBytes) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    fail(errno, "open " + path.string());
  }
  // Judged on what was opened, so a file swapped in after the check is never read.
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) fail(errno, "stat " + path.string());
  requireOwner(st, path);
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    throw NotPrivate(path.string() + " may be written by other users (mode " + octal(st.st_mode) +
                     "); only its owner may write it");
  }
  if (S_ISREG(st.st_mode) && (st.st_mode & 0077) && ::fchmod(fd.get(), 0600) != 0) fail(errno, "chmod " + path.string());
  return readAll(fd.get(), path, maxBytes);
}

void requireOwnFolder(const std::filesystem::path& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    fail(errno, "stat " + dir.string());
  }
  requireOwner(st, dir);
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    throw NotPrivate(dir.string() + " may be written by other users (mode " + octal(st.st_mode) +
                     "); what lies in it may be theirs");
  }
}

void writeAtomically(const std::filesystem::path& path, ByteView data) {
  const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::string pattern = (dir / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkostemp creates the file 0600 and never reuses an existing name.
  Fd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (fd.get() < 0) fail(errno, "create a temporary file in " + dir.string());
  const std::string tmp(name.data());
  auto abandon = [&](int err, const std::string& what) {
    ::unlink(tmp.c_str());
    fail(err, what);
  };
  if (::fchmod(fd.get(), 0600) != 0) abandon(errno, "chmod " + tmp);
  size_t at = 0;
  while (at < data.size()) {
    const ssize_t n = ::write(fd.get(), data.data() + at, data.size() - at);
    if (n < 0) {
      if (errno == EINTR) continue;
      abandon(errno, "write " + tmp);
    }
    at += static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0) abandon(errno, "fsync " + tmp);
  if (fd.release() != 0) abandon(errno, "close " + tmp);
  if (::rename(tmp.c_str(), path.c_str()) != 0) abandon(errno, "rename " + tmp + " to " + path.string());
  fsyncFolder(dir);
}

void ensureDirectory(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path p = dir; !p.empty(); p = p.parent_path()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) fail(ENOTDIR, "mkdir " + p.string());
      break;
    }
    if (errno != ENOENT) fail(errno, "stat " + p.string());
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) != 0) {
      const int err = errno;
      // Another thread or process may have made it in the meantime.
      struct stat st {};
      if (err == EEXIST && ::stat(it->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      fail(err, "mkdir " + it->string());
    }
    // The umask may have narrowed the mode; 0700 is what we promise, no more.
    if (::chmod(it->c_str(), 0700) != 0) fail(errno, "chmod " + it->string());
  }
}

std::optional<mode_t> ensurePrivateDirectory(const std::filesystem::path& dir) {
  ensureDirectory(dir);
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) fail(errno, "stat " + dir.string());
  requireOwner(st, dir);
  if (!(st.st_mode & (S_IWGRP | S_IWOTH))) return std::nullopt;
  if (::chmod(dir.c_str(), 0700) != 0) fail(errno, "chmod " + dir.string());
  return st.st_mode & 07777;
}

std::optional<std::filesystem::path> setAside(const std::filesystem::path& path) {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
  const std::string stem = path.string() + ".corrupt-" + stamp;
  std::string aside = stem;
  std::error_code ec;
  for (int n = 2; std::filesystem::exists(std::filesystem::symlink_status(aside, ec)); ++n) {
    aside = stem + "-" + std::to_string(n);
  }
  if (::rename(path.c_str(), aside.c_str()) != 0) return std::nullopt;
  return std::filesystem::path(aside);
}

}  // namespace lumenrail::PrivateFile
