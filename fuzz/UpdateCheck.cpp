// A manifest body as the update check receives it (at most 64 KiB), read for
// this host's platform entry, and the verdict drawn from it.

#include <cstddef>
#include <cstdint>

#include "FuzzCheck.hpp"
#include "settings/UpdateCheck.hpp"

using namespace lumenrail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UpdateCheck::maxManifestBytes) return 0;
  const ByteView body(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (UpdateCheck::parseVersion(text)) FUZZ_CHECK(UpdateCheck::compare(text, text) == 0);
  (void)UpdateCheck::shouldAnnounce(text, "1.0.9");
  const auto release = UpdateCheck::parseManifest(body, "linux");
  const auto info = UpdateCheck::parseManifestInfo(body, "linux");
  FUZZ_CHECK(!release || (info && info->release == release));
  if (release) {
    FUZZ_CHECK(UpdateCheck::parseVersion(release->version).has_value());
    FUZZ_CHECK(UpdateCheck::isAllowedLink(release->url));
  }
  if (info) {
    FUZZ_CHECK(info->minClient >= 0 && info->minClient <= 65535);
    FUZZ_CHECK(!info->min || UpdateCheck::parseVersion(*info->min));
    const auto [verdict, version] = UpdateCheck::hostUpdate("1.0.9", info);
    FUZZ_CHECK(version.empty() || (info->release && version == info->release->version));
    (void)verdict;
  }
  return 0;
}
