#include "links/PairingUri.hpp"

#include "platform/Base64.hpp"
#include "settings/SiteLinks.hpp"

namespace lumenrail::PairingUri {

std::string webHost() {
  std::string_view root = SiteLinks::root;  // "https://host[/path]/", checked at build time
  if (root.starts_with("https://")) root.remove_prefix(8);
  while (root.ends_with('/')) root.remove_suffix(1);
  return std::string(root);
}

std::string urlEncode(std::string_view text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
        c == '.' || c == '_') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  return out;
}

std::string format(std::string_view host, uint16_t port, const std::optional<Bytes>& psk) {
  std::string link = "https://" + webHost() + "/pair?v=" + std::to_string(schemaVersion) + "&h=" + urlEncode(host) +
                     "&p=" + std::to_string(port);
  if (psk && !psk->empty()) link += "#k=" + Base64::encodeUrl(*psk);
  return link;
}

}  // namespace lumenrail::PairingUri
