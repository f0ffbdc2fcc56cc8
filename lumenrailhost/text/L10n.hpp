#pragma once

// The lookup of every user-visible text by its dotted key, with the key
// itself as the fallback. The tables come from the resource folder beside
// the executable (or in the installed tree's resources); which table is read
// follows the user's language override, else the system's languages.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ProcessEnvironment.hpp"
#include "platform/UserDefaults.hpp"
#include "text/StringBundle.hpp"
#include "text/TextFormat.hpp"

namespace lumenrail {

// A text that holds inline Markdown; the views render it with Qt's Markdown
// support. A text Qt cannot read as Markdown is shown as written.
struct MarkdownText {
  std::string source;
  bool operator==(const MarkdownText&) const = default;
};

// One bundle and the table its lookups read, fixed at creation.
class Localizer final {
 public:
  Localizer(std::optional<StringBundle> bundle, const std::vector<std::string>& preferences);

  const StringBundle* bundle() const { return bundle_ ? &*bundle_ : nullptr; }
  // The language table lookups read first ("" when only "Base" is shipped).
  const std::string& localization() const { return localization_; }

  // The key's text: the chosen language's table, then "Base", then the key.
  std::string lookup(std::string_view key) const;
  // Formats only when `args` is not empty, so a lone "%" needs no escaping.
  std::string text(std::string_view key, const std::vector<FormatArg>& args = {}) const;
  // Always formatted ("%%" reads as "%" here even without arguments).
  MarkdownText md(std::string_view key, const std::vector<FormatArg>& args = {}) const;

  // The lines of the self-check, and its exit status.
  int selfCheck(const Log::Sink& print) const;

 private:
  std::optional<StringBundle> bundle_;
  std::string localization_;
};

namespace L10n {

inline constexpr const char* kProductName = "Lumenrail";
inline constexpr const char* kOverrideKey = "AppleLanguages";

// The process's lookups. The bundle is searched once, on first use from any
// thread; when it is missing, one line says so and every text is its key.
const Localizer& shared();
const StringBundle* bundle();

template <typename... Args>
std::string text(std::string_view key, const Args&... args) {
  return shared().text(key, {FormatArg(args)...});
}
template <typename... Args>
MarkdownText md(std::string_view key, const Args&... args) {
  return shared().md(key, {FormatArg(args)...});
}

// For pictures that repeat on any machine: lookups follow `language` and no
// stored override is read. Takes effect only before the first lookup
// (LocaleFormat::pinLanguage pins the digits and names as well).
void pinLanguage(const std::string& language);
const std::optional<std::string>& pinnedLanguage();

// "--l10n-check": prints its lines and returns the exit status.
int selfCheck();

// The user's language for this application ("" follows the system); the
// choice takes effect at the next start.
std::string languageOverride();
void setLanguageOverride(const std::string& code);

// The same against a given store, shipped tags, locale and environment.
std::string languageOverride(const UserDefaults& defaults, const std::vector<std::string>& shipped);
// Returns the log line it printed.
std::string setLanguageOverride(UserDefaults& defaults, const std::string& code);
// The languages lookups follow: the stored override list when it is a
// non-empty list of texts, else the system's.
std::vector<std::string> preferences(const UserDefaults& defaults, const Environment& env);

// Where the bundle is looked for, in order: the installed tree's resources,
// then the folder of the executable (symbolic links resolved).
std::vector<std::string> bundleCandidates();

}  // namespace L10n
}  // namespace lumenrail
