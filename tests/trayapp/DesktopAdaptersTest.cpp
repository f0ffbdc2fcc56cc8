// The program's adapters to this machine: the crash folder's listing as the
// support report shows it, and links handed to xdg-open.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <mutex>

#include "app/controller/SupportActions.hpp"
#include "desktop/SupportFactsReader.hpp"
#include "support/StrangerUid.hpp"
#include "support/TempFolder.hpp"
#include "support/UnixListener.hpp"
#include "support/Waiting.hpp"
#include "trayapp/GuiPlatform.hpp"
#include "trayapp/InstanceChannel.hpp"
#include "trayapp/InstanceLock.hpp"
#include "trayapp/XdgOpener.hpp"

namespace lumenrail {
namespace {

// Wayland first wherever it can run; Xwayland only as the fallback; a refusal
// with its reason where no window can be shown (Qt would abort there).
TEST(GuiPlatform, WaylandFirstXwaylandAsFallbackAndARefusalWithoutADesktop) {
  struct Row {
    Environment env;
    bool plugin, reachable;
    std::string qpa;
    bool warns, refuses;
  };
  const Environment both = {{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}};
  const Environment waylandOnly = {{"WAYLAND_DISPLAY", "wayland-0"}};
  const std::vector<Row> rows = {
      {waylandOnly, true, true, "wayland", false, false},
      {both, true, true, "wayland;xcb", false, false},
      {both, false, true, "xcb", true, false},
      {both, true, false, "xcb", true, false},
      {waylandOnly, false, true, "", false, true},
      {waylandOnly, true, false, "", false, true},
      {{{"DISPLAY", ":0"}}, false, false, "xcb", false, false},
      {{{"DISPLAY", ""}}, true, true, "", false, true},
      {{{"QT_QPA_PLATFORM", "offscreen"}, {"WAYLAND_DISPLAY", "wayland-0"}}, true, true, "", false, false},
      {{{"QT_QPA_PLATFORM", "wayland"}, {"WAYLAND_DISPLAY", "wayland-0"}}, true, false, "", false, true},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    const GuiPlatform g = GuiPlatform::choose(r.env, r.plugin, r.reachable);
    EXPECT_EQ(g.qpa, r.qpa) << "row " << i;
    EXPECT_EQ(!g.warning.empty(), r.warns) << "row " << i;
    EXPECT_EQ(!g.refusal.empty(), r.refuses) << "row " << i;
  }
  EXPECT_NE(GuiPlatform::choose(waylandOnly, false, true).refusal.find("qt6-wayland"), std::string::npos);
}

TEST(SupportFactsReader, CrashListingFromTheFolderNewestFirstAtMostFive) {
  test::TempFolder dir;
  const std::vector<std::pair<std::string, int64_t>> files = {
      {"core.lumenrailhost.0.b.1.1.zst", 100}, {"core.lumenrailhost.0.b.2.1.zst", 700},
      {"LUMENRAILHOST.crash", 600},            {"core.lumenrailhost.0.b.3.1.zst", 300},
      {"core.lumenrailhost.0.b.4.1.zst", 500}, {"core.lumenrailhost.0.b.5.1.zst", 200},
      {"core.lumenrailhost.0.b.6.1.zst", 400}, {"core.sh.0.b.7.1.zst", 900},
  };
  for (const auto& [name, time] : files) {
    std::ofstream(dir.path(name)) << "x";
    const timespec times[2] = {{time, 0}, {time, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.path(name).c_str(), times, 0), 0);
  }
  auto listing = SupportFactsReader::listFolder(dir.root().string());
  listing.push_back({"core.lumenrail.gone", std::nullopt});  // its date could not be read
  const auto section = SupportActions::crashSection(listing);
  const std::vector<SupportReport::Row> rows = {
      {"count", "7"},
      {"report 1", "1970-01-01T00:11:40Z | core.lumenrailhost.0.b.2.1.zst"},
      {"report 2", "1970-01-01T00:10:00Z | LUMENRAILHOST.crash"},
      {"report 3", "1970-01-01T00:08:20Z | core.lumenrailhost.0.b.4.1.zst"},
      {"report 4", "1970-01-01T00:06:40Z | core.lumenrailhost.0.b.6.1.zst"},
      {"report 5", "1970-01-01T00:05:00Z | core.lumenrailhost.0.b.3.1.zst"},
  };
  EXPECT_EQ(section.name, "crash reports");
  EXPECT_EQ(section.rows, rows);
  EXPECT_EQ(SupportActions::crashSection(SupportFactsReader::listFolder(dir.path("missing"))).rows,
            (std::vector<SupportReport::Row>{{"count", "0"}}));
}

// The lock goes with its process: a file naming a dead instance never blocks,
// and a live holder is named to the next start.
TEST(InstanceLock, AStaleFileIsTakenOverAndALiveHolderIsNamed) {
  test::TempFolder dir;
  EXPECT_EQ(InstanceLock::path({{"XDG_RUNTIME_DIR", dir.root().string()}}), dir.path("lumenrail-host.lock"));
  const std::string path = dir.path("lumenrail-host.lock");
  std::ofstream(path) << "999999\n";  // left by an instance that died
  const auto first = InstanceLock::acquire(path);
  EXPECT_TRUE(first.held);
  EXPECT_FALSE(first.holder);
  std::ifstream in(path);
  std::string pid;
  in >> pid;
  EXPECT_EQ(pid, std::to_string(::getpid()));
  // A second start (another open file, as another process has).
  const auto second = InstanceLock::acquire(path);
  EXPECT_FALSE(second.held);
  EXPECT_EQ(second.holder, std::optional<pid_t>(::getpid()));
}

// A runtime folder that is not ours alone (shared 1777, another user's) is
// passed over for a private one; there a lock or socket that is not ours is
// never taken for a running instance.
TEST(InstanceLock, OnlyAFolderLockAndSocketOfThisUserAreObeyed) {
  test::TempFolder dir;
  const auto stranger = test::unknownUid();
  const std::string state = dir.path("state");
  const std::string fallback = state + "/Lumenrail/host.lock";
  const struct {
    const char* name;
    mode_t mode;
    bool strangers;
    bool used;
  } rows[] = {{"private", 0700, false, true},   {"shared 1777", 01777, false, false},
              {"group-writable", 0770, false, false}, {"another user's", 0700, true, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.strangers && !stranger) continue;
    const std::string runtime = dir.path(std::string("run-") + row.name);
    std::filesystem::create_directory(runtime);
    ASSERT_EQ(::chmod(runtime.c_str(), row.mode), 0);
    if (row.strangers) {
      ASSERT_EQ(::chown(runtime.c_str(), *stranger, *stranger), 0);
    }
    const Environment env{{"XDG_RUNTIME_DIR", runtime}, {"XDG_STATE_HOME", state}};
    EXPECT_EQ(InstanceLock::path(env), row.used ? runtime + "/lumenrail-host.lock" : fallback);
    EXPECT_EQ(InstanceLock::runtimeFolderRefusal(env).empty(), row.used);
  }
  EXPECT_EQ(InstanceLock::path({{"XDG_STATE_HOME", state}}), fallback);
  EXPECT_EQ(InstanceLock::runtimeFolderRefusal({{"XDG_STATE_HOME", state}}), "");

  // A listening socket whose file is not ours is not asked to show anything.
  const std::string socketPath = dir.path("stranger.sock");
  const int listener = test::listenUnix(socketPath);
  ASSERT_GE(listener, 0);
  if (stranger) {
    ASSERT_EQ(::chown(socketPath.c_str(), *stranger, *stranger), 0);
    EXPECT_FALSE(InstanceChannel::askToShow(socketPath, test::kDeadlineNs));
    EXPECT_LT(::accept(listener, nullptr, nullptr), 0) << "it connected to the stranger's socket";
    // A lock file of another user's is an error, whoever holds it.
    const std::string lock = dir.path("stranger.lock");
    std::ofstream(lock) << "1\n";
    ASSERT_EQ(::chown(lock.c_str(), *stranger, *stranger), 0);
    const auto taken = InstanceLock::acquire(lock);
    EXPECT_FALSE(taken.held);
    EXPECT_FALSE(taken.holder);
    EXPECT_NE(taken.error.find("is not this user's own file"), std::string::npos) << taken.error;
  }
  ::close(listener);
  if (!stranger) GTEST_SKIP() << "not root: a folder, lock or socket of another user cannot be made here";
}

TEST(XdgOpener, ReportsWhetherAHandlerTookTheLink) {
  for (const auto& [program, opened] : std::vector<std::pair<std::string, bool>>{
           {"true", true}, {"false", false}, {"/nonexistent/xdg-open", false}}) {
    auto children = std::make_shared<ChildProcesses>();
    std::mutex mutex;
    std::optional<bool> result;
    XdgOpener(children, program).open("mailto:a@b.example", [&](bool ok) {
      std::lock_guard lock(mutex);
      result = ok;
    });
    ASSERT_TRUE(test::eventually([&] {
      std::lock_guard lock(mutex);
      return result.has_value();
    })) << program;
    std::lock_guard lock(mutex);
    EXPECT_EQ(*result, opened) << program;
  }
}

}  // namespace
}  // namespace lumenrail
