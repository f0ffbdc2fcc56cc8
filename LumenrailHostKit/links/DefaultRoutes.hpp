#pragma once

// The IPv4 default routes, the Linux stand-in for the system's notion of a
// primary service and of services that have a router.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenrail::DefaultRoutes {

struct Route {
  std::string interfaceName;
  uint32_t metric = 0;
  bool operator==(const Route&) const = default;
};

// The default routes (destination and mask 0, route up) of a /proc/net/route
// table, in the table's order; malformed lines are skipped.
std::vector<Route> parse(std::string_view table);
// The running system's table; empty when it cannot be read.
std::vector<Route> read();

// The interface of the lowest-metric default route, the first one on a tie.
std::optional<std::string> primaryInterface(const std::vector<Route>& routes);

}  // namespace lumenrail::DefaultRoutes
