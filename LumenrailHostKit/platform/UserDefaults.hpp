#pragma once

// The host's user defaults: one JSON object per domain in one file
// ($XDG_CONFIG_HOME/lumenrail/defaults.json), rewritten atomically with mode
// 0600 on every change. Values are read back with the coercions callers of a
// defaults store expect (a number read as a flag, a string read as a number).

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Log.hpp"

namespace lumenrail {

class UserDefaults final {
 public:
  static constexpr const char* kStandardDomain = "lumenrail";

  // A file that cannot be parsed is set aside (renamed) and reported through
  // `log`, then the domain starts empty; it is never silently overwritten.
  // A file that another user owns or may write, or one in a folder they own
  // or may write, or one that cannot be read, is refused: one WARN, the
  // domain starts empty, and changes stay in memory (`set` reports that).
  UserDefaults(std::string filePath, std::string domain, Log::Sink log = {});
  // The process's standard defaults: the XDG file, domain "lumenrail".
  static std::shared_ptr<UserDefaults> standard();

  const std::string& filePath() const { return filePath_; }
  const std::string& domain() const { return domain_; }

  bool hasObject(const std::string& key) const;
  // Numbers truncate toward zero (clamped to 64 bits), flags read 0 or 1,
  // strings read their leading decimal integer; anything else reads 0.
  int64_t integer(const std::string& key) const;
  // Flags as they are, numbers when not zero, strings starting with Y, y, T, t
  // or a non-zero digit (after spaces, a sign and zeros); anything else false.
  bool boolean(const std::string& key) const;
  // Strings as they are, numbers as decimal text; nothing otherwise.
  std::optional<std::string> string(const std::string& key) const;
  // A list whose every entry is a string; nothing for any other value.
  std::optional<std::vector<std::string>> stringArray(const std::string& key) const;

  // Merges `values` (a JSON object) into the domain and writes the file once.
  // Returns an empty string on success, else what failed.
  std::string set(const nlohmann::json& values);
  std::string remove(const std::string& key);
  // Removes the whole domain from the file.
  std::string removePersistentDomain();

 private:
  std::optional<nlohmann::json> value(const std::string& key) const;
  void reloadLocked();
  void refuseLocked(const std::string& why);
  std::string writeLocked();

  std::string filePath_;
  std::string domain_;
  Log::Sink log_;
  mutable std::mutex mutex_;
  nlohmann::json file_ = nlohmann::json::object();
  std::string refused_;  // why the file is not used; empty while it is
};

}  // namespace lumenrail
