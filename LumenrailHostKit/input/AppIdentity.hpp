#pragma once

#include <map>
#include <string>
#include <string_view>

namespace lumenrail {

// Turns an application identifier (a reverse-DNS application id, a desktop
// file name or a window class) into its app stem: a short lower-case name
// that stays the same across editions and versions of one application.
namespace AppIdentity {

const std::map<std::string, std::string>& overrides();
std::string stem(std::string_view bundleId);

}  // namespace AppIdentity

}  // namespace lumenrail
