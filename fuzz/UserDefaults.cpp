// The defaults file: every key of the host's domain read with each coercion,
// the settings record loaded from it, and a change written over it that must
// read back.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "FuzzCheck.hpp"
#include "FuzzFiles.hpp"
#include "platform/UserDefaults.hpp"
#include "settings/HostSettingsStore.hpp"

using namespace lumenrail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto path = fuzz::freshFile("defaults.json", data, size);
  const auto quiet = [](const std::string&) {};
  auto defaults = std::make_shared<UserDefaults>(path.string(), UserDefaults::kStandardDomain, quiet);

  const auto parsed = nlohmann::json::parse(data, data + size, nullptr, false);
  if (parsed.is_object()) {
    const auto domain = parsed.find(UserDefaults::kStandardDomain);
    if (domain != parsed.end() && domain->is_object()) {
      for (const auto& [key, value] : domain->items()) {
        (void)defaults->hasObject(key);
        (void)defaults->integer(key);
        (void)defaults->boolean(key);
        (void)defaults->string(key);
      }
    }
  }
  (void)UserDefaultsSettingsStore(defaults, quiet).load();

  FUZZ_CHECK(defaults->set({{"host.port", 27184}}).empty());
  const UserDefaults reread(path.string(), UserDefaults::kStandardDomain, quiet);
  FUZZ_CHECK(reread.integer("host.port") == 27184);
  return 0;
}
