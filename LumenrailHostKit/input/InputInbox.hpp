#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "wire/Wire.hpp"

namespace lumenrail {

// One client's input on its way to the injector's queue, bounded. Under a
// flood a sample that only moves its pointers on, in the same state as the
// sample before it and followed by another, is dropped: hover moves first,
// then moves in contact. Presses, releases, proximity and tool changes are
// never dropped, nor caps and releases (back to back they merge into one);
// when only those remain over the bound the caller is told (`overLimit`) and
// holds the client back. Not thread-safe.
class InputInbox final {
 public:
  struct Item {
    enum class Kind : uint8_t { packet, caps, release };
    Kind kind = Kind::packet;
    std::vector<Wire::InputSample> samples;
    Wire::InputCaps caps;
  };

  // In pointer entries (a sample without pointers counts one).
  static constexpr size_t defaultLimit = 4096;

  explicit InputInbox(size_t limit = defaultLimit) : limit_(limit) {}

  void push(Item item);
  std::optional<Item> pop();

  bool empty() const { return items_.empty(); }
  size_t items() const { return items_.size(); }
  size_t size() const { return size_; }
  bool overLimit() const { return size_ > limit_; }
  uint64_t dropped() const { return dropped_; }

 private:
  // Each pointer's id, tool and flags: what decides the mapper's transitions.
  using Signature = std::vector<std::pair<uint8_t, uint16_t>>;
  static Signature signature(const Wire::InputSample& sample);
  static size_t weight(const Wire::InputSample& sample);
  bool dropOne(bool inContact);

  size_t limit_;
  std::deque<Item> items_;
  size_t size_ = 0;
  uint64_t dropped_ = 0;
  // The state the injector is in once everything popped has run; nothing
  // after caps or a release (no pointer is tracked then).
  std::optional<Signature> popped_;
};

}  // namespace lumenrail
