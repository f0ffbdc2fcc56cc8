#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace lumenrail::Log {

// Status lines go to standard output, one write(2) per whole line, so lines
// from different threads never interleave mid-line.
void line(std::string_view text);

// The same to any descriptor (standard error for fatal start-up problems).
void lineTo(int fd, std::string_view text);

// Standard output is unbuffered in every mode; call once at process start.
void makeStdoutUnbuffered();

// The optional `onEvent`/`log` closure type of components.
using Sink = std::function<void(const std::string&)>;

}  // namespace lumenrail::Log
