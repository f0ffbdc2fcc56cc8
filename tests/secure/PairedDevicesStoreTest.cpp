#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "secure/HostIdentity.hpp"
#include "secure/HostPairingStore.hpp"
#include "secure/PairedDevicesStore.hpp"
#include "secure/PairingStoreError.hpp"
#include "support/HexBytes.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;
namespace P = PairingProtocol;
using P::DeviceKind;
using test::fromHex;

// RFC 8032 test 1 public key, its standard Base64 and fingerprint
// (computed with Python's base64 and hashlib).
const char* kKeyA = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
const char* kKeyABase64 = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
const char* kKeyAFingerprint = "If4x36FUomE";
const char* kKeyB = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";

Bytes key(uint8_t n) { return Bytes(32, n); }

std::string readText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeText(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// Every test works in a private temporary folder; the pairing folder is
// pointed there, so the real home directory is never touched.
class PairingFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "lumenrail-pairing-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    folder_ = root_ / "data" / "LumenrailHost";
    HostPairingStore::setDirectoryOverride(folder_);
  }
  void TearDown() override {
    HostPairingStore::setDirectoryOverride(std::nullopt);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path devicesFile() const { return folder_ / "paired-devices.json"; }

  std::unique_ptr<PairedDevicesStore> open() {
    return std::make_unique<PairedDevicesStore>(devicesFile(), [this](const std::string& line) {
      std::lock_guard lock(logMutex_);
      log_.push_back(line);
    });
  }

  std::vector<std::string> logLines() {
    std::lock_guard lock(logMutex_);
    return log_;
  }

  std::vector<fs::path> corruptCopies() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(folder_)) {
      if (e.path().filename().string().starts_with("paired-devices.json.corrupt-")) out.push_back(e.path());
    }
    return out;
  }

  nlohmann::json fileJson() const { return nlohmann::json::parse(readText(devicesFile())); }

  fs::path root_;
  fs::path folder_;
  std::mutex logMutex_;
  std::vector<std::string> log_;
};

using HostIdentityFile = PairingFiles;
using PairedDevicesFile = PairingFiles;
using PairedDevicesRules = PairingFiles;

TEST(HostPairingFolder, FollowsTheXdgDataHome) {
  EXPECT_EQ(HostPairingStore::defaultDirectory({{"XDG_DATA_HOME", "/d"}, {"HOME", "/h"}}), "/d/LumenrailHost");
  EXPECT_EQ(HostPairingStore::defaultDirectory({{"XDG_DATA_HOME", "rel"}, {"HOME", "/h"}}),
            "/h/.local/share/LumenrailHost");
  EXPECT_EQ(HostPairingStore::defaultDirectory({{"XDG_DATA_HOME", ""}, {"HOME", "/h"}}),
            "/h/.local/share/LumenrailHost");
  EXPECT_TRUE(HostPairingStore::defaultDirectory({}).string().ends_with("/.local/share/LumenrailHost"));
}

