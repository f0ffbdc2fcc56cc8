#pragma once

// The localisation resource folder "LumenrailHost_lumenrailhost.bundle": one
// "<tag>.lproj/Localizable.json" per shipped language and "Base", each a JSON
// object from dotted key to text.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Log.hpp"

namespace lumenrail {

class StringBundle final {
 public:
  static constexpr const char* kFolderName = "LumenrailHost_lumenrailhost.bundle";
  static constexpr const char* kBaseTag = "Base";
  // A table larger than this is not a string table; it is skipped unread.
  static constexpr uintmax_t kMaxTableBytes = 4 * 1024 * 1024;

  using Table = std::map<std::string, std::string, std::less<>>;

  // The bundle at `folder` when it is a directory. A table that cannot be
  // read, is too large or is not an object of texts is skipped with a WARN line.
  static std::optional<StringBundle> open(const std::string& folder, const Log::Sink& log = {});

  // The first of `candidates` (directories) that holds the bundle; nothing
  // when none does. Empty candidates are skipped.
  static std::optional<StringBundle> search(const std::vector<std::string>& candidates, const Log::Sink& log = {});

  const std::string& path() const { return path_; }
  // Every table's tag, "Base" included, in ascending order.
  std::vector<std::string> localizations() const;
  // The tags of the languages, without "Base".
  std::vector<std::string> languages() const;
  const Table* table(const std::string& tag) const;

 private:
  std::string path_;
  std::map<std::string, Table> tables_;
};

}  // namespace lumenrail
