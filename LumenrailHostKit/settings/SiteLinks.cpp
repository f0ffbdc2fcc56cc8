#include "settings/SiteLinks.hpp"

#include <array>

#ifndef LUMENRAIL_PRODUCT_SITE_ROOT
#define LUMENRAIL_PRODUCT_SITE_ROOT "https://lumenrail.quillmark.example/"
#endif

namespace lumenrail::SiteLinks {

extern const std::string_view root = LUMENRAIL_PRODUCT_SITE_ROOT;

static_assert(std::string_view(LUMENRAIL_PRODUCT_SITE_ROOT).starts_with("https://") &&
                  std::string_view(LUMENRAIL_PRODUCT_SITE_ROOT).ends_with("/"),
              "the product site root must be an https URL ending in /");

std::optional<std::string> prefix(std::string_view language) {
  std::string tag(language);
  for (char& c : tag) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '_') c = '-';
  }
  std::string_view base = tag;
  for (size_t start = 0; start < tag.size();) {
    const size_t dash = tag.find('-', start);
    const size_t end = dash == std::string::npos ? tag.size() : dash;
    if (end > start) {
      base = std::string_view(tag).substr(start, end - start);
      break;
    }
    start = end + 1;
  }

  static constexpr std::array<std::string_view, 6> kSameAsBase = {"es", "de", "fr", "it", "ja", "ko"};
  for (std::string_view known : kSameAsBase) {
    if (base == known) return std::string(base);
  }
  if (base == "pt") {
    if (tag == "pt-br") return "pt-br";
    return std::nullopt;
  }
  if (base == "zh") {
    const std::string_view t = tag;
    if (t.find("hant") != std::string_view::npos || t.ends_with("-tw") || t.ends_with("-hk") || t.ends_with("-mo")) {
      return "zh-tw";
    }
    return "zh-cn";
  }
  return std::nullopt;
}

std::string localized(std::string_view link, std::string_view language) {
  if (!link.starts_with(root)) return std::string(link);
  const auto folder = prefix(language);
  if (!folder) return std::string(link);
  return std::string(root) + *folder + "/" + std::string(link.substr(root.size()));
}

}  // namespace lumenrail::SiteLinks
