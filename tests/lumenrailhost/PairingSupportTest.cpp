// The pairing set-up and the console question, in a private pairing folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "PairingSupport.hpp"
#include "links/HostIdentity.hpp"
#include "links/HostPairingStore.hpp"
#include "links/PairedDevicesStore.hpp"
#include "links/PairingProtocol.hpp"
#include "support/TempPairingFolder.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;

class PairingSupportTest : public ::testing::Test {
 protected:
  Log::Sink sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(m_);
      lines_.push_back(line);
    };
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(m_);
    return lines_;
  }

  test::TempPairingFolder folder_{"lumenrail-support"};
  const fs::path root_ = folder_.root();
  std::mutex m_;
  std::vector<std::string> lines_;
};

WireServer::Pairing::Approve never() {
  return [](const std::string&, const std::string&, const std::string&) { return false; };
}

TEST_F(PairingSupportTest, LoadCreatesTheIdentityOnceAndCountsPairedDevices) {
  bool cancelled = false;
  auto pairing = PairingSupport::load(never(), [&](const std::string&) { cancelled = true; }, sink());
  ASSERT_TRUE(pairing);
  const std::string fp = PairingProtocol::fingerprint(pairing->identity.publicKey());
  EXPECT_EQ(lines(), std::vector<std::string>{"[pair] host identity " + fp + " — 0 paired device(s)"});
  EXPECT_EQ(pairing->approvalTimeoutSeconds, 120);
  ASSERT_TRUE(pairing->peers);
  EXPECT_EQ(pairing->peers->fileURL(), root_ / "LumenrailHost" / "paired-devices.json");
  ASSERT_TRUE(pairing->cancelApprove);
  pairing->cancelApprove("x");
  EXPECT_TRUE(cancelled);
  EXPECT_TRUE(fs::exists(HostIdentity::fileURL()));

  pairing->peers->pin(Bytes(32, 7), "Pad", std::nullopt, PairingProtocol::DeviceKind::unknown, 1.0);
  auto again = PairingSupport::load(never(), {}, sink());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->identity.publicKey(), pairing->identity.publicKey());
  EXPECT_FALSE(again->cancelApprove);
  EXPECT_EQ(lines().back(), "[pair] host identity " + fp + " — 1 paired device(s)");
}

TEST_F(PairingSupportTest, LoadWithoutAUsableFolderDisablesPairing) {
  // The pairing folder would have to be made inside a regular file.
  std::ofstream(root_ / "file") << "x";
  HostPairingStore::setDirectoryOverride(root_ / "file" / "LumenrailHost");
  EXPECT_FALSE(PairingSupport::load(never(), {}, sink()));
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_TRUE(lines()[0].starts_with("[pair] FAILED to load the host identity (")) << lines()[0];
  EXPECT_TRUE(lines()[0].ends_with(") — pairing disabled")) << lines()[0];
}

TEST(PairingSupportCode, GroupsSixDigitsOnly) {
  EXPECT_EQ(PairingSupport::groupedCode("012345"), "012 345");
  EXPECT_EQ(PairingSupport::groupedCode("12345"), "12345");
  EXPECT_EQ(PairingSupport::groupedCode("1234567"), "1234567");
}

// The console question over pipes: what the owner types, what is printed.
struct Console {
  int in[2];
  int out[2];
  Console() {
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
  }
  ~Console() {
    for (int fd : {in[0], in[1], out[0], out[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  void type(const std::string& text) { EXPECT_EQ(::write(in[1], text.data(), text.size()), ssize_t(text.size())); }
  void endInput() {
    ::close(in[1]);
    in[1] = -1;
  }
  bool ask(const std::string& sas, const std::string& fp, const std::string& name, int64_t timeoutMs = 10000) {
    return PairingSupport::consoleApproveOn(in[0], out[1], sas, fp, name, timeoutMs);
  }
  std::string printed() {
    ::close(out[1]);
    out[1] = -1;
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0) text.append(buf, size_t(n));
    return text;
  }
};

TEST(PairingSupportConsole, AsksWithTheGroupedCodeAndAllowsOnAnswersBeginningWithY) {
  Console c;
  c.type("  YES \n");
  EXPECT_TRUE(c.ask("123456", "AbCdEfGhIjK", "Pad"));
  EXPECT_EQ(c.printed(),
            "[pair] NEW DEVICE Pad (AbCdEfGhIjK) — code 123 456 (must match the device's screen). Allow? [y/N] ");
}

TEST(PairingSupportConsole, EverythingElseDeniesOneLineAtATime) {
  Console c;
  c.type("y\nn\n\nok\nYup\n");
  EXPECT_TRUE(c.ask("123456", "F", ""));
  EXPECT_FALSE(c.ask("123456", "F", ""));
  EXPECT_FALSE(c.ask("123456", "F", ""));
  EXPECT_FALSE(c.ask("123456", "F", ""));
  EXPECT_TRUE(c.ask("12345", "F", ""));
  const std::string printed = c.printed();
  EXPECT_NE(printed.find("[pair] NEW DEVICE F — code 123 456 (must match"), std::string::npos);
  EXPECT_NE(printed.find("[pair] NEW DEVICE F — code 12345 (must match"), std::string::npos);
}

TEST(PairingSupportConsole, TheEndOfInputDenies) {
  Console c;
  c.endInput();
  EXPECT_FALSE(c.ask("123456", "F", "Pad"));
  EXPECT_TRUE(c.printed().ends_with("Allow? [y/N] \n[pair] no console input — denied\n"));
}

TEST(PairingSupportConsole, AnOwnerWhoDoesNotAnswerInTimeDenies) {
  Console c;
  EXPECT_FALSE(c.ask("123456", "F", "Pad", 0));
  EXPECT_TRUE(c.printed().ends_with("Allow? [y/N] \n[pair] no answer on the console for F — denied\n"));
}

TEST(PairingSupportConsole, ShowsNamesWithoutControlCharacters) {
  Console c;
  c.type("n\n");
  EXPECT_FALSE(c.ask("123456", "F", "Pa\u202Ed\x1b[2J"));
  EXPECT_TRUE(c.printed().starts_with("[pair] NEW DEVICE Pad[2J (F) — code"));
}

}  // namespace
}  // namespace lumenrail
