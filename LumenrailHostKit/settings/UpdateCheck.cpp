#include "settings/UpdateCheck.hpp"

#include <nlohmann/json.hpp>

#include "platform/HttpGet.hpp"

#ifndef LUMENRAIL_MAKER_SITE_ROOT
#define LUMENRAIL_MAKER_SITE_ROOT "https://quillmark.example/"
#endif

namespace lumenrail::UpdateCheck {

extern const std::string_view allowedLinkPrefix = LUMENRAIL_MAKER_SITE_ROOT;
extern const std::string_view manifestURL = LUMENRAIL_MAKER_SITE_ROOT "get/lumenrail/latest.json";

static_assert(std::string_view(LUMENRAIL_MAKER_SITE_ROOT).starts_with("https://") &&
                  std::string_view(LUMENRAIL_MAKER_SITE_ROOT).ends_with("/"),
              "the maker site root must be an https URL ending in /");

namespace {

using nlohmann::json;

std::optional<json> parseObject(ByteView body) {
  json parsed = json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

const json* member(const json& object, std::string_view key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::optional<UpdateRelease> releaseIn(const json& top, std::string_view platform) {
  const json* entry = member(top, platform);
  if (entry == nullptr || !entry->is_object()) return std::nullopt;
  const json* version = member(*entry, "version");
  const json* url = member(*entry, "url");
  if (version == nullptr || url == nullptr || !version->is_string() || !url->is_string()) return std::nullopt;
  const auto& versionText = version->get_ref<const std::string&>();
  const auto& urlText = url->get_ref<const std::string&>();
  if (!parseVersion(versionText)) return std::nullopt;
  if (!isAllowedLink(urlText) || !isWellFormedUrl(urlText)) return std::nullopt;
  return UpdateRelease{versionText, urlText};
}

}  // namespace

std::optional<Version> parseVersion(std::string_view text) {
  Version out{0, 0, 0, 0};
  size_t index = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find('.', start);
    const std::string_view part = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (index >= out.size() || part.empty() || part.size() > 6) return std::nullopt;
    int64_t value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    out[index++] = value;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return out;
}

int compare(std::string_view a, std::string_view b) {
  const auto va = parseVersion(a);
  const auto vb = parseVersion(b);
  if (!va || !vb) return 0;
  for (size_t i = 0; i < va->size(); ++i) {
    if ((*va)[i] != (*vb)[i]) return (*va)[i] < (*vb)[i] ? -1 : 1;
  }
  return 0;
}

bool isNewer(std::string_view version, std::string_view than) {
  return parseVersion(version) && parseVersion(than) && compare(version, than) > 0;
}

bool isAllowedLink(std::string_view link) {
  if (!link.starts_with(allowedLinkPrefix)) return false;
  // Any byte of a non-ASCII scalar is 0x80 or above, so bytes decide.
  for (unsigned char c : link) {
    if (c < 0x21 || c > 0x7E || c == '"' || c == '\\') return false;
  }
  return true;
}

std::optional<UpdateRelease> parseManifest(ByteView body, std::string_view platform) {
  const auto top = parseObject(body);
  if (!top) return std::nullopt;
  return releaseIn(*top, platform);
}

std::optional<ManifestInfo> parseManifestInfo(ByteView body, std::string_view platform) {
  const auto top = parseObject(body);
  if (!top) return std::nullopt;
  ManifestInfo info;
  info.release = releaseIn(*top, platform);
  if (info.release) {
    const json* entry = member(*top, platform);
    if (const json* min = member(*entry, "min"); min != nullptr && min->is_string()) {
      const auto& text = min->get_ref<const std::string&>();
      if (parseVersion(text)) info.min = text;
    }
  }
  info.minClient = parseMinClient(member(*top, "min_client"));
  return info;
}

int64_t parseMinClient(const nlohmann::json* value) {
  if (value == nullptr || !value->is_number_integer()) return 0;  // booleans and doubles are not
  if (value->is_number_unsigned()) {
    const auto n = value->get<uint64_t>();
    return n <= 65535 ? static_cast<int64_t>(n) : 0;
  }
  const auto n = value->get<int64_t>();
  return n >= 0 && n <= 65535 ? n : 0;
}

std::pair<HostUpdate, std::string> hostUpdate(std::string_view running, const std::optional<ManifestInfo>& info) {
  if (!info) return {HostUpdate::none, ""};
  const bool newer = info->release && isNewer(info->release->version, running);
  if (info->min && parseVersion(running) && compare(running, *info->min) < 0) {
    return {HostUpdate::required, newer ? info->release->version : ""};
  }
  if (newer) return {HostUpdate::available, info->release->version};
  return {HostUpdate::none, ""};
}

bool recheckAllowed(double now, std::optional<double> last) {
  if (!last) return true;
  return now >= *last && now - *last >= recheckMinInterval;
}

bool shouldAnnounce(std::string_view version, std::optional<std::string_view> lastAnnounced) {
  if (!parseVersion(version)) return false;
  if (!lastAnnounced || !parseVersion(*lastAnnounced)) return true;
  return compare(version, *lastAnnounced) > 0;
}

}  // namespace lumenrail::UpdateCheck
