#include "platform/Executor.hpp"

#include <unistd.h>

#include <cassert>
#include <mutex>
#include <set>
#include <string>

#include "platform/Log.hpp"

namespace lumenrail {
namespace {

bool affinityHolds(bool holds, const char* where, const char* what) {
  if (holds) return true;
  assert(holds && "called on the wrong thread");
  // Once per place: a fault on a path taken per frame must not flood the log.
  // Never destroyed: a detached thread may still get here while the process exits.
  static auto* lock = new std::mutex;
  static auto* told = new std::set<std::string>;
  {
    std::lock_guard guard(*lock);
    if (!told->insert(where).second) return false;
  }
  Log::lineTo(STDERR_FILENO, std::string("[fault] ") + where + " called " + what);
  return false;
}

}  // namespace

bool expectOn(const Executor& executor, const char* where) {
  return affinityHolds(executor.isCurrent(), where, "off its executor's thread");
}

bool expectOff(const Executor& executor, const char* where) {
  return affinityHolds(!executor.isCurrent(), where, "on the executor it waits for");
}

}  // namespace lumenrail
