// The settings stores: the defaults file's keys and types, round trips, and
// files written by hand or by something hostile.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/UserDefaults.hpp"
#include "settings/HostSettingsStore.hpp"
#include "settings/SettingsTestSupport.hpp"
#include "support/EventLog.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;
using test::SettingsTempDir;

HostSettings loadFile(const std::string& file) {
  return UserDefaultsSettingsStore(std::make_shared<UserDefaults>(file, "lumenrail")).load();
}

// A defaults file holding `values` as the host's domain.
std::string fileWith(const SettingsTempDir& dir, const std::string& valuesJson) {
  return dir.write("defaults.json", "{\"lumenrail\": " + valuesJson + "}");
}

nlohmann::json readJson(const std::string& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return nlohmann::json::parse(text.str());
}

TEST(InMemorySettingsStoreRules, KeepsWhatWasSaved) {
  InMemorySettingsStore store(HostSettings::shipDefaults());
  EXPECT_EQ(store.load(), HostSettings::shipDefaults());
  store.save(HostSettings::cliDefaults());
  EXPECT_EQ(store.load(), HostSettings::cliDefaults());
}

TEST(UserDefaultsSettingsStoreRules, SavesFourteenTypedKeysAndRoundTrips) {
  SettingsTempDir dir;
  const std::string file = dir / "defaults.json";
  auto defaults = std::make_shared<UserDefaults>(file, "lumenrail");
  UserDefaultsSettingsStore store(defaults);
  EXPECT_EQ(store.load(), HostSettings::shipDefaults());

  HostSettings edited{2560, 1600, 120, true, true, 4000, false, false, false, true, false, true, false,
                      ConnectNotice::off};
  for (const HostSettings& s : {HostSettings::shipDefaults(), HostSettings::cliDefaults(), edited}) {
    store.save(s);
    EXPECT_EQ(loadFile(file), s);
  }

  const nlohmann::json expected = {
      {"host.width", 2560},        {"host.height", 1600},        {"host.fps", 120},
      {"host.port", 4000},         {"host.captureMain", true},   {"host.penHighRate", true},
      {"host.usbEnabled", false},  {"host.secureWifi", false},   {"host.pairingEnabled", false},
      {"host.keyOnlyLinks", true}, {"host.autoStart", false},   {"host.launchAtLogin", true}, {"host.checkForUpdates", false},
      {"host.connectNotice", "off"}};
  const nlohmann::json written = readJson(file);
  EXPECT_EQ(written, nlohmann::json({{"lumenrail", expected}}));
  EXPECT_TRUE(written["lumenrail"]["host.width"].is_number_integer());
  EXPECT_TRUE(written["lumenrail"]["host.port"].is_number_integer());

  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Other keys of the domain and other domains survive a save and a reset.
  defaults->set({{"other.key", 7}});
  UserDefaults(file, "elsewhere").set({{"host.width", 800}});
  store.save(edited);
  store.reset();
  EXPECT_EQ(store.load(), HostSettings::shipDefaults());
  EXPECT_EQ(UserDefaults(file, "lumenrail").integer("other.key"), 7);
  EXPECT_EQ(UserDefaults(file, "elsewhere").integer("host.width"), 800);
}

