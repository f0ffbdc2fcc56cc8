#pragma once

// A loopback wire client for the latency benchmarks: reads every packet and
// notes when the last byte of each frame arrived, by the frame's capture
// ticks. It declares no features, so frames come whole and unsealed.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/Clock.hpp"

namespace lumenrail {

class BenchFrameReceiver {
 public:
  explicit BenchFrameReceiver(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connected_) thread_ = std::thread([this] { run(); });
  }
  ~BenchFrameReceiver() {
    ::shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  bool connected() const { return connected_; }

  // When the frame stamped `ticks` was read whole; nothing if it did not come within 10 s.
  std::optional<uint64_t> arrivalOf(uint64_t ticks) {
    std::unique_lock lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return ended_ || arrivals_.count(ticks) != 0; });
    const auto it = arrivals_.find(ticks);
    if (it == arrivals_.end()) return std::nullopt;
    return it->second;
  }

  struct Arrival {
    uint64_t ticks = 0;
    uint64_t ns = 0;
  };
  // The `index`th frame read since the connection (counting from 0), with
  // its ticks; nothing if it did not come within 10 s.
  std::optional<Arrival> nth(size_t index) {
    std::unique_lock lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return ended_ || order_.size() > index; });
    if (order_.size() <= index) return std::nullopt;
    return order_[index];
  }

 private:
  static constexpr size_t kKept = 1024;
  static constexpr size_t kOrdered = 1 << 20;

  bool fill(uint8_t* p, size_t n) {
    while (n > 0) {
      const ssize_t k = ::recv(fd_, p, n, 0);
      if (k <= 0) return false;
      p += k;
      n -= size_t(k);
    }
    return true;
  }
  void run() {
    std::vector<uint8_t> payload;
    uint8_t header[5];
    while (fill(header, sizeof header)) {
      const uint32_t len = uint32_t(header[1]) | uint32_t(header[2]) << 8 | uint32_t(header[3]) << 16 |
                           uint32_t(header[4]) << 24;
      if (len > (64u << 20)) break;
      payload.resize(len);
      if (!fill(payload.data(), len)) break;
      const uint64_t now = uptimeNs();
      if (header[0] != 0x03 || len < 8) continue;
      uint64_t ticks = 0;
      for (int i = 7; i >= 0; --i) ticks = ticks << 8 | payload[size_t(i)];
      std::lock_guard lock(m_);
      arrivals_.emplace(ticks, now);
      if (order_.size() < kOrdered) order_.push_back({ticks, now});
      if (arrivals_.size() > kKept) arrivals_.erase(arrivals_.begin());
      cv_.notify_all();
    }
    std::lock_guard lock(m_);
    ended_ = true;
    cv_.notify_all();
  }

  int fd_ = -1;
  bool connected_ = false;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  std::map<uint64_t, uint64_t> arrivals_;
  std::vector<Arrival> order_;
  bool ended_ = false;
};

inline double benchPercentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(double(v.size() - 1) * p + 0.5))];
}

}  // namespace lumenrail
