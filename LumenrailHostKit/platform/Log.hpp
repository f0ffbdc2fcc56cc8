#pragma once

#include <unistd.h>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenrail::Log {

// Status lines go to standard output, one write(2) per whole line, so lines
// from different threads never interleave mid-line.
void line(std::string_view text);

// The same to any descriptor (standard error for fatal start-up problems).
void lineTo(int fd, std::string_view text);

// A question on a console that waits for its answer on the same line. A line
// logged to that descriptor meanwhile goes on a line of its own and the
// question is written again below it, so the prompt is never lost in a log
// line. Written at construction; the caller ends the line after it is gone.
class Prompt {
 public:
  Prompt(int fd, std::string text);
  ~Prompt();
  Prompt(const Prompt&) = delete;
  Prompt& operator=(const Prompt&) = delete;

 private:
  int fd_;
};

// Standard output is unbuffered in every mode; call once at process start.
void makeStdoutUnbuffered();

// Puts `fds` (standard output and error) on `file`, appended to, mode 0600
// in a folder made 0700, and keeps it under `maxBytes`: a line that would
// take it past moves it to "<file>.1" first, replacing the one kept before.
// Output that bypasses line() is counted at the next line. False, and the
// descriptors left as they were, when the file cannot be opened or is not
// this user's. Call once, before other threads log.
bool toFile(const std::filesystem::path& file, int64_t maxBytes,
            std::vector<int> fds = {STDOUT_FILENO, STDERR_FILENO});

// The optional `onEvent`/`log` closure type of components.
using Sink = std::function<void(const std::string&)>;

// The what() of a caught exception, for a log line ("unknown error" when it is
// not a std::exception).
std::string describe(const std::exception_ptr& error);

}  // namespace lumenrail::Log