TEST(UserDefaultsSettingsStoreRules, StoredValuesAreCoercedAndClamped) {
  SettingsTempDir dir;
  struct Case {
    const char* values;
    HostSettings expected;
  };
  HostSettings ship = HostSettings::shipDefaults();
  auto with = [&](auto change) {
    HostSettings s = ship;
    change(s);
    return s;
  };
  const Case cases[] = {
      // Sizes and rates: the integer reading, then the servable bounds.
      {R"({"host.width": 0, "host.height": -5, "host.fps": 0})",
       with([](HostSettings& s) { s.width = 64, s.height = 64, s.fps = 1; })},
      {R"({"host.width": 1e300, "host.height": -1e300, "host.fps": 18446744073709551616})",
       with([](HostSettings& s) { s.width = 16384, s.height = 64, s.fps = 1000; })},
      {R"({"host.width": 9223372036854775807, "host.height": -9223372036854775808, "host.fps": 18446744073709551615})",
       with([](HostSettings& s) { s.width = 16384, s.height = 64, s.fps = 1000; })},
      {R"({"host.width": 1281.9, "host.height": "  +721px", "host.fps": "30fps"})",
       with([](HostSettings& s) { s.width = 1280, s.height = 720, s.fps = 30; })},
      {R"({"host.width": "NaN", "host.height": "-inf", "host.fps": "99999999999999999999999"})",
       with([](HostSettings& s) { s.width = 64, s.height = 64, s.fps = 1000; })},
      {R"({"host.width": [1920], "host.height": {"v": 1}, "host.fps": true})",
       with([](HostSettings& s) { s.width = 64, s.height = 64, s.fps = 1; })},
      {R"({"host.width": null, "host.height": null})", ship},
      // Port: the integer reading when it lies in 1...65535, else 27184.
      {R"({"host.port": 0})", ship},
      {R"({"host.port": 70000})", ship},
      {R"({"host.port": -1})", ship},
      {R"({"host.port": 1e19})", ship},
      {R"({"host.port": 65601})", ship},
      {R"({"host.port": "8080"})", with([](HostSettings& s) { s.port = 8080; })},
      {R"({"host.port": 443.7})", with([](HostSettings& s) { s.port = 443; })},
      // Flags: the boolean reading of whatever is stored.
      {R"({"host.usbEnabled": "NO", "host.secureWifi": 0, "host.pairingEnabled": 0.0, "host.autoStart": [],
           "host.checkForUpdates": "false"})",
       with([](HostSettings& s) {
         s.usbEnabled = false, s.secureWifi = false, s.pairingEnabled = false, s.autoStart = false,
         s.checkForUpdates = false;
       })},
      {R"({"host.captureMain": "YES", "host.penHighRate": 2, "host.launchAtLogin": "007"})",
       with([](HostSettings& s) { s.captureMain = true, s.penHighRate = true, s.launchAtLogin = true; })},
      // The notice: exactly one of the raw values, else wifi.
      {R"({"host.connectNotice": "always"})", with([](HostSettings& s) { s.connectNotice = ConnectNotice::always; })},
      {R"({"host.connectNotice": "Always"})", ship},
      {R"({"host.connectNotice": 1})", ship},
      {R"({"host.connectNotice": {"off": true}})", ship},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.values);
    EXPECT_EQ(loadFile(fileWith(dir, c.values)), c.expected);
  }
}

TEST(UserDefaultsSettingsStoreRules, HostileFilesLoadAsTheShipDefaultsAndAreKept) {
  SettingsTempDir dir;
  const std::string huge = "{\"lumenrail\": {\"host.width\": \"" + std::string(5 * 1024 * 1024, '9') + "\"}}";
  // Reading or saving a value recurses per level: a million would overflow the stack.
  const std::string deep = "{\"lumenrail\": {\"host.width\": " + std::string(1'000'000, '[') +
                           std::string(1'000'000, ']') + "}}";
  for (const std::string& text : {std::string("{ not json"), std::string(""), std::string("[1, 2]"),
                                  std::string("{\"lumenrail\": {\"host.width\": NaN}}"),
                                  std::string("{\"lumenrail\": {\"host.width\": 1e400}}"), huge, deep}) {
    SCOPED_TRACE(text.substr(0, 40));
    const std::string file = dir.write("defaults.json", text);
    test::EventLog log;
    UserDefaultsSettingsStore store(
        std::make_shared<UserDefaults>(file, "lumenrail", [&](const std::string& l) { log.add(l); }));
    EXPECT_EQ(store.load(), HostSettings::shipDefaults());
    EXPECT_TRUE(log.contains("[app] WARN: the settings file " + file + " could not be read; kept as "));
    // The bad file is kept aside, and the next save starts a good one.
    store.save(HostSettings::cliDefaults());
    EXPECT_EQ(loadFile(file), HostSettings::cliDefaults());
    int kept = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      kept += entry.path().filename().string().starts_with("defaults.json.corrupt-") ? 1 : 0;
    }
    EXPECT_GE(kept, 1);
  }

  // A domain that is not an object is no settings.
  EXPECT_EQ(loadFile(dir.write("defaults.json", R"({"lumenrail": 5})")), HostSettings::shipDefaults());
  EXPECT_EQ(loadFile(dir.write("defaults.json", R"({"lumenrail": ["host.width", 800]})")),
            HostSettings::shipDefaults());
}

