#include "support/DecimalCommaLocale.hpp"

#include <fcntl.h>
#include <langinfo.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#if defined(__SANITIZE_ADDRESS__) && __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

extern char** environ;

namespace lumenrail::test {

namespace {

constexpr const char* kName = "lumenrail_comma";

// Only the numeric category matters; localedef fills in the rest from "C".
constexpr const char* kSource =
    "LC_NUMERIC\n"
    "decimal_point \"<U002C>\"\n"
    "thousands_sep \"<U002E>\"\n"
    "grouping 3;3\n"
    "END LC_NUMERIC\n";

locale_t openCommaLocale(const char* name) {
  const locale_t loc = newlocale(LC_NUMERIC_MASK, name, static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return loc;
  if (std::strcmp(nl_langinfo_l(RADIXCHAR, loc), ",") != 0) {
    freelocale(loc);
    return static_cast<locale_t>(nullptr);
  }
  return loc;
}

#if defined(__SANITIZE_ADDRESS__) && __has_include(<sanitizer/lsan_interface.h>)
struct LeakCheckPause {
  LeakCheckPause() { __lsan_disable(); }
  ~LeakCheckPause() { __lsan_enable(); }
};
#else
struct LeakCheckPause {};
#endif

bool runQuietly(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  // localedef reports warnings with status 1 and still writes the locale.
  return WIFEXITED(status);
}

// Compiles the locale into a temporary folder and loads it from there; the
// loaded data stays valid once the folder is gone.
locale_t compileCommaLocale(std::string& why) {
  std::string folder = (std::filesystem::temp_directory_path() / "lumenrail-locale-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) {
    why = "could not make a temporary folder";
    return static_cast<locale_t>(nullptr);
  }
  locale_t loc = static_cast<locale_t>(nullptr);
  const std::string source = folder + "/source";
  if (FILE* f = std::fopen(source.c_str(), "w")) {
    std::fputs(kSource, f);
    std::fclose(f);
  }
  if (!runQuietly({"localedef", "--no-archive", "-c", "-i", source, "-f", "ANSI_X3.4-1968", folder + "/" + kName})) {
    why = "localedef could not be run";
  } else {
    const char* old = getenv("LOCPATH");
    const std::optional<std::string> previous = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("LOCPATH", folder.c_str(), 1);
    {
      // The C library keeps its parsed copy of LOCPATH for good.
      [[maybe_unused]] LeakCheckPause pause;
      loc = openCommaLocale(kName);
    }
    if (previous) {
      setenv("LOCPATH", previous->c_str(), 1);
    } else {
      unsetenv("LOCPATH");
    }
    if (loc == static_cast<locale_t>(nullptr)) {
      why = "localedef made no usable locale (its character maps come with Debian's `locales`)";
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return loc;
}

}  // namespace

DecimalCommaLocale::DecimalCommaLocale() {
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    locale_ = openCommaLocale(name);
    if (active()) break;
  }
  if (!active()) locale_ = compileCommaLocale(why_);
  if (active()) previous_ = uselocale(locale_);
}

DecimalCommaLocale::~DecimalCommaLocale() {
  if (!active()) return;
  uselocale(previous_);
  freelocale(locale_);
}

}  // namespace lumenrail::test
