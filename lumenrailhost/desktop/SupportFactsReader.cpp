#include "desktop/SupportFactsReader.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "desktop/DesktopChoice.hpp"
#include "desktop/x11/X11ScreenFacts.hpp"
#include "platform/Paths.hpp"
#include "platform/Utf8.hpp"
#include "ports/HostPermissions.hpp"
#include "text/L10n.hpp"
#include "text/LanguageMatch.hpp"

namespace lumenrail::SupportFactsReader {

namespace {

// System files are small; a bound keeps an odd one from being read whole.
std::string readSmall(const std::string& path, size_t maxBytes = 64 * 1024) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text(maxBytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(maxBytes));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

std::string firstLine(const std::string& text) {
  return std::string(Utf8::trimWhitespaceAndNewlines(std::string_view(text).substr(0, text.find('\n'))));
}

// The value of `key` in "key: value" or "KEY=value" lines.
std::string field(const std::string& text, std::string_view key, char separator) {
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const size_t at = line.find(separator);
    if (at == std::string_view::npos || Utf8::trimWhitespaceAndNewlines(line.substr(0, at)) != key) continue;
    std::string_view value = Utf8::trimWhitespaceAndNewlines(line.substr(at + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return {};
}

// The worst state of the thermal zones: a zone at or above a trip point of
// type critical is 3, hot 2, passive 1.
int64_t thermalState() {
  int64_t worst = 0;
  std::error_code ec;
  for (const auto& zone : std::filesystem::directory_iterator("/sys/class/thermal", ec)) {
    if (zone.path().filename().string().rfind("thermal_zone", 0) != 0) continue;
    const std::string temp = firstLine(readSmall(zone.path() / "temp"));
    if (temp.empty()) continue;
    const long long now = std::atoll(temp.c_str());
    for (int trip = 0; trip < 32; ++trip) {
      const std::string base = (zone.path() / ("trip_point_" + std::to_string(trip) + "_")).string();
      const std::string type = firstLine(readSmall(base + "type"));
      if (type.empty()) break;
      const long long limit = std::atoll(firstLine(readSmall(base + "temp")).c_str());
      if (limit <= 0 || now < limit) continue;
      if (type == "critical") worst = std::max<int64_t>(worst, 3);
      else if (type == "hot") worst = std::max<int64_t>(worst, 2);
      else if (type == "passive") worst = std::max<int64_t>(worst, 1);
    }
  }
  return worst;
}

}  // namespace

std::vector<CrashFile> listFolder(const std::string& folder) {
  std::vector<CrashFile> out;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return out;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    CrashFile file{name, std::nullopt};
    struct stat st {};
    if (::stat((folder + "/" + name).c_str(), &st) == 0) file.modified = st.st_mtim.tv_sec;
    out.push_back(std::move(file));
  }
  ::closedir(dir);
  return out;
}

double systemUptime() {
  timespec ts{};
  ::clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::vector<std::string> languages(const Environment& env) {
  std::vector<std::string> all = LanguageMatch::systemLanguages(env);
  if (all.size() > 4) all.resize(4);
  return all;
}

SupportFacts gather() {
  SupportFacts f;
  std::error_code ec;
  f.executable = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  f.installed = Paths::runningInstalled();
  f.uiLanguage = L10n::shared().localization();
  f.languageOverride = L10n::languageOverride();
  const std::string logFolder = Paths::logDirectory();
  f.logFile = logFolder.empty() ? std::string() : logFolder + "/host.log";
  f.now = static_cast<int64_t>(std::time(nullptr));
  struct stat st {};
  if (!f.logFile.empty() && ::stat(f.logFile.c_str(), &st) == 0) {
    f.logModified = st.st_mtim.tv_sec;
    f.logBytes = st.st_size;
  }

  utsname names{};
  if (::uname(&names) == 0) {
    f.kernelRelease = names.release;
    f.architecture = names.machine;
  }
  f.systemName = field(readSmall("/etc/os-release"), "PRETTY_NAME", '=');
  f.model = firstLine(readSmall("/sys/class/dmi/id/product_name"));
  f.chip = field(readSmall("/proc/cpuinfo", 256 * 1024), "model name", ':');
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0) f.memoryBytes = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
  f.languages = languages(processEnvironment());
  f.uptimeSeconds = systemUptime();
  f.lowPower = firstLine(readSmall("/sys/firmware/acpi/platform_profile")) == "low-power";
  f.thermalState = thermalState();
  f.screens = X11ScreenFacts::screens("");
  const Environment environment = processEnvironment();
  f.sessionType = environment.count("XDG_SESSION_TYPE") ? environment.at("XDG_SESSION_TYPE")
                  : environment.count("WAYLAND_DISPLAY") ? "wayland"
                  : environment.count("DISPLAY")         ? "x11"
                                                         : "";
  const auto verdict = DesktopChoice::decide(environment, DesktopChoice::mutterServicesPresent);
  f.desktop = verdict.kind == DesktopChoice::Kind::refused ? "none: " + verdict.text : verdict.text;
  const auto probe = DesktopChoice::environmentFor(verdict.kind)->makePermissionProbe();
  f.screenCapture = probe->screenCapture();
  f.mayPostInput = probe->mayPostInput();
  f.crashFiles = listFolder(kCoredumpFolder);
  return f;
}

}  // namespace lumenrail::SupportFactsReader
