#pragma once

// The order the panel lists connected clients in: the order they joined, so
// a row never moves when another device connects (socket numbers are reused
// at once on Linux, so they say nothing about who came first). Only what it
// is shown is remembered: clients that join while nobody looks go at the end,
// lowest socket first.

#include <optional>
#include <string>
#include <vector>

#include "app/panel/PanelSource.hpp"

namespace lumenrail {

class ClientOrder final {
 public:
  // `clients` in the order they joined; remembers them for the next call.
  std::vector<SessionClient> arrange(std::vector<SessionClient> clients);

 private:
  // A reused socket number under another identity is another client.
  struct Seen {
    int32_t fd = -1;
    std::optional<std::string> fingerprint;
    bool operator==(const Seen&) const = default;
  };
  std::vector<Seen> seen_;
};

}  // namespace lumenrail