TEST_F(HostIdentityFile, CreatesPrivateFolderAndKeyOnceThenKeepsIt) {
  EXPECT_EQ(HostPairingStore::directory(), folder_);
  const mode_t old = ::umask(0);  // the promised modes hold whatever the umask
  const Ed25519PrivateKey first = HostIdentity::loadOrCreate();
  ::umask(old);
  EXPECT_EQ(modeOf(folder_), 0700u);
  EXPECT_EQ(modeOf(folder_.parent_path()), 0700u);
  EXPECT_EQ(HostIdentity::fileURL(), folder_ / "identity.key");
  EXPECT_EQ(modeOf(HostIdentity::fileURL()), 0600u);
  const std::string raw = readText(HostIdentity::fileURL());
  ASSERT_EQ(raw.size(), 32u);
  const SymmetricKey seed = first.rawRepresentation();
  EXPECT_EQ(Bytes(raw.begin(), raw.end()), Bytes(seed.bytes().begin(), seed.bytes().end()));
  EXPECT_EQ(HostIdentity::loadOrCreate().publicKey(), first.publicKey());
  // Only the key is left behind: no temporary files.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

TEST_F(HostIdentityFile, ExistingFolderKeepsItsMode) {
  fs::create_directories(folder_);
  ::chmod(folder_.c_str(), 0750);
  const mode_t old = ::umask(0777);
  HostIdentity::loadOrCreate();
  ::umask(old);
  EXPECT_EQ(modeOf(folder_), 0750u);
  EXPECT_EQ(modeOf(HostIdentity::fileURL()), 0600u);
}

// Another local user must not be able to plant a key or a "paired" device:
// an open folder is closed, files that others own or may write are refused
// and left as they are.
TEST_F(PairingFiles, WhatOtherUsersCouldWriteIsClosedOrRefused) {
  auto log = [this](const std::string& line) { log_.push_back(line); };
  auto refused = [&](auto&& load) {
    try {
      load();
    } catch (const PairingStoreError& e) {
      return e.kind == PairingStoreError::Kind::notPrivate;
    }
    return false;
  };
  fs::create_directories(folder_);
  ::chmod(folder_.c_str(), 0777);
  const Ed25519PrivateKey first = HostIdentity::loadOrCreate(log);
  EXPECT_EQ(modeOf(folder_), 0700u);
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0], "[pair] WARN: " + folder_.string() +
                         " could be written by other users (mode 0777) — made it 0700, owner only");

  // Readable by others only: narrowed, and the same key.
  ::chmod(HostIdentity::fileURL().c_str(), 0644);
  EXPECT_EQ(HostIdentity::loadOrCreate(log).publicKey(), first.publicKey());
  EXPECT_EQ(modeOf(HostIdentity::fileURL()), 0600u);

  const std::string key = readText(HostIdentity::fileURL());
  ::chmod(HostIdentity::fileURL().c_str(), 0666);
  EXPECT_TRUE(refused([&] { HostIdentity::loadOrCreate(log); }));
  EXPECT_EQ(readText(HostIdentity::fileURL()), key);
  EXPECT_EQ(modeOf(HostIdentity::fileURL()), 0666u);
  ::chmod(HostIdentity::fileURL().c_str(), 0600);

  writeText(devicesFile(), "[]");
  ::chmod(devicesFile().c_str(), 0620);
  EXPECT_TRUE(refused([&] { open(); }));
  EXPECT_EQ(modeOf(devicesFile()), 0620u);
  EXPECT_TRUE(corruptCopies().empty());
  ::chmod(devicesFile().c_str(), 0600);
  EXPECT_NO_THROW(open());

  if (::geteuid() != 0) return;  // handing files to another user needs root
  constexpr uid_t kNobody = 65534;
  ASSERT_EQ(::chown(devicesFile().c_str(), kNobody, kNobody), 0);
  EXPECT_TRUE(refused([&] { open(); }));
  ASSERT_EQ(::chown(HostIdentity::fileURL().c_str(), kNobody, kNobody), 0);
  EXPECT_TRUE(refused([&] { HostIdentity::loadOrCreate(log); }));
  ASSERT_EQ(::chown(folder_.c_str(), kNobody, kNobody), 0);
  EXPECT_TRUE(refused([&] { HostIdentity::loadOrCreate(log); }));
  EXPECT_EQ(readText(HostIdentity::fileURL()), key);
}

