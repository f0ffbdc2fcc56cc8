// What the capture serve promises about security, checked on the built
// program from outside: pairing fails closed, the advertisement tells the
// truth about it, and a --secure key reaches the user as a working link.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "links/LanAddress.hpp"
#include "platform/Base64.hpp"
#include "support/HostProcess.hpp"
#include "support/PairingClient.hpp"
#include "support/PrivateAvahi.hpp"
#include "support/TempPairingFolder.hpp"
#include "support/Waiting.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kServe = {"--m2",  "--capture-main", "--port", "0",   "--width",
                                         "320",   "--height",       "240",    "--fps", "30"};

std::vector<std::string> with(std::vector<std::string> args, std::initializer_list<std::string> more) {
  args.insert(args.end(), more);
  return args;
}

// "... on :<port>" of the serving line.
uint16_t servingPort(const std::string& output) {
  const size_t line = output.find("[m2] capturing + serving");
  const size_t at = line == std::string::npos ? line : output.find(" on :", line);
  return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoul(output.substr(at + 5)));
}

// The rest of the line that follows `prefix`.
std::string lineAfter(const std::string& output, const std::string& prefix) {
  const size_t at = output.find(prefix);
  if (at == std::string::npos) return {};
  const size_t from = at + prefix.size();
  return output.substr(from, output.find('\n', from) - from);
}

TEST(M2ServeSecurityAcceptance, PairFailsClosedWhenItsFilesCannotBeRead) {
  // A display it can serve, so that pairing is what stops it.
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  // A folder where a file belongs reads as an I/O error (EISDIR), whoever runs the test.
  for (const char* unreadable : {"identity.key", "paired-devices.json"}) {
    test::TempPairingFolder home("lumenrail-m2-closed");
    fs::create_directories(home.folder() / unreadable);
    const std::string root = home.root().string();
    test::HostProcess child(LUMENRAILHOST_BINARY, with(kServe, {"--pair"}),
                            {"HOME=" + root, "XDG_DATA_HOME=" + root, "DISPLAY=" + x.display()});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.waitExit(), 2) << child.output();
    EXPECT_NE(child.output().find("[m2] ERROR: --pair was given but pairing cannot start"), std::string::npos)
        << child.output();
    EXPECT_EQ(child.output().find("listening on"), std::string::npos) << child.output();
    EXPECT_TRUE(fs::is_directory(home.folder() / unreadable)) << "left where it was: " << unreadable;
    for (const auto& e : fs::directory_iterator(home.folder())) {
      EXPECT_EQ(e.path().filename().string().find(".corrupt-"), std::string::npos) << e.path();
    }
  }
}

