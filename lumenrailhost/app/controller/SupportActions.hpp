#pragma once

// What the application does when the user asks for help: the support
// report (this machine, its screens, the grants, recent crashes, the host's
// state and log excerpts), its copy to the clipboard, the feedback mail and
// the help page. The text layout is SupportReport's; this decides what goes in.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/controller/AppPorts.hpp"
#include "platform/Log.hpp"
#include "ports/SupportFacts.hpp"
#include "settings/HostSettings.hpp"
#include "settings/SupportReport.hpp"

namespace lumenrail::SupportActions {

using SectionsProvider = std::function<std::vector<SupportReport::Section>()>;
using Alert = std::function<void(const std::string& message, const std::string& informative)>;

// Set once at launch, before any report is made.
void setLiveSections(SectionsProvider provider);
// Reads this machine's facts when a report is made; unset, reports say nothing of it.
void setFactsReader(std::function<SupportFacts()> reader);
// The system uptime (the facts' uptimeSeconds clock) when the tray
// application finished launching.
void setLaunchedAt(double uptimeSeconds);

// "Linux <kernel> (<system>), <machine>"; the system part only when known.
std::string osLine(const SupportFacts& facts);
// Model, processor and memory in whole GiB, the known ones joined by ", ".
std::string machineLine(const SupportFacts& facts);
std::string deviceBlock(const SupportFacts& facts);
// "YYYY-MM-DDTHH:MM:SSZ".
std::string timestamp(int64_t secondsSince1970);

// The crash files whose name holds "lumenrail" in any case, with a readable
// date, newest first: the count and at most five of them.
SupportReport::Section crashSection(const std::vector<CrashFile>& listing);
// One row per settings field in declared order, as the record prints.
SupportReport::Section settingsSection(const HostSettings& settings);
// "yes" when a running session would take any edited restart field only at
// its next start; "no" while nothing runs.
std::string restartPending(const std::optional<HostSettings>& running, const HostSettings& settings);

// The report from given facts: `live` nil gives the fixed "host state" section.
std::string buildReport(const SupportFacts& facts, const SectionsProvider& live, std::optional<double> launchedAt,
                        const std::string& logFile);
// This machine now, with the installed provider and launch time.
std::string buildReport();

bool copyReport(Clipboard& clipboard, const Log::Sink& log = Log::line);
// Copies the report, then opens the mail draft; `alert` tells the user when
// no mail handler took it (it may be called on any thread).
void sendFeedback(Clipboard& clipboard, UrlOpener& opener, Alert alert, const Log::Sink& log = Log::line);
// The same in two halves, for a caller that must not wait on this machine's
// facts (they ask the display server): the report and the facts, gathered on
// any thread; then the copy and the mail draft, on the clipboard's thread.
struct Feedback {
  std::string report;
  SupportFacts facts;
};
Feedback gatherFeedback();
void sendFeedback(Clipboard& clipboard, UrlOpener& opener, const Feedback& gathered, Alert alert,
                  const Log::Sink& log = Log::line);
// Copies an already built report (`buildReport()`), with the same log line.
bool copyReport(Clipboard& clipboard, const std::string& report, const Log::Sink& log = Log::line);
// The link handed to the opener: the report is copied first (`copied`).
std::string feedbackLink(bool copied, const SupportFacts& facts);

// The troubleshooting page in the language the lookups read.
std::string helpURL();
std::string helpURL(const std::string& language);

// "--support-report": the saved settings and the report on standard output.
int printForCommandLine();

}  // namespace lumenrail::SupportActions
