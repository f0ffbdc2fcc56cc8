// What a newcomer's `scripts/run` on a machine without a desktop gives a
// device: the private headless display it serves admits only the host's
// cookie, and the console shows the addresses, the pairing link and a QR code
// a phone can scan off it. Runs the script's serving half (scripts/serve)
// with the built host and the arguments scripts/run passes.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <fstream>

#include "support/HostProcess.hpp"
#include "support/TempPairingFolder.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

const std::string kRowStart = "\x1b[30;107m";
const std::string kRowEnd = "\x1b[0m";
const std::string kLinkPrefix = "[qr] pairing link (scan or paste it on the device): ";

std::string lineAfter(const std::string& output, const std::string& prefix) {
  const size_t at = output.find(prefix);
  if (at == std::string::npos) return {};
  const size_t from = at + prefix.size();
  return output.substr(from, output.find('\n', from) - from);
}

// The drawn code as text rows of cells, each cell two modules (top, bottom);
// empty until the whole square is there.
std::vector<std::vector<std::pair<bool, bool>>> qrRows(const std::string& output) {
  std::vector<std::vector<std::pair<bool, bool>>> rows;
  for (size_t at = output.find(kRowStart); at != std::string::npos; at = output.find(kRowStart, at + 1)) {
    const size_t from = at + kRowStart.size();
    const size_t end = output.find(kRowEnd, from);
    if (end == std::string::npos) break;
    std::vector<std::pair<bool, bool>> row;
    for (size_t i = from; i < end;) {
      if (output[i] == ' ') {
        row.push_back({false, false});
        ++i;
        continue;
      }
      const std::string glyph = output.substr(i, 3);
      row.push_back({glyph == "\u2588" || glyph == "\u2580", glyph == "\u2588" || glyph == "\u2584"});
      i += 3;
    }
    rows.push_back(std::move(row));
  }
  if (rows.empty() || rows.size() != (rows.front().size() + 1) / 2) return {};
  return rows;
}

// Black modules on white, 4 pixels a module, as a binary PGM for zbarimg.
void writePicture(const std::vector<std::vector<std::pair<bool, bool>>>& rows, const std::string& path) {
  constexpr int kScale = 4;
  const size_t width = rows.front().size() * kScale;
  std::ofstream out(path, std::ios::binary);
  out << "P5\n" << width << " " << rows.size() * 2 * kScale << "\n255\n";
  for (const auto& row : rows) {
    for (const bool bottom : {false, true}) {
      std::string line;
      for (const auto& cell : row) line.append(kScale, (bottom ? cell.second : cell.first) ? '\0' : '\xff');
      for (int i = 0; i < kScale; ++i) out << line;
    }
  }
}

