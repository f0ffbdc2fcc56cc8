#include "input/InputInbox.hpp"

#include <algorithm>

namespace lumenrail {

InputInbox::Signature InputInbox::signature(const Wire::InputSample& sample) {
  Signature sig;
  sig.reserve(sample.pointers.size());
  for (const Wire::InputPointer& p : sample.pointers) {
    sig.emplace_back(p.pointerId, static_cast<uint16_t>((static_cast<uint16_t>(p.tool) << 8) | p.flags));
  }
  std::sort(sig.begin(), sig.end());
  return sig;
}

size_t InputInbox::weight(const Wire::InputSample& sample) { return std::max<size_t>(1, sample.pointers.size()); }

void InputInbox::push(Item item) {
  // Caps release everything too, so caps or a release right after caps or a
  // release leave the same state as the last caps alone: a flood of them
  // queues one.
  if (item.kind != Item::Kind::packet && !items_.empty() && items_.back().kind != Item::Kind::packet) {
    if (item.kind == Item::Kind::caps) items_.back() = std::move(item);
    return;
  }
  for (const auto& s : item.samples) size_ += weight(s);
  if (item.kind != Item::Kind::packet) size_ += 1;
  items_.push_back(std::move(item));
  while (overLimit() && dropOne(false)) {
  }
  while (overLimit() && dropOne(true)) {
  }
}

std::optional<InputInbox::Item> InputInbox::pop() {
  if (items_.empty()) return std::nullopt;
  Item item = std::move(items_.front());
  items_.pop_front();
  for (const auto& s : item.samples) size_ -= weight(s);
  if (item.kind != Item::Kind::packet) {
    size_ -= 1;
    popped_.reset();
  } else if (!item.samples.empty()) {
    popped_ = signature(item.samples.back());
  }
  return item;
}

// Drops the oldest sample that a later one supersedes: same pointers in the
// same state as the sample before it, so no transition goes with it.
bool InputInbox::dropOne(bool inContact) {
  std::optional<Signature> prev = popped_;
  for (auto item = items_.begin(); item != items_.end(); ++item) {
    if (item->kind != Item::Kind::packet) {
      prev.reset();
      continue;
    }
    for (size_t i = 0; i < item->samples.size(); ++i) {
      const Wire::InputSample& sample = item->samples[i];
      Signature sig = signature(sample);
      bool hasNext = i + 1 < item->samples.size();
      for (auto later = std::next(item); !hasNext && later != items_.end(); ++later) {
        if (later->kind != Item::Kind::packet) break;
        hasNext = !later->samples.empty();
      }
      const bool contact = std::any_of(sample.pointers.begin(), sample.pointers.end(), [](const auto& p) {
        return (p.flags & Wire::PenFlag::inContact) != 0;
      });
      if (prev == sig && hasNext && contact == inContact) {
        size_ -= weight(sample);
        item->samples.erase(item->samples.begin() + static_cast<std::ptrdiff_t>(i));
        if (item->samples.empty()) items_.erase(item);  // emptied by the flood, not sent empty
        ++dropped_;
        return true;
      }
      prev = std::move(sig);
    }
  }
  return false;
}

}  // namespace lumenrail
