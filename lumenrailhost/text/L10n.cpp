#include "text/L10n.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>

#include "platform/Log.hpp"
#include "platform/Paths.hpp"
#include "text/LanguageMatch.hpp"

namespace lumenrail {

namespace {

std::string quotedList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += "\"" + items[i] + "\"";
  }
  return out + "]";
}

}  // namespace

Localizer::Localizer(std::optional<StringBundle> bundle, const std::vector<std::string>& preferences)
    : bundle_(std::move(bundle)) {
  if (bundle_) localization_ = LanguageMatch::preferredLocalization(preferences, bundle_->languages());
}

std::string Localizer::lookup(std::string_view key) const {
  if (!bundle_) return std::string(key);
  for (const std::string& tag : {localization_, std::string(StringBundle::kBaseTag)}) {
    if (const auto* table = bundle_->table(tag)) {
      if (const auto it = table->find(key); it != table->end()) return it->second;
    }
  }
  return std::string(key);
}

std::string Localizer::text(std::string_view key, const std::vector<FormatArg>& args) const {
  std::string found = lookup(key);
  return args.empty() ? found : TextFormat::apply(found, args);
}

MarkdownText Localizer::md(std::string_view key, const std::vector<FormatArg>& args) const {
  return {TextFormat::apply(lookup(key), args)};
}

int Localizer::selfCheck(const Log::Sink& print) const {
  if (!bundle_) {
    print(std::string("l10n-check: FAIL - ") + StringBundle::kFolderName + " not found");
    return 1;
  }
  const std::string name = text("app.hostName", {L10n::kProductName});
  print("l10n-check: bundle " + bundle_->path());
  const std::vector<std::string> preferred =
      localization_.empty() ? std::vector<std::string>{StringBundle::kBaseTag} : std::vector{localization_};
  print("l10n-check: localizations " + quotedList(bundle_->localizations()) + " preferred " + quotedList(preferred));
  print("l10n-check: app.hostName = " + name);
  return name != "app.hostName" ? 0 : 1;
}

namespace L10n {

std::vector<std::string> bundleCandidates() {
  std::error_code ec;
  std::string resources = Paths::installedResources();
  if (!resources.empty()) resources = std::filesystem::weakly_canonical(resources, ec).string();
  std::vector<std::string> out{resources};
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) out.push_back(exe.parent_path().string());
  return out;
}

namespace {
std::optional<std::string>& pinned() {
  static std::optional<std::string> language;
  return language;
}
}  // namespace

void pinLanguage(const std::string& language) { pinned() = language; }
const std::optional<std::string>& pinnedLanguage() { return pinned(); }

const Localizer& shared() {
  static const Localizer instance = [] {
    auto bundle = StringBundle::search(bundleCandidates(), Log::line);
    if (!bundle) {
      Log::line(std::string("[l10n] ") + StringBundle::kFolderName +
                " not found next to the executable - the UI shows raw keys");
    }
    if (const auto& pinned = pinnedLanguage()) return Localizer(std::move(bundle), {*pinned});
    return Localizer(std::move(bundle), preferences(*UserDefaults::standard(), processEnvironment()));
  }();
  return instance;
}

const StringBundle* bundle() { return shared().bundle(); }

int selfCheck() { return shared().selfCheck(Log::line); }

std::string languageOverride() {
  if (pinnedLanguage()) return "";
  const auto* b = bundle();
  return languageOverride(*UserDefaults::standard(), b ? b->languages() : std::vector<std::string>{});
}

void setLanguageOverride(const std::string& code) { setLanguageOverride(*UserDefaults::standard(), code); }

std::string languageOverride(const UserDefaults& defaults, const std::vector<std::string>& shipped) {
  const auto stored = defaults.stringArray(kOverrideKey);
  if (!stored || stored->empty()) return "";
  return LanguageMatch::bestMatch(stored->front(), shipped).value_or("");
}

std::string setLanguageOverride(UserDefaults& defaults, const std::string& code) {
  const std::string failure =
      code.empty() ? defaults.remove(kOverrideKey) : defaults.set({{kOverrideKey, nlohmann::json::array({code})}});
  std::string line = "[l10n] language override: " + (code.empty() ? std::string("none (follow the system)") : code);
  if (!failure.empty()) line = "[l10n] WARN: language override not stored: " + failure;
  Log::line(line);
  return line;
}

std::vector<std::string> preferences(const UserDefaults& defaults, const Environment& env) {
  if (auto stored = defaults.stringArray(kOverrideKey); stored && !stored->empty()) return *stored;
  return LanguageMatch::systemLanguages(env);
}

}  // namespace L10n
}  // namespace lumenrail
