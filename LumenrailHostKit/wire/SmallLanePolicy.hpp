#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "wire/ClientModePolicy.hpp"

namespace lumenrail::SmallLanePolicy {

// The shared second stream for clients whose panel is smaller than the main one.
struct Plan {
  ClientModePolicy::Mode mode;
  std::set<int32_t> members;  // client socket descriptors
  bool operator==(const Plan&) const = default;
};

// True when the panel is at least as wide and as high as the stream; the rate does not matter.
bool fits(const ClientModePolicy::Mode& stream, const ClientModePolicy::Mode& panel);

// The small lane the non-primary clients in `panels` (keyed by socket descriptor)
// need, or nothing when every one of them can show the main stream.
std::optional<Plan> plan(const ClientModePolicy::Mode& stream, std::optional<int32_t> primary,
                         const std::map<int32_t, ClientModePolicy::Mode>& panels);

}  // namespace lumenrail::SmallLanePolicy
