#include "text/LanguageMatch.hpp"

#include <algorithm>
#include <cctype>

namespace lumenrail::LanguageMatch {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string languageOf(std::string_view tag) { return lower(tag.substr(0, tag.find('-'))); }

// The script subtag ("hant" of "zh-Hant-TW"), or "" when the tag names none.
std::string scriptOf(std::string_view tag) {
  const size_t dash = tag.find('-');
  if (dash == std::string_view::npos) return "";
  const std::string_view second = tag.substr(dash + 1, tag.find('-', dash + 1) - dash - 1);
  return second.size() == 4 && std::isalpha(static_cast<unsigned char>(second[0])) ? lower(second) : "";
}

std::string getenvOr(const Environment& env, const char* name) {
  const auto it = env.find(name);
  return it == env.end() ? std::string() : it->second;
}

}  // namespace

std::string canonicalTag(std::string_view raw) {
  raw = raw.substr(0, raw.find_first_of(".@"));
  if (raw.empty() || raw == "C" || raw == "POSIX") return "";
  std::string out(raw);
  std::replace(out.begin(), out.end(), '_', '-');
  return out;
}

std::vector<std::string> systemLanguages(const Environment& env) {
  std::string locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    locale = getenvOr(env, name);
    if (!locale.empty()) break;
  }
  std::vector<std::string> out;
  const std::string localeTag = canonicalTag(locale);
  if (localeTag.empty()) return out;
  auto add = [&out](const std::string& tag) {
    if (!tag.empty() && std::find(out.begin(), out.end(), tag) == out.end()) out.push_back(tag);
  };
  const std::string list = getenvOr(env, "LANGUAGE");
  for (size_t start = 0; start <= list.size();) {
    const size_t end = std::min(list.find(':', start), list.size());
    add(canonicalTag(std::string_view(list).substr(start, end - start)));
    start = end + 1;
  }
  add(localeTag);
  return out;
}

std::optional<std::string> bestMatch(std::string_view candidate, const std::vector<std::string>& shipped) {
  std::string want = lower(canonicalTag(candidate));
  if (want.empty()) return std::nullopt;
  const std::string language = languageOf(want);
  const std::string script = scriptOf(want);
  // Longest first: the whole tag, then without its last subtag, down to the language.
  for (;;) {
    for (const auto& tag : shipped) {
      if (lower(tag) == want) return tag;
    }
    const size_t dash = want.rfind('-');
    if (dash == std::string::npos) break;
    want.resize(dash);
  }
  // Another variant of the language, but never one in another script.
  for (const auto& tag : shipped) {
    if (languageOf(tag) != language) continue;
    const std::string other = scriptOf(tag);
    if (script.empty() || other.empty() || script == other) return tag;
  }
  return std::nullopt;
}

std::string preferredLocalization(const std::vector<std::string>& preferences, const std::vector<std::string>& shipped) {
  for (const auto& preference : preferences) {
    if (auto tag = bestMatch(preference, shipped)) return *tag;
  }
  if (std::find(shipped.begin(), shipped.end(), "en") != shipped.end()) return "en";
  return shipped.empty() ? std::string() : shipped.front();
}

}  // namespace lumenrail::LanguageMatch
