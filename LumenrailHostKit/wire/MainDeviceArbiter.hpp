#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <set>

namespace lumenrail::MainDeviceArbiter {

// What to do with a display-mode request.
enum class Decision : uint8_t {
  adopt,   // nobody owns the mode: the requester becomes the owner and is applied
  honor,   // the owner asked: apply it
  ignore,  // someone else owns the mode: keep it
};

template <std::equality_comparable Id>
Decision decide(const std::optional<Id>& main, const Id& incoming) {
  if (!main) return Decision::adopt;
  return *main == incoming ? Decision::honor : Decision::ignore;
}

// The next owner when the current one leaves: the lowest live client whose
// mode is known, else the lowest live client, else nobody. With socket
// descriptors the lowest is the client that connected earliest.
template <std::totally_ordered Id>
std::optional<Id> promote(const std::set<Id>& live, const std::set<Id>& known) {
  if (live.empty()) return std::nullopt;
  for (const Id& id : live) {
    if (known.contains(id)) return id;
  }
  return *live.begin();
}

}  // namespace lumenrail::MainDeviceArbiter
