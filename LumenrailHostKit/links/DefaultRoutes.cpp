#include "links/DefaultRoutes.hpp"

#include <charconv>
#include <fstream>
#include <iterator>

namespace lumenrail::DefaultRoutes {

namespace {

constexpr uint32_t kRouteUp = 0x1;  // RTF_UP
// The table has a line per route; a few hundred bytes each even on busy hosts.
constexpr size_t kMaxTableBytes = 1 << 20;

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

template <typename T>
bool number(std::string_view text, int base, T& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::vector<Route> parse(std::string_view table) {
  std::vector<Route> routes;
  bool header = true;
  while (!table.empty()) {
    const size_t nl = table.find('\n');
    const std::string_view line = table.substr(0, nl);
    table = nl == std::string_view::npos ? std::string_view() : table.substr(nl + 1);
    if (header) {  // "Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT"
      header = false;
      continue;
    }
    const auto f = fields(line);
    if (f.size() < 8) continue;
    uint32_t destination = 0, flags = 0, metric = 0, mask = 0;
    if (!number(f[1], 16, destination) || !number(f[3], 16, flags) || !number(f[6], 10, metric) ||
        !number(f[7], 16, mask)) {
      continue;
    }
    if (destination != 0 || mask != 0 || !(flags & kRouteUp)) continue;
    routes.push_back(Route{std::string(f[0]), metric});
  }
  return routes;
}

std::vector<Route> read() {
  std::ifstream in("/proc/net/route");
  if (!in) return {};
  std::string text;
  char buffer[4096];
  while (text.size() < kMaxTableBytes && in.read(buffer, sizeof buffer), in.gcount() > 0) {
    text.append(buffer, size_t(in.gcount()));
  }
  if (text.size() >= kMaxTableBytes) text.resize(text.rfind('\n') + 1);  // no half line
  return parse(text);
}

std::optional<std::string> primaryInterface(const std::vector<Route>& routes) {
  const Route* best = nullptr;
  for (const auto& r : routes) {
    if (!best || r.metric < best->metric) best = &r;
  }
  if (!best) return std::nullopt;
  return best->interfaceName;
}

}  // namespace lumenrail::DefaultRoutes
