#pragma once

// Where the host keeps its files, after the XDG base-directory rules: each
// variable counts only when it holds an absolute path, else the default under
// the home directory.

#include <string>

#include "platform/ProcessEnvironment.hpp"

namespace lumenrail::Paths {

// $HOME, else the passwd entry's home; empty when neither is known.
std::string home(const Environment& env = processEnvironment());
// $XDG_CONFIG_HOME or ~/.config
std::string configHome(const Environment& env = processEnvironment());
// $XDG_DATA_HOME or ~/.local/share
std::string dataHome(const Environment& env = processEnvironment());
// $XDG_STATE_HOME or ~/.local/state
std::string stateHome(const Environment& env = processEnvironment());

// The log folder: <state>/Lumenrail (the log file is host.log inside it).
std::string logDirectory(const Environment& env = processEnvironment());
// The user defaults file: <config>/lumenrail/defaults.json.
std::string defaultsFile(const Environment& env = processEnvironment());
// The login item: <config>/autostart/lumenrail-host.desktop.
std::string autostartEntry(const Environment& env = processEnvironment());

// Running from an installed tree: <exe dir>/../share/lumenrail exists.
bool runningInstalled();
// That folder of installed resources; empty when not installed.
std::string installedResources();

}  // namespace lumenrail::Paths
