#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace lumenrail {

// Tells when "input is blocked" begins and ends, but only while it matters:
// with a client connected. Polled from one thread; no lock.
class InputGrantWatch final {
 public:
  enum class Edge : uint8_t { blocked, cleared };

  // `probe`: true when input may be posted.
  explicit InputGrantWatch(std::function<bool()> probe) : probe_(std::move(probe)) {}

  bool isBlocked() const { return isBlocked_; }
  std::optional<Edge> poll(bool clientConnected);

 private:
  std::function<bool()> probe_;
  bool isBlocked_ = false;
};

}  // namespace lumenrail
