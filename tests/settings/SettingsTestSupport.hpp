#pragma once

// Helpers of the settings tests: a private temporary folder, and running a
// check as an account the test machine does not know (no home folder, none
// of root's powers to remove anything).

#include <pwd.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "support/StrangerUid.hpp"

namespace lumenrail::test {

class SettingsTempDir {
 public:
  SettingsTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumenrail-settings-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~SettingsTempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  SettingsTempDir(const SettingsTempDir&) = delete;
  SettingsTempDir& operator=(const SettingsTempDir&) = delete;

  std::string operator/(const std::string& leaf) const { return path_ + "/" + leaf; }
  const std::string& path() const { return path_; }
  std::string write(const std::string& leaf, const std::string& text) const {
    std::ofstream(*this / leaf, std::ios::binary) << text;
    return *this / leaf;
  }

 private:
  std::string path_;
};

// Runs `check` in a child process that has dropped to `uid` and returns its
// result (0 for success, a step number otherwise; 90s are set-up failures).
// The child leaves through _exit so no test-framework state runs twice.
inline int runAs(uid_t uid, const std::function<int()>& check) {
  const pid_t pid = ::fork();
  if (pid < 0) return 98;
  if (pid == 0) {
    if (::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(91);
    ::_exit(check());
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 97;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 96;
}

}  // namespace lumenrail::test
