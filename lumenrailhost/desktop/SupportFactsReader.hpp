#pragma once

// Gathers the support report's facts from Linux: the system files, the X
// server's monitors, the grants, the crash folder.

#include <string>
#include <vector>

#include "platform/ProcessEnvironment.hpp"
#include "ports/SupportFacts.hpp"

namespace lumenrail {

namespace SupportFactsReader {

// systemd-coredump's folder.
inline constexpr const char* kCoredumpFolder = "/var/lib/systemd/coredump";

// This machine now. Reaches the X display named by DISPLAY when there is one;
// with none, no screens and no screen capture. Whether the host opens at
// login and the locale are the application's to say (left false and empty).
SupportFacts gather();

// The pieces, each from its own source so tests can point them elsewhere.
std::vector<CrashFile> listFolder(const std::string& folder);
// Seconds since boot, suspend included: the clock "uptime" rows use.
double systemUptime();
// The first four languages the user prefers.
std::vector<std::string> languages(const Environment& env);

}  // namespace SupportFactsReader
}  // namespace lumenrail
