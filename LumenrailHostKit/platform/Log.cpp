#include "platform/Log.hpp"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace lumenrail::Log {

void lineTo(int fd, std::string_view text) {
  std::string buffer;
  buffer.reserve(text.size() + 1);
  buffer.append(text);
  buffer.push_back('\n');
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

void line(std::string_view text) { lineTo(STDOUT_FILENO, text); }

void makeStdoutUnbuffered() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

}  // namespace lumenrail::Log
