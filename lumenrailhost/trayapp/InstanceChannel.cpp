#include "trayapp/InstanceChannel.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <QSocketNotifier>

namespace lumenrail {

namespace {

constexpr char kShow[] = "show\n";
constexpr char kOk[] = "ok\n";

bool addressOf(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

uint64_t monotonicNs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(t.tv_nsec);
}

// Waits for `events` on `fd` until `deadlineNs`; false on timeout or error.
bool waitFor(int fd, short events, uint64_t deadlineNs) {
  for (;;) {
    const uint64_t now = monotonicNs();
    if (now >= deadlineNs) return false;
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, static_cast<int>((deadlineNs - now) / 1'000'000 + 1));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
  }
}

// The other end runs as this user: a socket of another account is never
// asked anything, nor obeyed.
bool peerIsUs(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer &&
         peer.uid == ::geteuid();
}

}  // namespace

std::string InstanceChannel::socketPath(const std::string& lockPath) {
  const std::string suffix = ".lock";
  if (lockPath.size() > suffix.size() && lockPath.compare(lockPath.size() - suffix.size(), suffix.size(), suffix) == 0) {
    return lockPath.substr(0, lockPath.size() - suffix.size()) + ".sock";
  }
  return lockPath + ".sock";
}

bool InstanceChannel::askToShow(const std::string& socketPath, uint64_t timeoutNs) {
  sockaddr_un address;
  if (!addressOf(socketPath, address)) return false;
  struct stat st {};
  if (::lstat(socketPath.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid()) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const uint64_t deadline = monotonicNs() + timeoutNs;
  bool ok = false;
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0 || errno == EINPROGRESS || errno == EAGAIN) {
    if ((rc == 0 || waitFor(fd, POLLOUT, deadline)) && peerIsUs(fd)) {
      if (::send(fd, kShow, sizeof kShow - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof kShow - 1)) {
        char reply[8] = {};
        size_t got = 0;
        while (got < sizeof kOk - 1 && waitFor(fd, POLLIN, deadline)) {
          const ssize_t n = ::recv(fd, reply + got, sizeof reply - 1 - got, 0);
          if (n > 0) {
            got += static_cast<size_t>(n);
          } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            break;
          }
        }
        ok = std::strncmp(reply, kOk, sizeof kOk - 1) == 0;
      }
    }
  }
  ::close(fd);
  return ok;
}

InstanceChannel::InstanceChannel(const std::string& socketPath, std::function<void()> onShow)
    : path_(socketPath), onShow_(std::move(onShow)) {
  sockaddr_un address;
  if (!addressOf(path_, address)) {
    error_ = path_ + ": path too long for a socket";
    return;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error_ = std::string("socket: ") + std::strerror(errno);
    return;
  }
  // The lock is ours, so whatever sits here was left by an instance that died.
  ::unlink(path_.c_str());
  // The runtime folder is the user's alone; the socket is made owner-only too.
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                     ::chmod(path_.c_str(), 0600) == 0;
  if (!bound || ::listen(fd, 4) != 0) {
    error_ = path_ + ": " + std::strerror(errno);
    ::close(fd);
    return;
  }
  fd_ = fd;
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { accept(); });
}

InstanceChannel::~InstanceChannel() {
  notifier_.reset();
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
}

void InstanceChannel::accept() {
  for (;;) {
    const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (!peerIsUs(client)) {
      ::close(client);
      continue;
    }
    // A request is one short line, read when it arrives.
    auto* reader = new QSocketNotifier(client, QSocketNotifier::Read, notifier_.get());
    QObject::connect(reader, &QSocketNotifier::activated, reader, [this, reader, client] {
      char request[16] = {};
      const ssize_t n = ::recv(client, request, sizeof request - 1, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
      const bool show = n > 0 && std::strncmp(request, kShow, sizeof kShow - 1) == 0;
      if (show) {
        [[maybe_unused]] const ssize_t sent = ::send(client, kOk, sizeof kOk - 1, MSG_NOSIGNAL);
      }
      reader->setEnabled(false);
      reader->deleteLater();
      ::close(client);
      if (show && onShow_) onShow_();
    });
  }
}

}  // namespace lumenrail