TEST_F(HostIdentityFile, WrongLengthIsSetAsideNeverOverwritten) {
  fs::create_directories(folder_);
  std::vector<std::string> kept;
  for (size_t length : {size_t{0}, size_t{5}, size_t{31}, size_t{33}, size_t{5000}}) {
    const std::string text(length, static_cast<char>('a' + kept.size()));
    writeText(HostIdentity::fileURL(), text);
    std::vector<std::string> lines;
    const Ed25519PrivateKey key = HostIdentity::loadOrCreate([&](const std::string& l) { lines.push_back(l); });
    EXPECT_EQ(readText(HostIdentity::fileURL()).size(), 32u) << length;
    EXPECT_EQ(HostIdentity::loadOrCreate().publicKey(), key.publicKey());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("[pair] WARN: ")) << lines[0];
    const std::string size = length > 4096 ? "holds over " : "holds " + std::to_string(length) + " bytes,";
    EXPECT_NE(lines[0].find(size), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(" — kept as " + HostIdentity::fileURL().string() + ".corrupt-"), std::string::npos)
        << lines[0];
    kept.push_back(text);
  }
  std::vector<std::string> copies;
  for (const auto& e : fs::directory_iterator(folder_)) {
    if (e.path().filename().string().starts_with("identity.key.corrupt-")) copies.push_back(readText(e.path()));
  }
  std::ranges::sort(copies);
  std::ranges::sort(kept);
  EXPECT_EQ(copies, kept) << "every rejected key kept byte for byte";
}

TEST(HostPairingFolder, WithoutAHomeThereIsNoFolderRatherThanOneAtTheRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become an account without a password entry";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // An account the password database does not know, and no HOME or XDG variables.
    if (::setuid(54321) != 0) ::_exit(3);
    ::unsetenv("HOME");
    ::unsetenv("XDG_DATA_HOME");
    HostPairingStore::setDirectoryOverride(std::nullopt);
    if (!HostPairingStore::defaultDirectory(processEnvironment()).empty()) ::_exit(4);
    try {
      HostPairingStore::directory();
    } catch (const PairingStoreError& e) {
      ::_exit(e.kind == PairingStoreError::Kind::directoryFailed ? 0 : 5);
    }
    ::_exit(6);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists("/LumenrailHost"));
}

TEST_F(HostIdentityFile, OtherReadErrorsKeepTheIdentityAndAreReported) {
  // A key that cannot be read (here: a folder in its place) must never be
  // replaced: a passing I/O error would otherwise unpair every device.
  fs::create_directories(HostIdentity::fileURL());
  writeText(HostIdentity::fileURL() / "keep", "x");
  try {
    HostIdentity::loadOrCreate();
    ADD_FAILURE() << "no error";
  } catch (const PairingStoreError& e) {
    EXPECT_EQ(e.kind, PairingStoreError::Kind::readFailed);
    EXPECT_TRUE(std::string(e.what()).starts_with("readFailed(\"")) << e.what();
  }
  EXPECT_TRUE(fs::is_directory(HostIdentity::fileURL()));
  EXPECT_EQ(readText(HostIdentity::fileURL() / "keep"), "x");
}

TEST_F(HostIdentityFile, AFolderThatCannotBeMadeIsReported) {
  // A dangling link where the folder belongs: the key reads as missing, but
  // the folder cannot be made.
  fs::create_directories(folder_.parent_path());
  fs::create_symlink(root_ / "gone" / "away", folder_);
  try {
    HostIdentity::loadOrCreate();
    ADD_FAILURE() << "no error";
  } catch (const PairingStoreError& e) {
    EXPECT_EQ(e.kind, PairingStoreError::Kind::directoryFailed) << e.what();
    EXPECT_NE(std::string(e.what()).find("File exists"), std::string::npos) << e.what();
  }
  // A file in place of the folder: the folder is checked before any key is read.
  fs::remove(folder_);
  writeText(folder_, "a file where the folder belongs");
  try {
    HostIdentity::loadOrCreate();
    ADD_FAILURE() << "no error";
  } catch (const PairingStoreError& e) {
    EXPECT_EQ(e.kind, PairingStoreError::Kind::directoryFailed) << e.what();
  }
  EXPECT_EQ(readText(folder_), "a file where the folder belongs");
}

