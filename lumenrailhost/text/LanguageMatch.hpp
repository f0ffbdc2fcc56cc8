#pragma once

// Matching the user's languages against the tags of the shipped string
// tables. Tags compare by whole subtags, case-insensitively: "fr-CA" falls
// back to "fr", while "fil" (Filipino) never reads as "fi" (Finnish).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ProcessEnvironment.hpp"

namespace lumenrail::LanguageMatch {

// A locale or language name as the system writes it ("fr_CA.UTF-8@euro",
// "pt-BR") as a tag ("fr-CA", "pt-BR"); "" for "C", "POSIX" and nothing.
std::string canonicalTag(std::string_view raw);

// The user's languages in order of preference, as gettext reads them: the
// message locale is the first set of LC_ALL, LC_MESSAGES and LANG; unless it is
// "C" or "POSIX", the colon-separated LANGUAGE list comes first, then the locale.
std::vector<std::string> systemLanguages(const Environment& env);

// The shipped tag that serves `candidate`: the same tag, else the longest
// shipped prefix of it, else a shipped variant of its language in the same
// script (the first in `shipped` order). Nothing when the language is not
// shipped: Traditional Chinese is not served by Simplified.
std::optional<std::string> bestMatch(std::string_view candidate, const std::vector<std::string>& shipped);

// The table a process with these preferences reads: the first preference that
// a shipped tag serves; else "en" when shipped, else the first shipped tag;
// "" when nothing but the base table is shipped.
std::string preferredLocalization(const std::vector<std::string>& preferences, const std::vector<std::string>& shipped);

}  // namespace lumenrail::LanguageMatch
