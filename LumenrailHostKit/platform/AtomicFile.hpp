#pragma once

#include <string>

#include "platform/Bytes.hpp"

namespace lumenrail::AtomicFile {

// Replaces `path` with `contents` so that readers see the old file or the new
// one, never a mix: a temporary file beside it, created with `mode`, written,
// fsynced and renamed over it; then the folder is fsynced. Missing folders are
// created with mode 0700. Returns an empty string on success, else what failed.
std::string write(const std::string& path, ByteView contents, unsigned mode = 0600);

// Creates `dir` and its missing parents with mode 0700; true when it exists as a folder afterwards.
bool makeDirectories(const std::string& dir);

// Renames a file that could not be read to "<path>.corrupt-<UTC time stamp>" so
// that it is kept for inspection; returns the new name, or empty on failure.
std::string setAside(const std::string& path);

}  // namespace lumenrail::AtomicFile