TEST_F(PairedDevicesFile, WritesTheRecordFormatPrivately) {
  auto store = open();
  EXPECT_TRUE(store->all().empty());
  EXPECT_FALSE(fs::exists(devicesFile())) << "nothing is written before the first change";
  const mode_t old = ::umask(0);
  store->pin(fromHex(kKeyA), "Ada's tablet", fromHex("95d628fc6289bb8f"), DeviceKind::iPad, 1700000000.25);
  store->pin(fromHex(kKeyB), "Phone", std::nullopt, DeviceKind::unknown, 1700000001.5);
  ::umask(old);
  EXPECT_EQ(modeOf(devicesFile()), 0600u);
  EXPECT_EQ(modeOf(folder_), 0700u);

  const auto j = fileJson();
  ASSERT_TRUE(j.is_array());
  ASSERT_EQ(j.size(), 2u);
  EXPECT_EQ(j[0], nlohmann::json::parse(R"({"fingerprint": "If4x36FUomE",
      "publicKey": "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=", "label": "Ada's tablet",
      "lastSeen": 1700000000.25, "deviceId": "95d628fc6289bb8f", "kind": 4})"));
  EXPECT_FALSE(j[1].contains("deviceId"));
  EXPECT_FALSE(j[1].contains("kind"));
  EXPECT_FALSE(j[1].contains("alias"));
  EXPECT_EQ(j[1]["lastSeen"], 1700000001.5);

  // And back: a new store reads the same records.
  auto again = open();
  EXPECT_EQ(again->all(), store->all());
  ASSERT_TRUE(again->lookup(fromHex(kKeyA)).has_value());
  EXPECT_EQ(again->lookup(fromHex(kKeyA))->fingerprint, kKeyAFingerprint);
  EXPECT_FALSE(again->lookup(key(9)).has_value());
  EXPECT_TRUE(logLines().empty());
  EXPECT_TRUE(corruptCopies().empty());
}

TEST_F(PairedDevicesFile, ReadsOptionalFieldsAbsentOrNull) {
  fs::create_directories(folder_);
  writeText(devicesFile(), std::string(R"([
    {"fingerprint": "If4x36FUomE", "publicKey": ")") + kKeyABase64 + R"(", "label": "A", "lastSeen": 12},
    {"lastSeen": 3.5, "label": "B", "publicKey": "AAAA", "fingerprint": "x", "deviceId": null, "kind": 9,
     "alias": "", "extra": [1, 2]},
    {"fingerprint": "y", "publicKey": "", "label": "C", "lastSeen": 0, "kind": -1, "alias": "Den"}])");
  auto store = open();
  const auto all = store->all();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].lastSeen, 12.0);
  EXPECT_FALSE(all[0].deviceId || all[0].kind || all[0].alias);
  EXPECT_EQ(all[1].publicKey, Bytes(3, 0));
  EXPECT_EQ(all[1].kind, 9);
  EXPECT_EQ(all[1].deviceKind(), DeviceKind::unknown);
  EXPECT_EQ(all[1].displayName(), "B") << "an empty alias falls back to the label";
  EXPECT_EQ(all[2].deviceKind(), DeviceKind::unknown);
  EXPECT_EQ(all[2].displayName(), "Den");
  EXPECT_TRUE(logLines().empty());
}

