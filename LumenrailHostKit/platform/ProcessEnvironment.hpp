#pragma once

#include <map>
#include <string>

namespace lumenrail {

using Environment = std::map<std::string, std::string>;

// A copy of the process environment; entries without "=" are skipped.
Environment processEnvironment();

}  // namespace lumenrail
