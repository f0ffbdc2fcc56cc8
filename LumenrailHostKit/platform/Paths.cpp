#include "platform/Paths.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace lumenrail::Paths {

namespace {

std::string variable(const Environment& env, const char* name) {
  auto it = env.find(name);
  if (it == env.end() || it->second.empty() || it->second.front() != '/') return {};
  return it->second;
}

std::string underHome(const Environment& env, const char* xdgName, const char* fallback) {
  std::string dir = variable(env, xdgName);
  if (!dir.empty()) return dir;
  const std::string h = home(env);
  return h.empty() ? std::string() : h + "/" + fallback;
}

std::string join(const std::string& dir, const char* leaf) { return dir.empty() ? std::string() : dir + "/" + leaf; }

}  // namespace

std::string home(const Environment& env) {
  std::string h = variable(env, "HOME");
  if (!h.empty()) return h;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
      found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
}

std::string configHome(const Environment& env) { return underHome(env, "XDG_CONFIG_HOME", ".config"); }
std::string dataHome(const Environment& env) { return underHome(env, "XDG_DATA_HOME", ".local/share"); }
std::string stateHome(const Environment& env) { return underHome(env, "XDG_STATE_HOME", ".local/state"); }

std::string logDirectory(const Environment& env) { return join(stateHome(env), "Lumenrail"); }
std::string defaultsFile(const Environment& env) { return join(configHome(env), "lumenrail/defaults.json"); }
std::string autostartEntry(const Environment& env) {
  return join(configHome(env), "autostart/lumenrail-host.desktop");
}

std::string installedResources() {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  std::string exe(buffer.data(), static_cast<size_t>(n));
  const size_t slash = exe.find_last_of('/');
  if (slash == std::string::npos) return {};
  const std::string resources = exe.substr(0, slash) + "/../share/lumenrail";
  struct stat st {};
  if (::stat(resources.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  return resources;
}

bool runningInstalled() { return !installedResources().empty(); }

}  // namespace lumenrail::Paths