TEST_F(PairedDevicesFile, UnreadableFileIsKeptAsideNeverOverwritten) {
  const std::string lacksLastSeen = std::string(R"([{"fingerprint": "If4x36FUomE", "publicKey": ")") +
                                    kKeyABase64 + R"(", "label": "A", "lastSeen": 1},
      {"fingerprint": "z", "publicKey": "AAAA", "label": "B"}])";
  const std::string bad[] = {lacksLastSeen,
                             "",
                             "{\"not\": \"an array\"}",
                             "[{\"fingerprint\": 1, \"publicKey\": \"AAAA\", \"label\": \"B\", \"lastSeen\": 1}]",
                             "[{\"fingerprint\": \"a\", \"publicKey\": \"A===\", \"label\": \"B\", \"lastSeen\": 1}]",
                             "[{\"fingerprint\": \"a\", \"publicKey\": \"\", \"label\": \"B\", \"lastSeen\": 1, "
                             "\"kind\": 2.5}]",
                             "[\"\xC3\x28\"]",
                             std::string(200000, '[') + std::string(200000, ']'),
                             std::string(5 * 1024 * 1024, ' ') + "[]"};
  for (const std::string& text : bad) {
    fs::create_directories(folder_);
    writeText(devicesFile(), text);
    log_.clear();
    auto store = open();
    EXPECT_TRUE(store->all().empty());
    const auto copies = corruptCopies();
    ASSERT_EQ(copies.size(), 1u) << text.substr(0, 80);
    EXPECT_EQ(readText(copies[0]), text) << "kept byte for byte";
    EXPECT_FALSE(fs::exists(devicesFile()));
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("[pair] WARN: ")) << lines[0];
    EXPECT_NE(lines[0].find(copies[0].string()), std::string::npos) << lines[0];

    // The next change writes a file holding only the new record.
    store->pin(key(1), "New", std::nullopt, DeviceKind::unknown, 5);
    ASSERT_EQ(fileJson().size(), 1u);
    EXPECT_EQ(readText(copies[0]), text);
    fs::remove_all(folder_);
  }
}

TEST_F(PairedDevicesFile, AFileThatCannotBeReadIsLeftInPlaceAndTheStoreRefused) {
  // A read error says nothing about the pairings inside: nothing is set
  // aside and nothing may be written over it. (A folder in its place reads
  // as EISDIR; an unreadable mode as EACCES where permissions apply.)
  fs::create_directories(devicesFile());
  writeText(devicesFile() / "keep", "x");
  try {
    open();
    ADD_FAILURE() << "no error";
  } catch (const PairingStoreError& e) {
    EXPECT_EQ(e.kind, PairingStoreError::Kind::readFailed) << e.what();
  }
  EXPECT_EQ(readText(devicesFile() / "keep"), "x");
  EXPECT_TRUE(corruptCopies().empty());
  fs::remove_all(devicesFile());
  if (::geteuid() == 0) return;  // root reads any mode
  writeText(devicesFile(), "[]");
  ::chmod(devicesFile().c_str(), 0);
  EXPECT_THROW(open(), PairingStoreError);
  ::chmod(devicesFile().c_str(), 0600);
  EXPECT_EQ(readText(devicesFile()), "[]");
  EXPECT_TRUE(corruptCopies().empty());
}

TEST_F(PairedDevicesFile, TwoUnreadableFilesInOneSecondGetTheirOwnCopies) {
  fs::create_directories(folder_);
  writeText(devicesFile(), "first");
  open();
  writeText(devicesFile(), "second");
  open();
  const auto copies = corruptCopies();
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_NE(readText(copies[0]), readText(copies[1]));
}

TEST_F(PairedDevicesFile, AFileThatCannotBeMovedAsideBlocksWrites) {
  if (::geteuid() == 0) GTEST_SKIP() << "running as root: folder permissions cannot stop a rename";
  fs::create_directories(folder_);
  writeText(devicesFile(), "{broken");
  ::chmod(folder_.c_str(), 0500);
  auto store = open();
  EXPECT_THROW(store->pin(key(1), "A", std::nullopt, DeviceKind::unknown, 1), PairingStoreError);
  EXPECT_TRUE(store->all().empty());
  ::chmod(folder_.c_str(), 0700);
  EXPECT_EQ(readText(devicesFile()), "{broken");
  // Once the folder is writable the next change moves it aside and goes in.
  store->pin(key(1), "A", std::nullopt, DeviceKind::unknown, 1);
  EXPECT_EQ(corruptCopies().size(), 1u);
  EXPECT_EQ(fileJson().size(), 1u);
}

