#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace lumenrail::test {

// Forks and execs `argv` (argv[0] a full path) with `env` entries added, its
// standard output and error going to `logPath` (appended to or truncated),
// standard input from /dev/null. Returns the child's pid, or -1. A child
// `tiedToTest` is killed when the test process dies, so a crashed or killed
// test leaves no daemon running.
pid_t spawnLogged(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& logPath, bool appendLog, bool tiedToTest = false);

}  // namespace lumenrail::test
