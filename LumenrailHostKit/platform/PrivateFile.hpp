#pragma once

// Small files that hold secrets or pairings: read with a size bound, written
// so that a crash or a full disk leaves either the old file or the new one,
// never a mixture, and never readable by other users. Errors are
// std::system_error carrying the errno of the failed call.

#include <cstddef>
#include <filesystem>
#include <optional>

#include "platform/Bytes.hpp"

namespace lumenrail::PrivateFile {

// The whole file, or nothing when it does not exist (ENOENT). A file longer
// than `maxBytes` throws EFBIG before more than maxBytes + 1 bytes are held.
std::optional<Bytes> read(const std::filesystem::path& path, size_t maxBytes);

// Writes a temporary file beside `path` (created 0600), fsyncs it, renames it
// over `path` and fsyncs the folder. On failure the temporary file is removed
// and `path` is left as it was.
void writeAtomically(const std::filesystem::path& path, ByteView data);

// Creates `dir` and any missing parents, each with mode 0700 whatever the
// umask; the modes of folders that exist already are left alone.
void ensureDirectory(const std::filesystem::path& dir);

// Renames a file that could not be read to "<path>.corrupt-<UTC time>" (with
// "-2", "-3"... when that name is taken), so it is kept for inspection instead
// of being overwritten. Returns the new name; nothing when the rename failed
// (errno tells why; ENOENT means the file is already gone).
std::optional<std::filesystem::path> setAside(const std::filesystem::path& path);

}  // namespace lumenrail::PrivateFile