TEST_F(PairedDevicesFile, FailedWritesAreReportedAndChangeNothing) {
  auto store = open();
  store->pin(key(1), "One", fromHex("0102030405060708"), DeviceKind::iPhone, 1);
  const auto before = store->all();
  const std::string fileBefore = readText(devicesFile());
  // A non-empty folder where the file belongs: the final rename must fail.
  const fs::path moved = root_ / "saved.json";
  fs::rename(devicesFile(), moved);
  fs::create_directories(devicesFile());
  writeText(devicesFile() / "blocker", "x");

  auto expectWriteFailed = [](const std::function<void()>& f) {
    try {
      f();
      ADD_FAILURE() << "no error";
    } catch (const PairingStoreError& e) {
      EXPECT_EQ(e.kind, PairingStoreError::Kind::writeFailed) << e.what();
    }
  };
  expectWriteFailed([&] { store->pin(key(2), "Two", std::nullopt, DeviceKind::unknown, 2); });
  expectWriteFailed([&] { store->pin(key(3), "Three", fromHex("0102030405060708"), DeviceKind::iPad, 3); });
  expectWriteFailed([&] { store->touch(key(1), "Renamed", std::nullopt, DeviceKind::unknown, 4); });
  expectWriteFailed([&] { store->rename(before[0].fingerprint, "Alias"); });
  expectWriteFailed([&] { store->revoke(before[0].fingerprint); });
  EXPECT_EQ(store->all(), before);
  EXPECT_FALSE(store->lookup(key(2)).has_value());
  // No temporary file is left behind.
  for (const auto& e : fs::directory_iterator(folder_)) {
    EXPECT_FALSE(e.path().filename().string().starts_with(".")) << e.path();
  }

  fs::remove_all(devicesFile());
  fs::rename(moved, devicesFile());
  EXPECT_EQ(readText(devicesFile()), fileBefore);
  store->pin(key(2), "Two", std::nullopt, DeviceKind::unknown, 2);
  EXPECT_EQ(fileJson().size(), 2u);
}

TEST_F(PairedDevicesFile, ConcurrentChangesLoseNothing) {
  auto store = open();
  constexpr int kThreads = 8;
  constexpr int kPerThread = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Bytes k(32, static_cast<uint8_t>(t));
        k[1] = static_cast<uint8_t>(i);
        const Bytes id{static_cast<uint8_t>(t), static_cast<uint8_t>(i), 0, 0, 0, 0, 0, 0};
        store->pin(k, "dev " + std::to_string(t) + "/" + std::to_string(i), id, DeviceKind::android, t * 100 + i);
        store->touch(k, std::nullopt, std::nullopt, DeviceKind::unknown, t * 100 + i + 0.5);
        (void)store->all();
      }
    });
  }
  for (auto& th : threads) th.join();

  const auto j = fileJson();
  ASSERT_EQ(j.size(), static_cast<size_t>(kThreads * kPerThread));
  auto reread = open();
  EXPECT_EQ(reread->all().size(), static_cast<size_t>(kThreads * kPerThread));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      Bytes k(32, static_cast<uint8_t>(t));
      k[1] = static_cast<uint8_t>(i);
      const auto d = reread->lookup(k);
      ASSERT_TRUE(d.has_value()) << t << "/" << i;
      EXPECT_EQ(d->lastSeen, t * 100 + i + 0.5);
    }
  }
  EXPECT_EQ(reread->all(), store->all());
}

