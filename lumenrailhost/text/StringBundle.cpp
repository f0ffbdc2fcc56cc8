#include "text/StringBundle.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace lumenrail {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSuffix = ".lproj";

std::optional<StringBundle::Table> readTable(const fs::path& file, const Log::Sink& log) {
  auto warn = [&](const std::string& why) {
    if (log) log("[l10n] WARN: " + file.string() + " " + why + " - skipped");
  };
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (ec) return std::nullopt;  // a language folder without a table holds nothing
  if (size > StringBundle::kMaxTableBytes) {
    warn("is larger than a string table");
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const auto json = nlohmann::json::parse(text.str(), nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    warn("is not a JSON object");
    return std::nullopt;
  }
  StringBundle::Table table;
  for (auto it = json.begin(); it != json.end(); ++it) {
    if (!it.value().is_string()) {
      warn("holds a value that is no text at \"" + it.key() + "\"");
      return std::nullopt;
    }
    table.emplace(it.key(), it.value().get<std::string>());
  }
  return table;
}

}  // namespace

std::optional<StringBundle> StringBundle::open(const std::string& folder, const Log::Sink& log) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return std::nullopt;
  StringBundle bundle;
  bundle.path_ = folder;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix) || !entry.is_directory(ec)) continue;
    if (auto table = readTable(entry.path() / "Localizable.json", log)) {
      bundle.tables_.emplace(name.substr(0, name.size() - kSuffix.size()), std::move(*table));
    }
  }
  return bundle;
}

std::optional<StringBundle> StringBundle::search(const std::vector<std::string>& candidates, const Log::Sink& log) {
  for (const auto& dir : candidates) {
    if (dir.empty()) continue;
    if (auto bundle = open((fs::path(dir) / kFolderName).string(), log)) return bundle;
  }
  return std::nullopt;
}

std::vector<std::string> StringBundle::localizations() const {
  std::vector<std::string> out;
  for (const auto& [tag, table] : tables_) out.push_back(tag);
  return out;
}

std::vector<std::string> StringBundle::languages() const {
  std::vector<std::string> out;
  for (const auto& [tag, table] : tables_) {
    if (tag != kBaseTag) out.push_back(tag);
  }
  return out;
}

const StringBundle::Table* StringBundle::table(const std::string& tag) const {
  const auto it = tables_.find(tag);
  return it == tables_.end() ? nullptr : &it->second;
}

}  // namespace lumenrail
