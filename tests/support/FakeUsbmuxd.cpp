#include "support/FakeUsbmuxd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <stdexcept>

namespace lumenrail::test {

namespace {

uint32_t le32At(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool readExact(int fd, uint8_t* out, size_t n, int timeoutMs) {
  size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    const ssize_t k = ::recv(fd, out + got, n - got, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    got += size_t(k);
  }
  return true;
}

void sendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t k = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return;
    sent += size_t(k);
  }
}

}  // namespace

std::string FakeUsbmuxd::freshPath() {
  static std::atomic<int> counter{0};
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp && *tmp ? tmp : "/tmp";
  return dir + "/lr-usbmuxd-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".sock";
}

FakeUsbmuxd::FakeUsbmuxd(Handler handler) : FakeUsbmuxd(freshPath(), std::move(handler)) {}

FakeUsbmuxd::FakeUsbmuxd(std::string path, Handler handler) : path_(std::move(path)), handler_(std::move(handler)) {
  ::unlink(path_.c_str());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (listenFd_ < 0 || path_.size() >= sizeof addr.sun_path) throw std::runtime_error("fake usbmuxd: socket");
  std::memcpy(addr.sun_path, path_.data(), path_.size());
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 16) != 0) {
    throw std::runtime_error("fake usbmuxd: bind " + path_ + ": " + std::strerror(errno));
  }
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("fake usbmuxd: pipe");
  thread_ = std::thread([this] { serve(); });
}

FakeUsbmuxd::~FakeUsbmuxd() {
  if (stopPipe_[1] >= 0) (void)!::write(stopPipe_[1], "x", 1);
  if (thread_.joinable()) thread_.join();
  ::close(listenFd_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  ::unlink(path_.c_str());
  std::lock_guard lock(mutex_);
  for (int fd : tunnels_) ::close(fd);
  for (int fd : held_) ::close(fd);
}

void FakeUsbmuxd::serve() {
  for (;;) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    const int r = ::poll(p, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (p[1].revents & POLLIN)) return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    handle(fd);
  }
}

void FakeUsbmuxd::handle(int fd) {
  uint8_t header[16];
  Request request;
  if (!readExact(fd, header, sizeof header, 10000)) {
    ::close(fd);
    return;
  }
  request.length = le32At(header);
  request.version = le32At(header + 4);
  request.type = le32At(header + 8);
  request.tag = le32At(header + 12);
  if (request.length < 16 || request.length > (1u << 20)) {
    ::close(fd);
    return;
  }
  request.body.resize(request.length - 16);
  if (!readExact(fd, reinterpret_cast<uint8_t*>(request.body.data()), request.body.size(), 10000)) {
    ::close(fd);
    return;
  }
  // The requests are flat dictionaries of strings and integers.
  static const std::regex entry(R"(<key>([^<]*)</key>\s*<(string|integer)>([^<]*)</(string|integer)>)");
  for (auto it = std::sregex_iterator(request.body.begin(), request.body.end(), entry); it != std::sregex_iterator();
       ++it) {
    if ((*it)[2] == "string") {
      request.strings[(*it)[1]] = (*it)[3];
    } else {
      request.integers[(*it)[1]] = std::stoll((*it)[3]);
    }
  }
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    cv_.notify_all();
  }
  const Reply reply = handler_(request);
  if (reply.action == Reply::Action::hang) {
    std::lock_guard lock(mutex_);
    held_.push_back(fd);
    return;
  }
  if (reply.action == Reply::Action::close) {
    ::close(fd);
    return;
  }
  sendAll(fd, reply.bytes);
  if (reply.closeAfter) {
    ::close(fd);
    return;
  }
  if (reply.tunnel) {
    std::lock_guard lock(mutex_);
    tunnels_.push_back(fd);
    cv_.notify_all();
    return;
  }
  // Wait (bounded) for the client to close its end: it must, on every path.
  uint8_t scratch[256];
  bool closed = false;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, 10000);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    const ssize_t k = ::recv(fd, scratch, sizeof scratch, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      closed = k == 0;
      break;
    }
  }
  ::close(fd);
  std::lock_guard lock(mutex_);
  if (closed) ++clientCloses_;
  cv_.notify_all();
}

std::vector<FakeUsbmuxd::Request> FakeUsbmuxd::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int FakeUsbmuxd::requestCount() const {
  std::lock_guard lock(mutex_);
  return int(requests_.size());
}

bool FakeUsbmuxd::waitForRequests(int count, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return int(requests_.size()) >= count; });
}

int FakeUsbmuxd::clientCloses() const {
  std::lock_guard lock(mutex_);
  return clientCloses_;
}

bool FakeUsbmuxd::waitForClientCloses(int count, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return clientCloses_ >= count; });
}

int FakeUsbmuxd::takeTunnel(int timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !tunnels_.empty(); })) return -1;
  const int fd = tunnels_.front();
  tunnels_.erase(tunnels_.begin());
  return fd;
}

std::vector<uint8_t> FakeUsbmuxd::message(const std::string& body, uint32_t tag) {
  std::vector<uint8_t> out;
  const uint32_t fields[4] = {uint32_t(16 + body.size()), 1, 8, tag};
  for (uint32_t v : fields) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::string FakeUsbmuxd::plistDict(const std::string& inner) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<plist version=\"1.0\">\n<dict>\n" +
         inner + "</dict>\n</plist>\n";
}

const std::string FakeUsbmuxd::kNetworkAndUsbDevices =
    "<key>DeviceList</key><array>\n"
    "<dict><key>DeviceID</key><integer>3</integer><key>Properties</key><dict>"
    "<key>ConnectionType</key><string>Network</string><key>SerialNumber</key><string>net-1</string></dict></dict>\n"
    "<dict><key>DeviceID</key><integer>5</integer><key>Properties</key><dict>"
    "<key>ConnectionType</key><string>USB</string><key>SerialNumber</key><string>usb-5</string></dict></dict>\n"
    "</array>\n";

const std::string FakeUsbmuxd::kNetworkDeviceOnly =
    "<key>DeviceList</key><array>\n"
    "<dict><key>DeviceID</key><integer>3</integer><key>Properties</key><dict>"
    "<key>ConnectionType</key><string>Network</string><key>SerialNumber</key><string>net-1</string></dict></dict>\n"
    "</array>\n";

FakeUsbmuxd::Reply FakeUsbmuxd::dictReply(const std::string& inner) {
  return Reply{Reply::Action::send, message(plistDict(inner)), false};
}

FakeUsbmuxd::Reply FakeUsbmuxd::resultReply(int number) {
  Reply r = dictReply("<key>MessageType</key><string>Result</string><key>Number</key><integer>" +
                      std::to_string(number) + "</integer>\n");
  r.tunnel = number == 0;
  return r;
}

bool FakeUsbmuxd::isListDevices(const Request& request) {
  const auto it = request.strings.find("MessageType");
  return it != request.strings.end() && it->second == "ListDevices";
}

}  // namespace lumenrail::test