TEST(M2ServeSecurityAcceptance, WithoutPairingOrAKeyItWarnsOnceThatAnyoneCanControlTheDesktop) {
  const std::string warning =
      "[m2] WARN: no pairing and no key — anyone on the network can watch and control this desktop";
  const struct {
    std::vector<std::string> extra;
    size_t warnings;
  } rows[] = {{{}, 1}, {{"--pair"}, 0}, {{"--secure"}, 0}, {{"--pair", "--no-pair"}, 1}};
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  for (const auto& row : rows) {
    test::TempPairingFolder home("lumenrail-m2-warn");
    const std::string root = home.root().string();
    std::vector<std::string> args = kServe;
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    test::HostProcess child(LUMENRAILHOST_BINARY, args,
                            {"HOME=" + root, "XDG_DATA_HOME=" + root, "DISPLAY=" + x.display()});
    ASSERT_TRUE(child.waitFor("Ctrl-C to stop")) << child.output();
    EXPECT_EQ(child.terminate(), 0) << child.output();
    size_t count = 0;
    for (size_t at = child.output().find(warning); at != std::string::npos;
         at = child.output().find(warning, at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, row.warnings) << child.output();
  }
}

// One key for every connection lets a recording replay: with pairing on and
// key-only links not allowed, no key exists, so the link carries none and a
// client that holds a key but no pairing is refused.
TEST(M2ServeSecurityAcceptance, WithPairingNoKeyIsMadeAndAKeyOnlyClientIsRefused) {
  if (LanAddress::pickIPv4()) {
    for (const bool keyOnly : {false, true}) {
      std::vector<std::string> args = {"--pair-uri", "--pair", "--secure"};
      if (keyOnly) args.push_back("--key-only-links");
      test::HostProcess link(LUMENRAILHOST_BINARY, args);
      ASSERT_TRUE(link.started());
      EXPECT_EQ(link.waitExit(), 0) << link.output();
      EXPECT_NE(link.output().find("&p="), std::string::npos) << link.output();
      EXPECT_EQ(link.output().find("#k=") != std::string::npos, keyOnly) << link.output();
    }
  }
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::TempPairingFolder home("lumenrail-m2-nokey");
  const std::string root = home.root().string();
  test::HostProcess child(LUMENRAILHOST_BINARY, with(kServe, {"--pair", "--secure"}),
                          {"HOME=" + root, "XDG_DATA_HOME=" + root, "DISPLAY=" + x.display()});
  ASSERT_TRUE(child.waitFor("Ctrl-C to stop")) << child.output();
  const uint16_t port = servingPort(child.output());
  ASSERT_NE(port, 0) << child.output();
  test::PairingClient device(port);
  device.keyPsk(Bytes(24, 0x42));
  ASSERT_TRUE(device.sendSealed(0x05));
  EXPECT_FALSE(device.readSealed()) << child.output();
  ASSERT_TRUE(child.waitFor("unpaired client refused")) << child.output();
  EXPECT_EQ(child.output().find("#k="), std::string::npos) << child.output();
  EXPECT_EQ(child.terminate(), 0) << child.output();
}

TEST(M2ServeSecurityAcceptance, WithPairingTheAdvertisementSaysEncryptedAndCarriesTheFingerprint) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::PrivateAvahi avahi;
  if (!avahi.running()) GTEST_SKIP() << "no private Avahi daemon: " << avahi.whyNot();
  test::TempPairingFolder home("lumenrail-m2-txt");
  const std::string root = home.root().string();
  test::HostProcess child(LUMENRAILHOST_BINARY, with(kServe, {"--pair"}),
                          {"HOME=" + root, "XDG_DATA_HOME=" + root, "DISPLAY=" + x.display(),
                           "DBUS_SYSTEM_BUS_ADDRESS=" + avahi.busAddress()});
  ASSERT_TRUE(child.waitFor("[mdns] published as ")) << child.output();
  const std::string identity = lineAfter(child.output(), "[pair] host identity ");
  const std::string fingerprint = identity.substr(0, identity.find(' '));
  ASSERT_FALSE(fingerprint.empty()) << child.output();
  std::string entry;
  ASSERT_TRUE(test::eventually([&] {
    for (const auto& line : avahi.browse("_lumenrail._tcp")) {
      if (line.find("\"fp=") != std::string::npos || line.find("\"enc=") != std::string::npos) entry = line;
    }
    return !entry.empty();
  }));
  EXPECT_NE(entry.find("\"enc=1\""), std::string::npos) << entry;
  EXPECT_NE(entry.find("\"fp=" + fingerprint + "\""), std::string::npos) << entry;
  EXPECT_EQ(child.terminate(), 0) << child.output();
}

TEST(M2ServeSecurityAcceptance, SecurePrintsALinkWhoseKeyOpensTheStream) {
  if (!LanAddress::pickIPv4()) GTEST_SKIP() << "no LAN IPv4 address for the link";
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::HostProcess child(LUMENRAILHOST_BINARY, with(kServe, {"--secure"}), {"DISPLAY=" + x.display()});
  const std::string prefix = "[qr] pairing link (scan or paste it on the device): ";
  ASSERT_TRUE(child.waitFor(prefix)) << child.output();
  ASSERT_TRUE(child.waitFor("#k=")) << child.output();
  const std::string link = lineAfter(child.output(), prefix);
  const uint16_t port = servingPort(child.output());
  ASSERT_NE(port, 0) << child.output();
  EXPECT_NE(link.find("&p=" + std::to_string(port) + "#k="), std::string::npos) << link;
  const auto key = Base64::decodeUrl(link.substr(link.find("#k=") + 3));
  ASSERT_TRUE(key) << link;

  // A client holding only what the link gave it reads the sealed greeting.
  test::PairingClient device(port);
  device.keyPsk(*key);
  ASSERT_TRUE(device.sendSealed(0x05));  // RequestIdr: any first record proves the key
  auto hello = device.readSealed();
  ASSERT_TRUE(hello) << child.output();
  EXPECT_EQ(hello->type, 0x01);
  device.close();
  EXPECT_EQ(child.terminate(), 0) << child.output();
}

}  // namespace
}  // namespace lumenrail
