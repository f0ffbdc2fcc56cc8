#pragma once

// Small files that hold secrets or pairings: read with a size bound, written
// so that a crash or a full disk leaves either the old file or the new one,
// never a mixture, and never readable by other users. Errors are
// std::system_error carrying the errno of the failed call.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "platform/Bytes.hpp"

namespace lumenrail::PrivateFile {

// The whole file, or nothing when it does not exist (ENOENT). A file longer
// than `maxBytes` throws EFBIG before more than maxBytes + 1 bytes are held.
std::optional<Bytes> read(const std::filesystem::path& path, size_t maxBytes);

// A file or folder that another user owns or may write: what it holds may be
// theirs. what() names the path and says why.
class NotPrivate : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// read(), for a file that only this user may have written: one owned by
// another user or writable by group or others throws NotPrivate and is left
// as it is; one that others may only read is narrowed to 0600.
std::optional<Bytes> readOwn(const std::filesystem::path& path, size_t maxBytes);

// A folder in which only this user may place or replace files: one owned by
// another user or writable by group or others throws NotPrivate. A folder
// that does not exist passes (it is created 0700 when needed).
void requireOwnFolder(const std::filesystem::path& dir);

// Writes a temporary file beside `path` (created 0600), fsyncs it, renames it
// over `path` and fsyncs the folder. On failure the temporary file is removed
// and `path` is left as it was.
void writeAtomically(const std::filesystem::path& path, ByteView data);

// Creates `dir` and any missing parents, each with mode 0700 whatever the
// umask; the modes of folders that exist already are left alone.
void ensureDirectory(const std::filesystem::path& dir);

// ensureDirectory(), and then `dir` must be this user's: owned by another user
// it throws NotPrivate; writable by group or others it is narrowed to 0700
// and its mode before is returned.
std::optional<mode_t> ensurePrivateDirectory(const std::filesystem::path& dir);

// Renames a file that could not be read to "<path>.corrupt-<UTC time>" (with
// "-2", "-3"... when that name is taken), so it is kept for inspection instead
// of being overwritten. Returns the new name; nothing when the rename failed
// (errno tells why; ENOENT means the file is already gone).
std::optional<std::filesystem::path> setAside(const std::filesystem::path& path);

}  // namespace lumenrail::PrivateFile
