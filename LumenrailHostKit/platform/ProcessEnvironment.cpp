#include "platform/ProcessEnvironment.hpp"

#include <cstring>

extern char** environ;

namespace lumenrail {

Environment processEnvironment() {
  Environment env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* text = *entry;
    const char* eq = std::strchr(text, '=');
    if (eq == nullptr) continue;
    // The first occurrence wins, as getenv() would see it.
    env.emplace(std::string(text, eq), std::string(eq + 1));
  }
  return env;
}

}  // namespace lumenrail
