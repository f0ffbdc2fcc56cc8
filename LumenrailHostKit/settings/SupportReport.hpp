#pragma once

// The plain-text support report: rendering, log excerpts and the pieces of
// the feedback mail. Pure functions; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenrail::SupportReport {

inline constexpr int format = 1;

struct Row {
  std::string key;
  std::string value;
  bool operator==(const Row&) const = default;
};

struct Section {
  std::string name;
  std::vector<Row> rows;
  bool operator==(const Section&) const = default;
};

struct LogTail {
  std::string name;     // the log's title in the report
  std::string lines;    // each line ends in a line feed; empty when none
  int64_t asked = 0;    // how many lines were asked for
  std::string missing;  // why there are no lines
  bool operator==(const LogTail&) const = default;
};

struct Excerpt {
  std::string lines;
  std::string missing;
  bool operator==(const Excerpt&) const = default;
};

struct Window {
  std::string text;  // UTF-8, invalid sequences replaced
  bool cut = false;  // starts after the beginning of the file
  bool operator==(const Window&) const = default;
};

std::string render(std::string_view product, std::string_view block, const std::vector<Section>& sections,
                   const std::vector<LogTail>& logs);
std::string deviceBlock(std::string_view product, std::string_view version, std::string_view build,
                        std::string_view os, std::string_view machine);

std::string subject(std::string_view product, std::string_view version);
std::string mailBody(std::string_view prompt, std::string_view block);
std::string mailtoURL(std::string_view email, std::string_view subject, std::string_view body);
std::string percentEncode(std::string_view text);
std::string oneLine(std::string_view value);

Excerpt readTail(const std::string& path, int64_t maxLines, int64_t maxBytes);
Excerpt readNotable(const std::string& path, int64_t maxLines, int64_t maxBytes);
// The last `maxBytes` bytes of a regular file; nothing when it cannot be
// opened or is not a regular file.
std::optional<Window> readWindow(const std::string& path, int64_t maxBytes);

std::string tailLines(std::string_view text, int64_t maxLines, bool firstLineMayBeCut);
std::string notableLines(std::string_view text, int64_t maxLines, bool firstLineMayBeCut);
bool isNotable(std::string_view line);

}  // namespace lumenrail::SupportReport
