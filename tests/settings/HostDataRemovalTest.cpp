// Removal of the host's data: what is removed, what is refused, what is reported.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/UserDefaults.hpp"
#include "secure/HostPairingStore.hpp"
#include "settings/HostDataRemoval.hpp"
#include "settings/SettingsTestSupport.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;
using test::SettingsTempDir;

TEST(HostDataRemovalRules, RemovesWhatExistsAndKeepsOtherDomains) {
  SettingsTempDir dir;
  HostDataRemoval::Targets nothing{dir / "pairing", dir / "logs", nullptr, std::nullopt};
  EXPECT_TRUE(HostDataRemoval::remove(nothing).empty());
  EXPECT_TRUE(fs::is_empty(dir.path()));

  fs::create_directories(dir / "pairing/sub");
  std::ofstream(dir / "pairing/sub/identity.key") << "k";
  fs::create_directories(dir / "logs");
  fs::create_directories(dir / "elsewhere");
  fs::create_directory_symlink(dir / "elsewhere", dir / "logs/link");
  auto defaults = std::make_shared<UserDefaults>(dir / "defaults.json", "lumenrail");
  defaults->set({{"host.width", 1}});
  UserDefaults(dir / "defaults.json", "keep").set({{"x", 1}});
  HostDataRemoval::Targets all{dir / "pairing", dir / "logs", defaults, std::string("lumenrail")};
  EXPECT_TRUE(HostDataRemoval::remove(all).empty());
  EXPECT_FALSE(fs::exists(dir / "pairing"));
  EXPECT_FALSE(fs::exists(dir / "logs"));
  EXPECT_TRUE(fs::exists(dir / "elsewhere"));  // a link inside goes, not what it points at
  EXPECT_FALSE(defaults->hasObject("host.width"));
  EXPECT_FALSE(UserDefaults(dir / "defaults.json", "lumenrail").hasObject("host.width"));
  EXPECT_TRUE(UserDefaults(dir / "defaults.json", "keep").hasObject("x"));

  // Another domain of the same file is removed through its own view.
  HostDataRemoval::Targets keep{dir / "pairing", dir / "logs", defaults, std::string("keep")};
  EXPECT_TRUE(HostDataRemoval::remove(keep).empty());
  EXPECT_FALSE(UserDefaults(dir / "defaults.json", "keep").hasObject("x"));
}

TEST(HostDataRemovalRules, RelativeEmptyAndRootPathsAreRefusedUntouched) {
  SettingsTempDir dir;
  const std::string relative = "lumenrail-removal-" + std::to_string(::getpid());
  fs::create_directory(relative);
  fs::create_directories(dir / "logs");
  HostDataRemoval::Targets t{relative, dir / "logs", nullptr, std::nullopt};
  EXPECT_EQ(HostDataRemoval::remove(t), std::vector<std::string>{relative});
  EXPECT_TRUE(fs::exists(relative));
  EXPECT_FALSE(fs::exists(dir / "logs"));  // the other target still went
  fs::remove(relative);

  HostDataRemoval::Targets empty{"", "", nullptr, std::nullopt};
  EXPECT_EQ(HostDataRemoval::remove(empty), (std::vector<std::string>{"", ""}));
}

TEST(HostDataRemovalRules, TheRootFolderIsRefused) {
  // Only ever tried as an account that could not remove much if the refusal
  // were missing.
  const auto uid = test::unknownUid();
  if (!uid) GTEST_SKIP() << "needs root to become an account without rights";
  EXPECT_EQ(test::runAs(*uid,
                        [] {
                          HostDataRemoval::Targets t{"/", "/tmp/../", nullptr, std::nullopt};
                          return HostDataRemoval::remove(t) == std::vector<std::string>{"/", "/tmp/../"} ? 0 : 1;
                        }),
            0);
}

