#include "platform/Log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>

#include "platform/PrivateFile.hpp"

namespace lumenrail::Log {

namespace {

struct FileTarget {
  std::mutex lock;
  std::filesystem::path file;
  int64_t maxBytes = 0;
  std::vector<int> fds;
};

FileTarget& target() {
  static FileTarget t;
  return t;
}

std::atomic<bool> toFileActive{false};

// The questions waiting on each descriptor; the lock also keeps a line and
// the redrawn question together.
struct Prompts {
  std::mutex lock;
  std::map<int, std::string> open;
};

Prompts& prompts() {
  static Prompts p;
  return p;
}

void writeAll(int fd, const std::string& buffer) {
  const char* p = buffer.data();
  size_t left = buffer.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a failing log descriptor
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// The log file, appended to and owner-only; -1 when it cannot be ours.
int openLogFile(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  // It holds pairing codes and fingerprints: an older file made with the umask is narrowed.
  if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || !S_ISREG(st.st_mode) || ::fchmod(fd, 0600) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void place(int fd, const std::vector<int>& fds) {
  std::fflush(stdout);
  std::fflush(stderr);
  for (const int target : fds) ::dup2(fd, target);
  ::close(fd);
}

// With the target's lock held: makes room for `incoming` more bytes.
void keepUnderBound(FileTarget& t, size_t incoming) {
  struct stat st {};
  if (::fstat(t.fds.front(), &st) != 0) return;
  if (st.st_size == 0 || st.st_size + static_cast<int64_t>(incoming) <= t.maxBytes) return;
  const std::filesystem::path kept = t.file.string() + ".1";
  if (::rename(t.file.c_str(), kept.c_str()) != 0) return;
  const int fd = openLogFile(t.file);
  // Without a new file the lines go on into the kept one, tried again next line.
  if (fd >= 0) place(fd, t.fds);
}

}  // namespace

void lineTo(int fd, std::string_view text) {
  std::string buffer;
  buffer.reserve(text.size() + 1);
  buffer.append(text);
  buffer.push_back('\n');
  Prompts& waiting = prompts();
  std::lock_guard promptGuard(waiting.lock);
  if (const auto question = waiting.open.find(fd); question != waiting.open.end()) {
    buffer = "\n" + buffer + question->second;
  }
  if (toFileActive.load(std::memory_order_acquire)) {
    FileTarget& t = target();
    if (std::find(t.fds.begin(), t.fds.end(), fd) != t.fds.end()) {
      std::lock_guard guard(t.lock);
      keepUnderBound(t, buffer.size());
    }
  }
  writeAll(fd, buffer);
}

Prompt::Prompt(int fd, std::string text) : fd_(fd) {
  Prompts& waiting = prompts();
  std::lock_guard guard(waiting.lock);
  writeAll(fd, text);
  waiting.open[fd] = std::move(text);
}

Prompt::~Prompt() {
  Prompts& waiting = prompts();
  std::lock_guard guard(waiting.lock);
  waiting.open.erase(fd_);
}

void line(std::string_view text) { lineTo(STDOUT_FILENO, text); }

void makeStdoutUnbuffered() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

bool toFile(const std::filesystem::path& file, int64_t maxBytes, std::vector<int> fds) {
  if (fds.empty()) return false;
  try {
    if (file.has_parent_path()) {
      PrivateFile::ensurePrivateDirectory(file.parent_path());
      // The log's own folder, also one an older start made with the umask.
      ::chmod(file.parent_path().c_str(), 0700);
    }
  } catch (const std::exception&) {
    return false;  // a folder another user owns is not written to
  }
  const int fd = openLogFile(file);
  if (fd < 0) return false;
  FileTarget& t = target();
  std::lock_guard guard(t.lock);
  t.file = file;
  t.maxBytes = maxBytes;
  t.fds = std::move(fds);
  // Opened first and then placed: a log that cannot be opened leaves the
  // terminal as it was, never a closed stdout whose number the next socket takes.
  place(fd, t.fds);
  keepUnderBound(t, 0);
  toFileActive.store(true, std::memory_order_release);
  return true;
}

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace lumenrail::Log