TEST_F(PairedDevicesRules, PinReplacesOtherKeysOfTheSameDeviceButNeverTakesTheirAlias) {
  auto store = open();
  const Bytes id = fromHex("a1a2a3a4a5a6a7a8");
  store->pin(key(1), "Old install", id, DeviceKind::iPad, 1);
  store->pin(key(2), "Other device", fromHex("0000000000000001"), DeviceKind::iPhone, 2);
  store->pin(key(3), "Older install", id, DeviceKind::iPad, 3);  // replaces key 1 already
  const std::string fp3 = P::fingerprint(key(3));
  store->rename(fp3, "Kitchen");

  const auto replaced = store->pin(key(4), "Reinstalled", id, DeviceKind::iPad, 4);
  EXPECT_EQ(replaced, std::vector<std::string>{fp3});
  const auto all = store->all();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].publicKey, key(2)) << "the rest keep their order";
  EXPECT_EQ(all[1].publicKey, key(4));
  // The id is the client's claim: another key claiming it gets no owner-given name.
  EXPECT_FALSE(all[1].alias.has_value());
  EXPECT_EQ(all[1].displayName(), "Reinstalled");
  EXPECT_EQ(all[1].label, "Reinstalled");
  EXPECT_EQ(all[1].deviceId, "a1a2a3a4a5a6a7a8");

  // Re-pinning the same key never removes its own record; no id removes nothing.
  EXPECT_TRUE(store->pin(key(4), "ignored", id, DeviceKind::iPad, 5).empty());
  EXPECT_TRUE(store->pin(key(5), "No id", std::nullopt, DeviceKind::unknown, 6).empty());
  EXPECT_EQ(store->all().size(), 3u);
}

TEST_F(PairedDevicesRules, SeveralRecordsOfOneDeviceOrOneFingerprint) {
  fs::create_directories(folder_);
  writeText(devicesFile(), R"([
    {"fingerprint": "f1", "publicKey": "AQ==", "label": "a", "lastSeen": 1, "deviceId": "0000000000000009", "alias": ""},
    {"fingerprint": "f2", "publicKey": "Ag==", "label": "b", "lastSeen": 1, "deviceId": "0000000000000009", "alias": "Den"},
    {"fingerprint": "f3", "publicKey": "Aw==", "label": "c", "lastSeen": 1, "deviceId": "0000000000000009", "alias": "Hall"},
    {"fingerprint": "f4", "publicKey": "BA==", "label": "d", "lastSeen": 1, "deviceId": "000000000000000a"}])");
  auto store = open();
  EXPECT_EQ(store->pin(key(7), "e", fromHex("0000000000000009"), DeviceKind::android, 2),
            (std::vector<std::string>{"f1", "f2", "f3"}));
  const auto all = store->all();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].fingerprint, "f4");
  EXPECT_FALSE(all[1].alias.has_value());

  // Revoke forgets every record of a fingerprint and keeps the others' order.
  writeText(devicesFile(), R"([
    {"fingerprint": "dup", "publicKey": "AQ==", "label": "a", "lastSeen": 1},
    {"fingerprint": "keep", "publicKey": "Ag==", "label": "b", "lastSeen": 1},
    {"fingerprint": "dup", "publicKey": "Aw==", "label": "c", "lastSeen": 1},
    {"fingerprint": "keep2", "publicKey": "BA==", "label": "d", "lastSeen": 1}])");
  auto dups = open();
  dups->revoke("dup");
  ASSERT_EQ(dups->all().size(), 2u);
  EXPECT_EQ(dups->all()[0].fingerprint, "keep");
  EXPECT_EQ(dups->all()[1].fingerprint, "keep2");
}

TEST_F(PairedDevicesRules, PinOfAKnownKeyKeepsItsLabelAndFillsGaps) {
  fs::create_directories(folder_);
  writeText(devicesFile(), std::string(R"([{"fingerprint": "If4x36FUomE", "publicKey": ")") + kKeyABase64 +
                               R"(", "label": "First name", "lastSeen": 1, "kind": 0}])");
  auto store = open();
  store->pin(fromHex(kKeyA), "Second name", fromHex("1112131415161718"), DeviceKind::iPhone, 50);
  auto d = *store->lookup(fromHex(kKeyA));
  EXPECT_EQ(d.label, "First name");
  EXPECT_EQ(d.lastSeen, 50.0);
  EXPECT_EQ(d.deviceId, "1112131415161718");
  EXPECT_EQ(d.kind, 3) << "a stored 0 counts as missing";
  // Present values are never overwritten.
  store->pin(fromHex(kKeyA), "x", fromHex("2122232425262728"), DeviceKind::android, 60);
  d = *store->lookup(fromHex(kKeyA));
  EXPECT_EQ(d.deviceId, "1112131415161718");
  EXPECT_EQ(d.kind, 3);
  EXPECT_EQ(store->all().size(), 1u);
}

