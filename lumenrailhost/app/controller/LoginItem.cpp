#include "app/controller/LoginItem.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/PrivateFile.hpp"
#include "platform/Utf8.hpp"
#include "text/L10n.hpp"

namespace lumenrail::LoginItem {

namespace {

constexpr size_t kMaxEntryBytes = 64 * 1024;

// Characters that make the desktop entry's Exec rules ask for quoting.
bool needsQuotes(std::string_view arg) {
  if (arg.empty()) return true;
  for (char c : arg) {
    if (std::strchr(" \t\"'\\><~|&;$*?#()`", c) != nullptr) return true;
  }
  return false;
}

std::string execArgument(std::string_view arg) {
  std::string quoted;
  if (needsQuotes(arg)) {
    quoted = "\"";
    for (char c : arg) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
      quoted += c;
    }
    quoted += '"';
  } else {
    quoted = arg;
  }
  // "%" starts a field code; the value is then a string, whose own escape
  // doubles every backslash.
  std::string out;
  for (char c : quoted) {
    if (c == '%') out += "%%";
    else if (c == '\\') out += "\\\\";
    else out += c;
  }
  return out;
}

std::string unescapeString(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    switch (value[++i]) {
      case 's': out += ' '; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case '\\': out += '\\'; break;
      default: out += '\\'; out += value[i]; break;
    }
  }
  return out;
}

std::vector<std::string> splitExec(std::string_view command) {
  std::vector<std::string> args;
  std::string current;
  bool inArg = false;
  bool quoted = false;
  for (size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    if (quoted) {
      if (c == '\\' && i + 1 < command.size()) {
        current += command[++i];
      } else if (c == '%' && i + 1 < command.size() && command[i + 1] == '%') {
        current += '%';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        current += c;
      }
    } else if (c == ' ' || c == '\t') {
      if (inArg) args.push_back(std::move(current));
      current.clear();
      inArg = false;
    } else if (c == '"') {
      quoted = inArg = true;
    } else if (c == '%' && i + 1 < command.size()) {
      // "%%" is a percent sign; other field codes expand to nothing here.
      if (command[++i] == '%') {
        current += '%';
        inArg = true;
      }
    } else {
      current += c;
      inArg = true;
    }
  }
  if (inArg) args.push_back(std::move(current));
  return args;
}

}  // namespace

std::string Note::text() const {
  switch (kind) {
    case Kind::failed: return L10n::text("loginItem.failed", message);
    case Kind::needsBundle: return L10n::text("loginItem.needsBundle");
    case Kind::requiresApproval: return L10n::text("loginItem.requiresApproval", L10n::kProductName);
    case Kind::unsupportedPlatform: return L10n::text("loginItem.unsupported");
  }
  return {};
}

std::string Note::logText() const {
  switch (kind) {
    case Kind::failed: return "failed: " + message;
    case Kind::needsBundle: return "needs the installed tree (raw binary)";
    case Kind::requiresApproval: return "requires approval in the desktop's autostart settings";
    case Kind::unsupportedPlatform: return "unsupported platform";
  }
  return {};
}

std::optional<std::string> desktopEntry(const std::string& executable) {
  if (executable.find_first_of("\r\n") != std::string::npos) return std::nullopt;
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Lumenrail\n"
         "Comment=Use a phone or tablet as a display and pen tablet for this computer\n"
         "Exec=" + execArgument(executable) + "\n"
         "Icon=lumenrail-host\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

std::optional<Entry> parseEntry(std::string_view text) {
  Entry entry;
  bool found = false;  // the main group
  bool inMainGroup = false;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = Utf8::trimWhitespaceAndNewlines(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inMainGroup = line == "[Desktop Entry]";
      found = found || inMainGroup;
      continue;
    }
    const size_t equals = line.find('=');
    if (!inMainGroup || equals == std::string_view::npos) continue;
    const std::string_view key = Utf8::trimWhitespaceAndNewlines(line.substr(0, equals));
    const std::string_view value = Utf8::trimWhitespaceAndNewlines(line.substr(equals + 1));
    if (key == "Exec") {
      entry.exec = splitExec(unescapeString(value));
    } else if (key == "Hidden") {
      entry.hidden = value == "true";
    }
  }
  if (!found) return std::nullopt;
  return entry;
}

bool isEnabled(const std::string& entryPath) {
  if (entryPath.empty()) return false;
  std::optional<Bytes> bytes;
  try {
    bytes = PrivateFile::read(entryPath, kMaxEntryBytes);
  } catch (const std::exception&) {
    return false;
  }
  if (!bytes) return false;
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  const auto entry = parseEntry(text);
  // Any file there is the user's entry; only Hidden removes it.
  return !entry || !entry->hidden;
}

std::optional<Note> setEnabled(bool enabled, bool installed, const std::string& entryPath,
                               const std::string& executable) {
  if (!installed) return Note::of(Note::Kind::needsBundle);
  if (entryPath.empty()) return Note::failed("no home folder to hold the autostart entry");
  if (!enabled) {
    if (::unlink(entryPath.c_str()) != 0 && errno != ENOENT) return Note::failed(std::strerror(errno));
    return std::nullopt;
  }
  const auto text = desktopEntry(executable);
  if (executable.empty() || !text) return Note::failed("the executable's path cannot start at login");
  try {
    PrivateFile::ensureDirectory(std::filesystem::path(entryPath).parent_path());
    PrivateFile::writeAtomically(entryPath, ByteView(reinterpret_cast<const uint8_t*>(text->data()), text->size()));
  } catch (const std::system_error& e) {
    return Note::failed(e.code().message());
  } catch (const std::exception& e) {
    return Note::failed(e.what());
  }
  return std::nullopt;
}

}  // namespace lumenrail::LoginItem
