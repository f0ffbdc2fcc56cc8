#include "XdgOpener.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace lumenrail {

void XdgOpener::open(const std::string& url, std::function<void(bool)> done) {
  std::vector<char*> argv{const_cast<char*>(program_.c_str()), const_cast<char*>(url.c_str()), nullptr};
  pid_t pid = -1;
  if (::posix_spawnp(&pid, program_.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    if (done) done(false);
    return;
  }
  // xdg-open returns once the handler is started (or none was found), but
  // that may take a moment: wait for it off the caller's thread.
  std::thread([pid, done = std::move(done)] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (done) done(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }).detach();
}

}  // namespace lumenrail
