#pragma once

// The rules of the update check: versions, allowed links, the manifest and
// the verdict. Pure functions; any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json_fwd.hpp>

#include "platform/Bytes.hpp"
#include "settings/UpdateRelease.hpp"
#include "wire/HostUpdate.hpp"

namespace lumenrail::UpdateCheck {

// The maker site root (a build setting): an https URL ending in "/".
extern const std::string_view allowedLinkPrefix;
// allowedLinkPrefix + "get/lumenrail/latest.json".
extern const std::string_view manifestURL;

inline constexpr double firstCheckDelay = 60.0;
inline constexpr double checkInterval = 86400.0;
inline constexpr double recheckMinInterval = 3600.0;
// Bodies above this are refused.
inline constexpr size_t maxManifestBytes = 65536;

struct ManifestInfo {
  std::optional<UpdateRelease> release;
  // The lowest host version still allowed to run.
  std::optional<std::string> min;
  // The lowest client protocol level the host should demand.
  int64_t minClient = 0;

  bool operator==(const ManifestInfo&) const = default;
};

using Version = std::array<int64_t, 4>;

// One to four dot-separated components of one to six ASCII digits; missing
// trailing components are 0.
std::optional<Version> parseVersion(std::string_view text);
// -1, 0 or 1; 0 when either side does not parse.
int compare(std::string_view a, std::string_view b);
bool isNewer(std::string_view version, std::string_view than);

// Starts with the maker site root and holds only printable ASCII without a
// double quote or backslash: safe to hand to a browser.
bool isAllowedLink(std::string_view link);

std::optional<UpdateRelease> parseManifest(ByteView body, std::string_view platform);
std::optional<ManifestInfo> parseManifestInfo(ByteView body, std::string_view platform);
// An integer 0...65535 stored as an integer; anything else (absent included) is 0.
int64_t parseMinClient(const nlohmann::json* value);

// The verdict for the version report and the version it names ("" for none).
std::pair<HostUpdate, std::string> hostUpdate(std::string_view running, const std::optional<ManifestInfo>& info);

// Early checks run at most once an hour; a last time in the future blocks them.
bool recheckAllowed(double now, std::optional<double> last);

// For an owner that remembers what it announced: announce a release once.
bool shouldAnnounce(std::string_view version, std::optional<std::string_view> lastAnnounced);

}  // namespace lumenrail::UpdateCheck