TEST(HostDataRemovalRules, LiveTargetsFollowTheXdgFolders) {
  SettingsTempDir dir;
  const Environment env{{"HOME", dir / "home"},
                        {"XDG_DATA_HOME", dir / "data"},
                        {"XDG_STATE_HOME", dir / "state"},
                        {"XDG_CONFIG_HOME", dir / "config"}};
  auto live = HostDataRemoval::Targets::live(env);
  ASSERT_TRUE(live);
  EXPECT_EQ(live->pairingDirectory, dir / "data/LumenrailHost");
  EXPECT_EQ(live->logDirectory, dir / "state/Lumenrail");
  ASSERT_TRUE(live->defaults);
  EXPECT_EQ(live->defaults->filePath(), dir / "config/lumenrail/defaults.json");
  EXPECT_EQ(live->defaults->domain(), "lumenrail");
  EXPECT_FALSE(live->defaultsDomain);  // the test binary is not an installed tree

  // Relative XDG values do not count; the home folder does.
  live = HostDataRemoval::Targets::live({{"HOME", dir / "home"}, {"XDG_DATA_HOME", "data"}});
  ASSERT_TRUE(live);
  EXPECT_EQ(live->pairingDirectory, dir / "home/.local/share/LumenrailHost");
  EXPECT_EQ(live->logDirectory, dir / "home/.local/state/Lumenrail");

  // The pairing folder set for tests wins, as it does for the pairing store.
  HostPairingStore::setDirectoryOverride(fs::path(dir / "override"));
  live = HostDataRemoval::Targets::live(env);
  HostPairingStore::setDirectoryOverride(std::nullopt);
  ASSERT_TRUE(live);
  EXPECT_EQ(live->pairingDirectory, dir / "override");
}

TEST(HostDataRemovalRules, WithoutAHomeFolderNothingIsLocated) {
  const auto uid = test::unknownUid();
  if (!uid) GTEST_SKIP() << "needs root to become an account without a password entry (and so without a home)";
  EXPECT_EQ(test::runAs(*uid,
                        [] {
                          if (HostDataRemoval::Targets::live(Environment{})) return 1;
                          if (HostDataRemoval::Targets::live({{"HOME", "relative/home"}})) return 2;
                          if (HostDataRemoval::Targets::live({{"XDG_DATA_HOME", "/srv/data"}})) return 3;
                          return 0;
                        }),
            0);
}

TEST(HostDataRemovalRules, WhatCannotGoIsReportedAndTheRestStillGoes) {
  const auto uid = test::unknownUid();
  if (!uid) GTEST_SKIP() << "needs root to become an account that lacks the rights to remove";
  SettingsTempDir dir;
  // Owned by root: the stranger may read but not change anything inside.
  fs::create_directories(dir / "locked/inner");
  fs::create_directories(dir / "config");
  UserDefaults(dir / "config/defaults.json", "lumenrail").set({{"host.width", 1}});
  ::chmod((dir / "config/defaults.json").c_str(), 0644);
  // The stranger's own log folder, which it can remove.
  fs::create_directories(dir / "logs/sub");
  ASSERT_EQ(::chown((dir / "logs").c_str(), *uid, *uid), 0);
  ASSERT_EQ(::chown((dir / "logs/sub").c_str(), *uid, *uid), 0);
  ::chmod(dir.path().c_str(), 0777);

  const std::string locked = dir / "locked/inner";
  const std::string logs = dir / "logs";
  const std::string config = dir / "config/defaults.json";
  EXPECT_EQ(test::runAs(*uid,
                        [&] {
                          auto defaults = std::make_shared<UserDefaults>(config, "lumenrail");
                          HostDataRemoval::Targets t{locked, logs, defaults, std::string("lumenrail")};
                          const auto failed = HostDataRemoval::remove(t);
                          if (failed != std::vector<std::string>{locked, config}) return 1;
                          return fs::exists(logs) ? 2 : 0;
                        }),
            0);
  EXPECT_TRUE(fs::exists(locked));
  EXPECT_TRUE(UserDefaults(config, "lumenrail").hasObject("host.width"));
}

}  // namespace
}  // namespace lumenrail
