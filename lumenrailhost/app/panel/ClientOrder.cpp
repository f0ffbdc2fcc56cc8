#include "app/panel/ClientOrder.hpp"

#include <algorithm>

namespace lumenrail {

std::vector<SessionClient> ClientOrder::arrange(std::vector<SessionClient> clients) {
  const auto rank = [this](const SessionClient& c) {
    const auto at = std::find(seen_.begin(), seen_.end(), Seen{c.fd, c.fingerprint});
    return at == seen_.end() ? seen_.size() : static_cast<size_t>(at - seen_.begin());
  };
  std::stable_sort(clients.begin(), clients.end(), [&](const SessionClient& a, const SessionClient& b) {
    const size_t ra = rank(a), rb = rank(b);
    return ra != rb ? ra < rb : a.fd < b.fd;
  });
  seen_.clear();
  for (const auto& c : clients) seen_.push_back({c.fd, c.fingerprint});
  return clients;
}

}  // namespace lumenrail