// Settings decide whether the desktop is served open: a file that someone
// else could have written (pairing and encryption off) is never obeyed, and
// saves never land where that someone could change them.
TEST(UserDefaultsSettingsStoreRules, FilesOthersCouldHaveWrittenAreRefusedAndNeverWritten) {
  const std::string open = R"({"lumenrail": {"host.pairingEnabled": false, "host.secureWifi": false}})";
  const auto stranger = test::unknownUid();
  struct Case {
    const char* name;
    mode_t file;      // 0: no file
    mode_t folder;
    bool strangersFile = false;
    bool strangersFolder = false;
  };
  const Case cases[] = {
      {"file 0666", 0666, 0700},           {"file 0620", 0620, 0700},
      {"folder 0777", 0600, 0777},         {"folder 1777", 0600, 01777},
      {"no file, folder 0777", 0, 0777},   {"stranger's file", 0600, 0700, true},
      {"stranger's folder", 0600, 0755, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if ((c.strangersFile || c.strangersFolder) && !stranger) continue;
    SettingsTempDir dir;
    const std::string folder = dir / "lumenrail";
    fs::create_directory(folder);
    const std::string file = folder + "/defaults.json";
    if (c.file) {
      std::ofstream(file) << open;
      ASSERT_EQ(::chmod(file.c_str(), c.file), 0);
      if (c.strangersFile) {
        ASSERT_EQ(::chown(file.c_str(), *stranger, *stranger), 0);
      }
    }
    ASSERT_EQ(::chmod(folder.c_str(), c.folder), 0);
    if (c.strangersFolder) {
      ASSERT_EQ(::chown(folder.c_str(), *stranger, *stranger), 0);
    }
    struct stat before {};
    if (c.file) {
      ASSERT_EQ(::stat(file.c_str(), &before), 0);
    }

    test::EventLog log;
    auto defaults = std::make_shared<UserDefaults>(file, "lumenrail", [&](const std::string& l) { log.add(l); });
    UserDefaultsSettingsStore store(defaults, [&](const std::string& l) { log.add(l); });
    EXPECT_EQ(store.load(), HostSettings::shipDefaults());
    store.save(HostSettings::cliDefaults());
    EXPECT_EQ(store.load(), HostSettings::cliDefaults()) << "kept in memory";
    EXPECT_EQ(log.count("[app] WARN: the settings file " + file + " is not used ("), 1);
    EXPECT_TRUE(log.contains("[app] WARN: settings not saved: " + file + " is not used"));

    // Nothing written: the file as it was, no temporary file beside it.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, c.file ? std::vector<std::string>{"defaults.json"} : std::vector<std::string>{});
    if (c.file) {
      struct stat after {};
      ASSERT_EQ(::stat(file.c_str(), &after), 0);
      EXPECT_EQ(after.st_ino, before.st_ino);
      EXPECT_EQ(after.st_mode, before.st_mode);
      EXPECT_EQ(readJson(file), nlohmann::json::parse(open));
    }
  }
  if (!stranger) GTEST_SKIP() << "not root: files owned by another user cannot be made here";
}

TEST(UserDefaultsSettingsStoreRules, AFailedSaveIsLogged) {
  SettingsTempDir dir;
  // The defaults file's folder is a plain file: nothing can be written.
  const std::string blocker = dir.write("blocker", "x");
  test::EventLog log;
  UserDefaultsSettingsStore store(std::make_shared<UserDefaults>(blocker + "/defaults.json", "lumenrail"),
                                  [&](const std::string& l) { log.add(l); });
  store.save(HostSettings::cliDefaults());
  EXPECT_TRUE(log.contains("[app] WARN: settings not saved: "));
}

}  // namespace
}  // namespace lumenrail
