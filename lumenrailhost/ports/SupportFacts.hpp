#pragma once

// What the support report says about this machine and this process, as
// plain values: gathered from Linux at report time (SupportFactsReader, with
// the program's entry), fixed in tests.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumenrail {

struct ScreenFact {
  std::string name;
  int64_t x = 0;
  int64_t y = 0;
  int64_t width = 0;
  int64_t height = 0;
  double scale = 1.0;    // X has no backing scale: one pixel per point
  int64_t refreshHz = 0;  // 0 when the server names no mode
  bool main = false;
  bool operator==(const ScreenFact&) const = default;
};

struct CrashFile {
  std::string name;
  std::optional<int64_t> modified;  // seconds since 1970; nothing when unreadable
  bool operator==(const CrashFile&) const = default;
};

struct SupportFacts {
  // the application
  std::string executable;
  bool installed = false;
  std::string uiLanguage;        // the table the lookups read; "" for none
  std::string languageOverride;  // "" when the system's languages are followed
  bool openAtLogin = false;
  std::string logFile;
  int64_t now = 0;  // seconds since 1970
  std::optional<int64_t> logModified;
  std::optional<int64_t> logBytes;
  // the system
  std::string kernelRelease;  // uname -r
  std::string systemName;     // os-release PRETTY_NAME
  std::string architecture;   // uname -m
  std::string model;          // DMI product name
  std::string chip;           // the first CPU's model name
  uint64_t memoryBytes = 0;
  std::string locale;
  std::vector<std::string> languages;
  double uptimeSeconds = 0;
  bool lowPower = false;
  int64_t thermalState = 0;
  std::vector<ScreenFact> screens;
  std::string sessionType;  // XDG_SESSION_TYPE, else what the environment shows ("wayland", "x11")
  std::string desktop;      // the desktop environment the host serves, or why none
  bool screenCapture = false;
  bool mayPostInput = false;
  std::vector<CrashFile> crashFiles;  // the crash folder's listing, unfiltered
  bool operator==(const SupportFacts&) const = default;
};

}  // namespace lumenrail
