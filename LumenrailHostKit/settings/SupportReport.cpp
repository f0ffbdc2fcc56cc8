#include "settings/SupportReport.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "platform/Bytes.hpp"
#include "platform/Utf8.hpp"

namespace lumenrail::SupportReport {

namespace {

constexpr std::array<std::string_view, 36> kNotableKeywords = {
    "error",     "fail",     "warn",    "refus",   "denied",  "declin",     "timeout",  "timed out", "abort",
    "disconnect", "connected", "connecting", "lost", "stall",   "wedge",      "crash",    "exception", "expired",
    "codec",     "mode ",    "rotation", "bye",    "unplug",  "replug",     "reconnect", "starting", "stopped",
    "exit",      "pair",     "driver",  "accessory", "public", "firewall", "permission", "tcc",      "update",
};

// Tab and the Unicode space separators (Zs): white space that is not a line break.
constexpr std::array<std::string_view, 18> kInlineWhitespace = {
    "\t",           " ",            "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
    "\u2005",       "\u2006",       "\u2007", "\u2008", "\u2009", "\u200A", "\u202F", "\u205F", "\u3000",
};

std::string_view trimInlineWhitespace(std::string_view text) {
  for (bool changed = true; changed;) {
    changed = false;
    for (std::string_view ws : kInlineWhitespace) {
      if (text.starts_with(ws)) {
        text.remove_prefix(ws.size());
        changed = true;
      }
      if (text.ends_with(ws)) {
        text.remove_suffix(ws.size());
        changed = true;
      }
    }
  }
  return text;
}

// Carriage returns removed, split on line feeds, empty lines kept; with a
// cut first line that line is dropped (and fewer than two lines give none).
std::vector<std::string> splitLines(std::string_view text, bool firstLineMayBeCut) {
  std::vector<std::string> lines(1);
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      lines.emplace_back();
    } else {
      lines.back().push_back(c);
    }
  }
  if (firstLineMayBeCut) {
    if (lines.size() < 2) return {};
    lines.erase(lines.begin());
  }
  return lines;
}

std::string joinLines(const std::vector<std::string>& lines, size_t from) {
  std::string out;
  for (size_t i = from; i < lines.size(); ++i) {
    out += lines[i];
    out += '\n';
  }
  return out;
}

}  // namespace

std::string render(std::string_view product, std::string_view block, const std::vector<Section>& sections,
                   const std::vector<LogTail>& logs) {
  std::string out;
  out += product;
  out += " support report (format " + std::to_string(format) + ")\n";
  out += block;
  for (const Section& section : sections) {
    out += "\n[" + section.name + "]\n";
    for (const Row& row : section.rows) out += row.key + ": " + oneLine(row.value) + "\n";
  }
  for (const LogTail& log : logs) {
    out += "\n[log: " + log.name + "]\n";
    if (!log.lines.empty()) {
      out += "(last " + std::to_string(log.asked) + " lines at most)\n";
      out += log.lines;
    } else {
      out += "(" + (log.missing.empty() ? std::string("empty") : log.missing) + ")\n";
    }
  }
  return out;
}

std::string deviceBlock(std::string_view product, std::string_view version, std::string_view build,
                        std::string_view os, std::string_view machine) {
  std::string out = "\u2014\nApp: ";
  out += product;
  out += " ";
  out += version;
  out += " (build ";
  out += build;
  out += ")\n";
  if (!os.empty()) (out += os) += "\n";
  if (!machine.empty()) (out += machine) += "\n";
  return out;
}

std::string subject(std::string_view product, std::string_view version) {
  return std::string(product) + " " + std::string(version) + " \u2014 feedback";
}

std::string mailBody(std::string_view prompt, std::string_view block) {
  return std::string(prompt) + "\n\n\n\n" + std::string(block);
}

