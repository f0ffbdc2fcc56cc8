#pragma once

#include <filesystem>
#include <optional>

#include "platform/Log.hpp"
#include "platform/ProcessEnvironment.hpp"

// The host's private pairing folder: "LumenrailHost" under the user's data
// folder ($XDG_DATA_HOME, else ~/.local/share).
namespace lumenrail::HostPairingStore {

// directoryOverride() when set, else defaultDirectory(processEnvironment());
// throws PairingStoreError::directoryFailed when there is no home folder.
std::filesystem::path directory();

// A replacement location (tests); nothing in the host sets it.
std::optional<std::filesystem::path> directoryOverride();
void setDirectoryOverride(std::optional<std::filesystem::path> dir);

// $XDG_DATA_HOME/LumenrailHost when that variable holds an absolute path (the
// XDG rule: relative values are ignored), else $HOME/.local/share/LumenrailHost,
// else the account's home directory from the password database; empty when
// none of these gives a folder.
std::filesystem::path defaultDirectory(const Environment& env);

// Creates directory() and missing parents with mode 0700. An existing pairing
// folder that another user owns throws PairingStoreError::notPrivate; one that
// group or others may write is narrowed to 0700, said in one line through
// `log` (standard output by default). Other failures throw directoryFailed.
void ensureDirectory(const Log::Sink& log = {});

}  // namespace lumenrail::HostPairingStore
