#include "support/TinyHttpServer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace lumenrail::test {

namespace {

std::string reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace

TinyHttpServer::TinyHttpServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("TinyHttpServer: socket failed");
  const int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = loopback(0);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 16) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("TinyHttpServer: bind/listen failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("TinyHttpServer: pipe failed");
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("TinyHttpServer: pipe failed");
  stopRead_ = pipeFds[0];
  stopWrite_ = pipeFds[1];
  acceptThread_ = NamedThread("lumenrail-test-http", [this] { acceptLoop(); });
}

TinyHttpServer::~TinyHttpServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  release();  // held bodies stop waiting
  ::close(stopWrite_);  // and so do connections still waiting for their request
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptThread_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& t : connections) t.join();
  ::close(listenFd_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
  ::close(stopRead_);
}

std::string TinyHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TinyHttpServer::respond(const std::string& path, Response response) {
  std::lock_guard lock(mutex_);
  routes_[path] = std::move(response);
}

void TinyHttpServer::release() {
  // The pipe is never drained, so a release stays visible to every poll.
  const char byte = 1;
  ssize_t n;
  do {
    n = ::write(wakeWrite_, &byte, 1);
  } while (n < 0 && errno == EINTR);
}

std::vector<std::string> TinyHttpServer::requestLines() const {
  std::lock_guard lock(mutex_);
  return requestLines_;
}

void TinyHttpServer::acceptLoop() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // shut down
    }
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    connections_.emplace_back([this, fd] {
      serve(fd);
      ::close(fd);
    });
  }
}

bool TinyHttpServer::sendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void TinyHttpServer::serve(int fd) {
  std::string request;
  char buf[4096];
  // A client that connects and never sends its request is given up on, at
  // the latest when the server is destroyed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(kDeadlineNs);
  while (request.find("\r\n\r\n") == std::string::npos) {
    if (request.size() > 16384) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopRead_, POLLIN, 0}};
    const int r = ::poll(fds, 2, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || fds[1].revents != 0) return;
    if (r == 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    request.append(buf, static_cast<size_t>(n));
  }
  const std::string line = request.substr(0, request.find("\r\n"));
  const size_t sp1 = line.find(' ');
  const size_t sp2 = line.find(' ', sp1 + 1);
  const std::string path = sp1 == std::string::npos ? "" : line.substr(sp1 + 1, sp2 - sp1 - 1);
  Response response;
  {
    std::lock_guard lock(mutex_);
    requestLines_.push_back(line);
    auto it = routes_.find(path);
    if (it != routes_.end()) {
      response = it->second;
    } else {
      response = Response{404, "not found\n"};
    }
  }
  requests.add();

  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
  head += "Content-Type: application/json\r\n";
  if (response.sendContentLength) {
    head += "Content-Length: " + std::to_string(response.body.size() + response.trailingSpaces) + "\r\n";
  }
  head += "Connection: close\r\n\r\n";
  if (!sendAll(fd, head.data(), head.size())) return;

  if (response.holdBody) {
    holding.add();
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    for (;;) {
      const int r = ::poll(fds, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return;
      if (fds[0].revents != 0) {
        // The client sends nothing after its request: readable means gone.
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) {
          peerClosedWhileHeld.add();
          return;
        }
      }
      if (fds[1].revents != 0) break;
    }
  }

  bool whole = sendAll(fd, response.body.data(), response.body.size());
  if (whole && response.trailingSpaces > 0) {
    const std::string spaces(65536, ' ');
    size_t left = response.trailingSpaces;
    while (whole && left > 0) {
      const size_t n = std::min(left, spaces.size());
      whole = sendAll(fd, spaces.data(), n);
      left -= n;
    }
  }
  if (whole) {
    bodySent.add();
    ::shutdown(fd, SHUT_WR);
  } else {
    bodyCutShort.add();
  }
}

RefusingPort::RefusingPort() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = loopback(0);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("RefusingPort: bind failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
}

RefusingPort::~RefusingPort() { ::close(fd_); }

}  // namespace lumenrail::test
