#include "support/ShapedLink.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/ChildProcess.hpp"

namespace lumenrail::test {

namespace {

// The veth ends; names are per namespace, so no other link can clash with them.
constexpr const char* kHostEnd = "lrhost0";
constexpr const char* kClientEnd = "lrclient0";

std::string findTool(const char* name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    const std::string path = std::string(dir) + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

// A fresh namespace, held by the descriptor returned (-1 with `err`).
int newNamespace(int& err) {
  int fd = -1;
  err = 0;
  // unshare() moves only the calling thread; a thread of its own keeps the test's threads where they are.
  std::thread([&] {
    if (::unshare(CLONE_NEWNET) != 0) {
      err = errno;
      return;
    }
    fd = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (fd < 0) err = errno;
  }).join();
  return fd;
}

}  // namespace

std::unique_ptr<ShapedLink> ShapedLink::make(const Shape& shape, std::string& whyNot) {
  if (findTool("ip").empty() || findTool("tc").empty()) {
    whyNot = "the ip and tc tools (iproute2) are not installed";
    return nullptr;
  }
  std::unique_ptr<ShapedLink> link(new ShapedLink());
  link->shape_ = shape;
  int err = 0;
  link->hostNs_ = newNamespace(err);
  if (link->hostNs_ >= 0) link->clientNs_ = newNamespace(err);
  if (link->clientNs_ < 0) {
    whyNot = std::string("cannot make a network namespace (") + std::strerror(err) + "; needs root or CAP_SYS_ADMIN)";
    return nullptr;
  }
  const std::string clientNsPath = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(link->clientNs_);
  const std::string hostCidr = std::string(hostAddress) + "/24";
  const std::string clientCidr = std::string(clientAddress) + "/24";
  const std::vector<std::pair<int, std::vector<std::string>>> steps = {
      {link->hostNs_, {"ip", "link", "add", kHostEnd, "type", "veth", "peer", "name", kClientEnd}},
      {link->hostNs_, {"ip", "link", "set", kClientEnd, "netns", clientNsPath}},
      {link->hostNs_, {"ip", "addr", "add", hostCidr, "dev", kHostEnd}},
      {link->hostNs_, {"ip", "link", "set", kHostEnd, "up"}},
      {link->hostNs_, {"ip", "link", "set", "lo", "up"}},  // the fast client's way to the host
      {link->clientNs_, {"ip", "addr", "add", clientCidr, "dev", kClientEnd}},
      {link->clientNs_, {"ip", "link", "set", kClientEnd, "up"}},
      {link->hostNs_,
       {"tc", "qdisc", "add", "dev", kHostEnd, "root", "tbf", "rate", std::to_string(shape.rateBitsPerSecond) + "bit", "burst",
        std::to_string(shape.burstBytes), "latency", std::to_string(shape.queueLatencyMs) + "ms"}},
  };
  auto all = steps;
  if (!shape.congestion.empty()) {
    // On the route: a namespace may not set its default.
    all.push_back({link->hostNs_,
                   {"ip", "route", "replace", hostCidr.substr(0, hostCidr.rfind('.')) + ".0/24", "dev", kHostEnd, "src",
                    hostAddress, "congctl", shape.congestion}});
  }
  for (const auto& [ns, argv] : all) {
    std::string output;
    if (!link->run(ns, argv, output)) {
      std::string command;
      for (const auto& a : argv) command += (command.empty() ? "" : " ") + a;
      whyNot = "'" + command + "' failed: " + output;
      return nullptr;
    }
  }
  return link;
}

ShapedLink::~ShapedLink() {
  // The last descriptor of each namespace: the kernel removes it and the veth pair with it.
  if (hostNs_ >= 0) ::close(hostNs_);
  if (clientNs_ >= 0) ::close(clientNs_);
}

void ShapedLink::inNamespace(int nsFd, const std::function<void()>& work) {
  std::exception_ptr failure;
  std::thread([&] {
    try {
      if (::setns(nsFd, CLONE_NEWNET) != 0) throw std::runtime_error(std::string("setns: ") + std::strerror(errno));
      work();
    } catch (...) {
      failure = std::current_exception();
    }
  }).join();
  if (failure) std::rethrow_exception(failure);
}

bool ShapedLink::run(int nsFd, const std::vector<std::string>& argv, std::string& output) const {
  char logPath[] = "/tmp/lumenrail-shaped-XXXXXX";
  const int logFd = ::mkstemp(logPath);
  if (logFd < 0) return false;
  ::close(logFd);
  std::vector<std::string> full = argv;
  full[0] = findTool(argv[0].c_str());
  int status = -1;
  // The child inherits the namespace of the thread that forks it.
  inNamespace(nsFd, [&] {
    const pid_t pid = spawnLogged(full, {}, logPath, false, true);
    if (pid > 0) {
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
  });
  std::ifstream in(logPath);
  std::stringstream text;
  text << in.rdbuf();
  output = text.str();
  ::unlink(logPath);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int ShapedLink::connectTo(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  ::inet_pton(AF_INET, hostAddress, &addr.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

int ShapedLink::connectClient(uint16_t port) const {
  int fd = -1;
  onClientSide([&] { fd = connectTo(port); });
  return fd;
}

int ShapedLink::connectFast(uint16_t port) const {
  int fd = -1;
  onHostSide([&] { fd = connectTo(port); });
  return fd;
}

}  // namespace lumenrail::test