TEST_F(PairedDevicesRules, TouchRefreshesKnownDevicesOnly) {
  fs::create_directories(folder_);
  writeText(devicesFile(), std::string(R"([{"fingerprint": "If4x36FUomE", "publicKey": ")") + kKeyABase64 +
                               R"(", "label": "Tab", "lastSeen": 1}])");
  auto store = open();
  store->touch(fromHex(kKeyA), "", fromHex("95d628fc6289bb8f"), DeviceKind::iPad, 10);
  auto d = *store->lookup(fromHex(kKeyA));
  EXPECT_EQ(d.label, "Tab") << "an empty label keeps the stored one";
  EXPECT_EQ(d.lastSeen, 10.0);
  EXPECT_EQ(d.deviceId, "95d628fc6289bb8f");
  EXPECT_EQ(d.kind, 4);
  EXPECT_EQ(fileJson()[0]["kind"], 4);

  store->touch(fromHex(kKeyA), "New \u202Ename\u200B", std::nullopt, DeviceKind::unknown, 11);
  EXPECT_EQ(store->lookup(fromHex(kKeyA))->label, "New name");
  store->touch(fromHex(kKeyA), std::nullopt, std::nullopt, DeviceKind::unknown, 12);
  EXPECT_EQ(store->lookup(fromHex(kKeyA))->label, "New name");

  // An unknown key changes and writes nothing.
  fs::remove(devicesFile());
  store->touch(key(9), "Stranger", std::nullopt, DeviceKind::unknown, 13);
  EXPECT_FALSE(fs::exists(devicesFile()));
  EXPECT_EQ(store->all().size(), 1u);
}

TEST_F(PairedDevicesRules, RenameAndRevoke) {
  auto store = open();
  store->pin(key(1), "Tab", std::nullopt, DeviceKind::unknown, 1);
  store->pin(key(2), "Phone", std::nullopt, DeviceKind::unknown, 2);
  const std::string fp1 = P::fingerprint(key(1));

  store->rename(fp1, "  \u202EStudio\u2069 \n");
  EXPECT_EQ(store->all()[0].alias, "Studio");
  EXPECT_EQ(fileJson()[0]["alias"], "Studio");
  store->rename(fp1, " \t ");
  EXPECT_FALSE(store->all()[0].alias.has_value());
  EXPECT_EQ(store->all()[0].displayName(), "Tab");
  EXPECT_FALSE(fileJson()[0].contains("alias"));

  fs::remove(devicesFile());
  store->rename("nobody", "x");
  EXPECT_FALSE(fs::exists(devicesFile())) << "an unknown fingerprint writes nothing";

  // Revoking an unknown fingerprint still rewrites the file, unchanged.
  store->revoke("nobody");
  ASSERT_TRUE(fs::exists(devicesFile()));
  EXPECT_EQ(fileJson().size(), 2u);
  store->revoke(fp1);
  ASSERT_EQ(store->all().size(), 1u);
  EXPECT_EQ(store->all()[0].label, "Phone");
  EXPECT_EQ(fileJson().size(), 1u);
}

TEST_F(PairedDevicesRules, StoredValuesAlwaysReadBack) {
  auto store = open();
  store->pin(key(1), "\u202Egpj.exe\u202C\x1b[31m", std::nullopt, DeviceKind::unknown, 1);
  EXPECT_EQ(store->all()[0].label, "gpj.exe[31m");
  store->pin(key(2), "Bad \xC3", std::nullopt, DeviceKind::unknown, std::numeric_limits<double>::infinity());
  auto again = open();
  ASSERT_EQ(again->all().size(), 2u);
  EXPECT_EQ(again->all()[1].label, "Bad \uFFFD");
  EXPECT_TRUE(logLines().empty());
}

}  // namespace
}  // namespace lumenrail
