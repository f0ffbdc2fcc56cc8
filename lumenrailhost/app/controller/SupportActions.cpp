#include "app/controller/SupportActions.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>

#include "app/windows/HostSettingsModel.hpp"
#include "platform/UserDefaults.hpp"
#include "settings/HostSettingsStore.hpp"
#include "settings/SiteLinks.hpp"
#include "text/L10n.hpp"
#include "text/ProductIdentity.hpp"

namespace lumenrail::SupportActions {

namespace {

using SupportReport::Row;
using SupportReport::Section;
namespace Id = ProductIdentity;

struct Installed {
  std::mutex mutex;
  SectionsProvider live;
  std::optional<double> launchedAt;
  std::function<SupportFacts()> facts;
};

Installed& installed() {
  static Installed state;
  return state;
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (const auto& part : parts) {
    if (part.empty()) continue;
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

std::string minutes(double seconds) { return std::to_string(static_cast<int64_t>(seconds) / 60) + " min"; }

std::string screenRow(const ScreenFact& s) {
  char scale[32];
  std::snprintf(scale, sizeof scale, "%.1f", s.scale);
  return s.name + " | " + std::to_string(s.width) + "x" + std::to_string(s.height) + " pt at (" +
         std::to_string(s.x) + "," + std::to_string(s.y) + ") | scale " + scale + " | " +
         std::to_string(s.refreshHz) + " Hz" + (s.main ? " | main" : "");
}

const char* granted(bool yes) { return yes ? "granted" : "NOT granted"; }
const char* flag(bool yes) { return yes ? "true" : "false"; }

std::string connectNoticeName(ConnectNotice notice) {
  switch (notice) {
    case ConnectNotice::wifiOnly: return "wifiOnly";
    case ConnectNotice::always: return "always";
    case ConnectNotice::off: return "off";
  }
  return "wifiOnly";
}

void writeAll(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

void setLiveSections(SectionsProvider provider) {
  std::lock_guard lock(installed().mutex);
  installed().live = std::move(provider);
}

void setFactsReader(std::function<SupportFacts()> reader) {
  std::lock_guard lock(installed().mutex);
  installed().facts = std::move(reader);
}

void setLaunchedAt(double uptimeSeconds) {
  std::lock_guard lock(installed().mutex);
  installed().launchedAt = uptimeSeconds;
}

std::string osLine(const SupportFacts& f) {
  std::string line = "Linux " + f.kernelRelease;
  if (!f.systemName.empty()) line += " (" + f.systemName + ")";
  return line + ", " + f.architecture;
}

std::string machineLine(const SupportFacts& f) {
  return joined({f.model, f.chip, std::to_string(f.memoryBytes >> 30) + " GB"}, ", ");
}

std::string deviceBlock(const SupportFacts& f) {
  return SupportReport::deviceBlock(Id::kProduct, Id::kVersion, Id::kBuild, osLine(f), machineLine(f));
}

std::string timestamp(int64_t secondsSince1970) {
  const std::time_t t = static_cast<std::time_t>(secondsSince1970);
  std::tm utc{};
  ::gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

Section crashSection(const std::vector<CrashFile>& listing) {
  std::vector<std::pair<std::string, int64_t>> kept;
  for (const auto& file : listing) {
    std::string lower = file.name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.find("lumenrail") == std::string::npos || !file.modified) continue;
    kept.emplace_back(file.name, *file.modified);
  }
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  Section section{"crash reports", {{"count", std::to_string(kept.size())}}};
  for (size_t i = 0; i < kept.size() && i < 5; ++i) {
    section.rows.push_back({"report " + std::to_string(i + 1), timestamp(kept[i].second) + " | " + kept[i].first});
  }
  return section;
}

Section settingsSection(const HostSettings& s) {
  return {"settings",
          {{"width", std::to_string(s.width)},
           {"height", std::to_string(s.height)},
           {"fps", std::to_string(s.fps)},
           {"captureMain", flag(s.captureMain)},
           {"penHighRate", flag(s.penHighRate)},
           {"port", std::to_string(s.port)},
           {"usbEnabled", flag(s.usbEnabled)},
           {"secureWifi", flag(s.secureWifi)},
           {"pairingEnabled", flag(s.pairingEnabled)},
           {"keyOnlyLinks", flag(s.keyOnlyLinks)},
           {"autoStart", flag(s.autoStart)},
           {"launchAtLogin", flag(s.launchAtLogin)},
           {"checkForUpdates", flag(s.checkForUpdates)},
           {"connectNotice", connectNoticeName(s.connectNotice)}}};
}

std::string restartPending(const std::optional<HostSettings>& running, const HostSettings& settings) {
  // Only what the settings window lists as waiting for a restart counts:
  // a changed notice policy or login choice needs none.
  if (!running) return "no";
  return HostSettingsModel::restartFieldsBetween(*running, settings).empty() ? "no" : "yes";
}

std::string buildReport(const SupportFacts& f, const SectionsProvider& live, std::optional<double> launchedAt,
                        const std::string& logFile) {
  std::vector<Section> sections;

  Section app{"app",
              {{"version", std::string(Id::kVersion) + " (build " + Id::kBuild + ")"},
               {"bundle", f.executable},
               {"installed copy", f.installed ? "yes" : "no"},
               {"ui language", (f.uiLanguage.empty() ? std::string("?") : f.uiLanguage) +
                                   (f.languageOverride.empty() ? std::string(" (follows Linux)")
                                                               : " (picked: " + f.languageOverride + ")")},
               {"open at login", f.openAtLogin ? "yes" : "no"},
               {"log file", logFile},
               {"report made", timestamp(f.now)},
               {"license", Id::kLicense}}};
  if (launchedAt) app.rows.push_back({"process uptime", minutes(f.uptimeSeconds - *launchedAt)});
  if (f.logModified && f.logBytes) {
    app.rows.push_back({"log last written", timestamp(*f.logModified) + ", " + std::to_string(*f.logBytes / 1024) + " KB"});
  }
  sections.push_back(std::move(app));

  std::vector<std::string> firstLanguages = f.languages;
  if (firstLanguages.size() > 4) firstLanguages.resize(4);
  sections.push_back({"os",
                      {{"version", osLine(f)},
                       {"model", f.model},
                       {"chip", f.chip},
                       {"architecture", f.architecture},
                       {"memory", std::to_string(f.memoryBytes / 1048576) + " MB"},
                       {"locale", f.locale},
                       {"languages", joined(firstLanguages, ", ")},
                       {"uptime", minutes(f.uptimeSeconds)},
                       {"power profile", f.lowPower ? "low-power" : "not low-power"},
                       {"thermal zones", std::to_string(f.thermalState) + " (0 below every trip point, 1 passive, "
                                                                           "2 hot, 3 critical)"},
                       {"session type", f.sessionType.empty() ? "unknown" : f.sessionType},
                       {"desktop", f.desktop}}});

  Section displays{"displays", {}};
  for (size_t i = 0; i < f.screens.size(); ++i) {
    displays.rows.push_back({"display " + std::to_string(i + 1), screenRow(f.screens[i])});
  }
  if (displays.rows.empty()) displays.rows.push_back({"displays", "none reported"});
  sections.push_back(std::move(displays));

  sections.push_back({"permissions",
                      {{"screen capture", granted(f.screenCapture)}, {"input injection", granted(f.mayPostInput)}}});
  sections.push_back(crashSection(f.crashFiles));

  if (live) {
    for (auto& section : live()) sections.push_back(std::move(section));
  } else {
    sections.push_back({"host state", {{"state", "no tray host in this process"}}});
  }

  const auto notable = SupportReport::readNotable(logFile, 200, 2097152);
  const auto tail = SupportReport::readTail(logFile, 400, 262144);
  const std::vector<SupportReport::LogTail> logs = {{"host, notable lines", notable.lines, 200, notable.missing},
                                                    {"host", tail.lines, 400, tail.missing}};
  return SupportReport::render(Id::kProduct, deviceBlock(f), sections, logs);
}


namespace {

SupportFacts currentFacts() {
  std::function<SupportFacts()> reader;
  {
    std::lock_guard lock(installed().mutex);
    reader = installed().facts;
  }
  return reader ? reader() : SupportFacts{};
}

std::string liveReport(const SupportFacts& facts) {
  SectionsProvider live;
  std::optional<double> launchedAt;
  {
    std::lock_guard lock(installed().mutex);
    live = installed().live;
    launchedAt = installed().launchedAt;
  }
  return buildReport(facts, live, launchedAt, facts.logFile);
}

bool copy(Clipboard& clipboard, const std::string& text, const Log::Sink& log) {
  const bool ok = clipboard.setText(text);
  if (log) {
    log("[support] report (" + std::to_string(text.size()) + " bytes) " +
        (ok ? "copied to the pasteboard" : "NOT copied"));
  }
  return ok;
}

}  // namespace

bool copyReport(Clipboard& clipboard, const Log::Sink& log) {
  return copy(clipboard, liveReport(currentFacts()), log);
}

std::string feedbackLink(bool copied, const SupportFacts& facts) {
  std::string prompt = L10n::text("support.mail.prompt");
  if (copied) prompt += "\n\n\n\n" + L10n::text("support.mail.paste");
  const std::string body = SupportReport::mailBody(prompt, deviceBlock(facts));
  return SupportReport::mailtoURL(Id::kSupportAddress, SupportReport::subject(Id::kProduct, Id::kVersion), body);
}

void sendFeedback(Clipboard& clipboard, UrlOpener& opener, Alert alert, const Log::Sink& log) {
  sendFeedback(clipboard, opener, gatherFeedback(), std::move(alert), log);
}

Feedback gatherFeedback() {
  // One look at the machine serves the report and the mail's device block.
  SupportFacts facts = currentFacts();
  std::string report = liveReport(facts);
  return {std::move(report), std::move(facts)};
}

bool copyReport(Clipboard& clipboard, const std::string& report, const Log::Sink& log) {
  return copy(clipboard, report, log);
}

void sendFeedback(Clipboard& clipboard, UrlOpener& opener, const Feedback& gathered, Alert alert,
                  const Log::Sink& log) {
  const bool copied = copy(clipboard, gathered.report, log);
  opener.open(feedbackLink(copied, gathered.facts), [alert, log](bool opened) {
    if (opened) {
      if (log) log("[support] mail draft: opened");
      return;
    }
    if (log) log("[support] mail draft: no mail app answered");
    if (alert) alert(Id::kProduct, L10n::text("support.noMailApp", Id::kSupportAddress));
  });
}

std::string helpURL(const std::string& language) {
  return SiteLinks::localized(std::string(SiteLinks::root) + "wiki/help/troubleshooting/",
                              language.empty() ? "en" : language);
}

std::string helpURL() { return helpURL(L10n::shared().localization()); }

std::string buildReport() { return liveReport(currentFacts()); }

int printForCommandLine() {
  const HostSettings saved = UserDefaultsSettingsStore(UserDefaults::standard()).load();
  setLiveSections([saved] {
    return std::vector<Section>{{"host state", {{"state", "printed by --support-report, not the running host"}}},
                                settingsSection(saved)};
  });
  writeAll(buildReport());
  return 0;
}

}  // namespace lumenrail::SupportActions
