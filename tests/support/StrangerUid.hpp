#pragma once

#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#include <optional>

namespace lumenrail::test {

// A user id without a password-database entry, when the test runs as root
// (so it can give files to that user); nothing otherwise (the caller skips).
inline std::optional<uid_t> unknownUid() {
  if (::geteuid() != 0) return std::nullopt;
  for (uid_t uid = 4'242'424; uid < 4'242'524; ++uid) {
    if (::getpwuid(uid) == nullptr) return uid;
  }
  return std::nullopt;
}

}  // namespace lumenrail::test