std::string decodeWithZbarimg(const std::string& path) {
  FILE* pipe = ::popen(("zbarimg --raw -q '" + path + "' 2>/dev/null").c_str(), "r");
  if (!pipe) return {};
  std::string text;
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  ::pclose(pipe);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

TEST(ServeStartAcceptance, HeadlessRunLocksItsDisplayAndPrintsALinkItsQrCodeCarries) {
  if (::access("/usr/lib/xorg/Xorg", X_OK) != 0) GTEST_SKIP() << "no /usr/lib/xorg/Xorg for a headless display";
  if (std::system("command -v xauth >/dev/null && command -v zbarimg >/dev/null") != 0) {
    GTEST_SKIP() << "xauth or zbarimg missing (scripts/install-deps.sh test)";
  }
  test::TempPairingFolder home("lumenrail-serve-start");
  const std::string root = home.root().string();
  // Its own process group, as a terminal's foreground job is, so that Ctrl-C can be sent to the group.
  test::HostProcess run("/usr/bin/setsid",
                        {"/bin/bash", std::string(LUMENRAIL_SOURCE_DIR) + "/scripts/serve", LUMENRAILHOST_BINARY,
                         "--m2", "--pair", "--port", "0", "--width", "320", "--height", "240", "--fps", "30"},
                        {"HOME=" + root, "XDG_DATA_HOME=" + root, "DISPLAY=", "WAYLAND_DISPLAY=",
                         "XAUTHORITY=" + root + "/none", "LUMENRAIL_TERMINAL_QR=1"});
  ASSERT_TRUE(run.started());
  if (!run.waitFor("Ctrl-C to stop")) {
    if (run.output().find("the headless Xorg did not start") != std::string::npos) {
      GTEST_SKIP() << "the headless Xorg cannot start here: " << run.output();
    }
    FAIL() << run.output();
  }

  // The host got in with the cookie; nobody else does, with no cookie or a guessed one.
  const std::string number = lineAfter(run.output(), "run: serving the private headless display :");
  const std::string display = ":" + number.substr(0, number.find(' '));
  ASSERT_GT(display.size(), 1u) << run.output();
  char name[] = "MIT-MAGIC-COOKIE-1";
  char guess[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  for (xcb_auth_info_t auth : {xcb_auth_info_t{0, nullptr, 0, nullptr}, xcb_auth_info_t{18, name, 16, guess}}) {
    xcb_connection_t* c = xcb_connect_to_display_with_auth_info(display.c_str(), &auth, nullptr);
    EXPECT_NE(xcb_connection_has_error(c), 0) << display << " let in a client with auth name length " << auth.namelen;
    xcb_disconnect(c);
  }

  ASSERT_TRUE(run.waitFor("[qr] ")) << run.output();
  if (run.output().find("[qr] no usable LAN IPv4") != std::string::npos) {
    GTEST_SKIP() << "no LAN IPv4 address for the link: " << run.output();
  }
  ASSERT_TRUE(run.waitFor(kLinkPrefix)) << run.output();
  const std::string link = lineAfter(run.output(), kLinkPrefix);
  EXPECT_EQ(link.rfind("https://", 0), 0u) << link;
  EXPECT_NE(run.output().find("[qr] devices on this network can dial port "), std::string::npos) << run.output();
  std::vector<std::vector<std::pair<bool, bool>>> rows;
  ASSERT_TRUE(test::eventually([&] { return !(rows = qrRows(run.output())).empty(); })) << run.output();
  const std::string picture = root + "/qr.pgm";
  writePicture(rows, picture);
  EXPECT_EQ(decodeWithZbarimg(picture), link);

  // Ctrl-C reaches the host alone: it stops on a display still there, which
  // goes only after it (and goes).
  const size_t stopAt = run.output().size();
  ASSERT_EQ(::kill(-run.pid(), SIGINT), 0);
  EXPECT_EQ(run.waitExit(), 130) << run.output();
  const std::string stop = run.output().substr(stopAt);
  EXPECT_NE(stop.find("[m2] SIGINT — stopping\n"), std::string::npos) << stop;
  EXPECT_NE(stop.find("[m2] stopped\n"), std::string::npos) << stop;
  for (const char* fault : {"WARN", "ERROR", "unexpectedly"}) EXPECT_EQ(stop.find(fault), std::string::npos) << stop;
  xcb_connection_t* gone = xcb_connect(display.c_str(), nullptr);
  EXPECT_NE(xcb_connection_has_error(gone), 0) << display << " outlived the run";
  xcb_disconnect(gone);
}

// Asking for help starts no display and no build, and says nothing but the
// usage: the usage text needs none of it.
TEST(ServeStartAcceptance, HelpPrintsTheUsageWithoutStartingADisplay) {
  const std::string scripts = std::string(LUMENRAIL_SOURCE_DIR) + "/scripts/";
  const struct {
    std::vector<std::string> args;
    std::string starts;
  } rows[] = {{{scripts + "serve", LUMENRAILHOST_BINARY, "--m2", "--pair", "--help"}, "Lumenrail Host "},
              {{scripts + "run", "--capture-main", "-h"}, "usage: scripts/run [OPTION...]\n"}};
  for (const auto& row : rows) {
    test::HostProcess run("/bin/bash", row.args, {"DISPLAY=", "WAYLAND_DISPLAY="});
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.waitExit(), 0) << run.output();
    EXPECT_TRUE(run.output().starts_with(row.starts)) << run.output();
    for (const char* noise : {"run: ", "install-deps", "cmake"}) {
      EXPECT_EQ(run.output().find(noise), std::string::npos) << run.output();
    }
  }
}

}  // namespace
}  // namespace lumenrail