std::string mailtoURL(std::string_view email, std::string_view subjectText, std::string_view body) {
  return "mailto:" + std::string(email) + "?subject=" + percentEncode(subjectText) + "&body=" + percentEncode(body);
}

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                            c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "%0D%0A";  // mail bodies want CRLF line ends
    } else if (c == '\r') {
      continue;
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

std::string oneLine(std::string_view value) {
  std::string flat(value);
  std::replace(flat.begin(), flat.end(), '\r', ' ');
  std::replace(flat.begin(), flat.end(), '\n', ' ');
  const std::string_view trimmed = trimInlineWhitespace(flat);
  return trimmed.empty() ? std::string("(none)") : std::string(trimmed);
}

std::optional<Window> readWindow(const std::string& path, int64_t maxBytes) {
  // Non-blocking so that opening a FIFO cannot hang; it is refused below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  const int64_t size = std::max<int64_t>(st.st_size, 0);
  const int64_t window = std::max<int64_t>(maxBytes, 0);
  const int64_t start = size > window ? size - window : 0;
  // Exactly the window, even when the file grows while it is read.
  Bytes bytes(static_cast<size_t>(size - start));
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(start + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      got = 0;  // an unreadable file yields no text rather than part of one
      break;
    }
    if (n == 0) break;  // the file shrank
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  ::close(fd);
  return Window{Utf8::decodeRepairing(ByteView(bytes)), start > 0};
}

std::string tailLines(std::string_view text, int64_t maxLines, bool firstLineMayBeCut) {
  if (maxLines <= 0) return "";
  std::vector<std::string> lines = splitLines(text, firstLineMayBeCut);
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) return "";
  const size_t keep = static_cast<size_t>(std::min<int64_t>(maxLines, static_cast<int64_t>(lines.size())));
  return joinLines(lines, lines.size() - keep);
}

std::string notableLines(std::string_view text, int64_t maxLines, bool firstLineMayBeCut) {
  if (maxLines <= 0) return "";
  struct Entry {
    std::string line;
    int64_t count;
  };
  std::vector<Entry> entries;
  for (std::string& line : splitLines(text, firstLineMayBeCut)) {
    if (line.empty() || !isNotable(line)) continue;
    // Lines in between that are not notable do not break a run of repeats.
    if (!entries.empty() && entries.back().line == line) {
      ++entries.back().count;
    } else {
      entries.push_back({std::move(line), 1});
    }
  }
  if (entries.empty()) return "";
  const size_t keep = static_cast<size_t>(std::min<int64_t>(maxLines, static_cast<int64_t>(entries.size())));
  std::string out;
  for (size_t i = entries.size() - keep; i < entries.size(); ++i) {
    out += entries[i].line;
    if (entries[i].count >= 2) out += "  (x" + std::to_string(entries[i].count) + ")";
    out += '\n';
  }
  return out;
}

bool isNotable(std::string_view line) {
  std::string lower(line);
  // The keywords are ASCII; no other letter lower-cases to an ASCII keyword letter.
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return std::any_of(kNotableKeywords.begin(), kNotableKeywords.end(),
                     [&](std::string_view keyword) { return lower.find(keyword) != std::string::npos; });
}

Excerpt readTail(const std::string& path, int64_t maxLines, int64_t maxBytes) {
  const auto window = readWindow(path, maxBytes);
  if (!window) return {"", "not found"};
  std::string lines = tailLines(window->text, maxLines, window->cut);
  std::string missing = lines.empty() ? "empty" : "";
  return {std::move(lines), std::move(missing)};
}

Excerpt readNotable(const std::string& path, int64_t maxLines, int64_t maxBytes) {
  const auto window = readWindow(path, maxBytes);
  if (!window) return {"", "not found"};
  std::string lines = notableLines(window->text, maxLines, window->cut);
  std::string missing = lines.empty() ? "no notable lines" : "";
  return {std::move(lines), std::move(missing)};
}

}  // namespace lumenrail::SupportReport
