#pragma once

#include <string>

namespace lumenrail {

// A published release newer than the running host.
struct UpdateRelease {
  std::string version;  // as published
  std::string url;      // where it is downloaded; passed UpdateCheck::isAllowedLink

  bool operator==(const UpdateRelease&) const = default;
};

}  // namespace lumenrail
