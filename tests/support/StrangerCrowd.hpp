#pragma once

// Strangers on the LAN: a number of connections spread over loopback
// addresses, each opening with the bytes it is given and dialling again as
// soon as the server drops it (or, if told so, as soon as the server
// replies), until stopped. A few threads share the addresses.

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "platform/Bytes.hpp"

namespace lumenrail::test {

class StrangerCrowd {
 public:
  // What a new link sends first; made afresh for every link.
  using Opening = std::function<Bytes()>;
  enum class Leave { whenDropped, onReply };

  StrangerCrowd(uint16_t port, uint32_t firstAddress, int addresses, int linksPerAddress, Opening opening,
                Leave leave = Leave::whenDropped);
  ~StrangerCrowd();
  StrangerCrowd(const StrangerCrowd&) = delete;
  StrangerCrowd& operator=(const StrangerCrowd&) = delete;

  void stop();
  // Links dialled so far, and how many of them are open now.
  int64_t dialled() const { return dialled_.load(); }
  int64_t open() const { return open_.load(); }

 private:
  void run(std::vector<uint32_t> addresses, int links);

  const uint16_t port_;
  const Opening opening_;
  const Leave leave_;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> dialled_{0};
  std::atomic<int64_t> open_{0};
  std::vector<std::thread> threads_;
};

// Opening bytes of the pairing prologue: the magic, then a ClientKeyx for
// `identityKey` (32 bytes) from a fresh ephemeral key, with an empty tail (a
// client that can show the code).
Bytes pairingHelloNaming(ByteView identityKey);

}  // namespace lumenrail::test
