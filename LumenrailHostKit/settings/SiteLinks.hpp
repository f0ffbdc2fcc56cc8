#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumenrail::SiteLinks {

// The product web site's root (a build setting): an https URL ending in "/".
extern const std::string_view root;

// The site's folder for a language tag ("pt_BR", "zh-Hant-TW"); nothing for
// languages served from the root (English included).
std::optional<std::string> prefix(std::string_view language);

// A link under `root` moved into the language's folder; any other link as it is.
std::string localized(std::string_view link, std::string_view language);

}  // namespace lumenrail::SiteLinks
