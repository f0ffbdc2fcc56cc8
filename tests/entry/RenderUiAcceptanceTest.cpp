// "--render-ui" run as the built program without a display: the files, their
// pixel sizes, the summary line and status, repeatable pixels, and nothing
// written to the user's configuration. (A folder it cannot write into is
// refused up front: CommandLineAcceptanceTest.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/HostProcess.hpp"
#include "support/TempFolder.hpp"

namespace lumenrail {
namespace {

namespace fs = std::filesystem;

struct RenderRun {
  test::TempFolder home{"lumenrail-render"};

  std::pair<int, std::string> run(const std::string& folder) {
    const std::string r = home.root().string();
    test::HostProcess host(LUMENRAILHOST_BINARY, {"--render-ui", folder},
                           {"HOME=" + r, "XDG_CONFIG_HOME=" + r + "/config", "XDG_STATE_HOME=" + r + "/state",
                            "DISPLAY=", "WAYLAND_DISPLAY=", "LANG=de_DE.UTF-8", "LANGUAGE=de", "LC_ALL="});
    const int status = host.waitExit();
    return {status, host.output()};
  }
};

std::string bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Width and height from the PNG header.
std::pair<uint32_t, uint32_t> pngSize(const fs::path& file) {
  const std::string data = bytes(file);
  if (data.size() < 24 || data.compare(1, 3, "PNG") != 0) return {0, 0};
  const auto word = [&](size_t at) {
    return (uint32_t(uint8_t(data[at])) << 24) | (uint32_t(uint8_t(data[at + 1])) << 16) |
           (uint32_t(uint8_t(data[at + 2])) << 8) | uint32_t(uint8_t(data[at + 3]));
  };
  return {word(16), word(20)};
}

TEST(RenderUiAcceptance, WritesEveryScreenAtItsSizeRepeatablyAndTouchesNoSettings) {
  RenderRun r;
  const std::string out = r.home.path("shots");
  const auto [status, text] = r.run(out);
  EXPECT_EQ(status, 0) << text;
  EXPECT_NE(text.find("render-ui: wrote 26 PNGs to " + out + "\n"), std::string::npos) << text;

  std::vector<std::pair<std::string, std::pair<uint32_t, uint32_t>>> expected;
  for (const char* s : {"serving", "stopped", "waiting"}) expected.push_back({std::string("panel-") + s, {720, 0}});
  for (const char* s : {"welcome", "permissions", "device"}) expected.push_back({std::string("setup-") + s, {1120, 1040}});
  for (const char* s : {"startup", "display", "pen", "connection", "pairing", "advanced", "about"}) {
    expected.push_back({std::string("settings-") + s, {1560, 1120}});
  }
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(out)) files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 26u);
  for (const auto& [name, size] : expected) {
    for (const char* look : {"-light.png", "-dark.png"}) {
      const auto [w, h] = pngSize(out + "/" + name + look);
      EXPECT_EQ(w, size.first) << name << look;
      if (size.second != 0) {
        EXPECT_EQ(h, size.second) << name << look;
      }
      EXPECT_GT(h, 100u) << name << look;
    }
  }
  EXPECT_NE(bytes(out + "/panel-serving-light.png"), bytes(out + "/panel-serving-dark.png"));
  EXPECT_FALSE(fs::exists(r.home.path("config"))) << "the run wrote into the configuration folder";

  const std::string again = r.home.path("again");
  EXPECT_EQ(r.run(again).first, 0);
  for (const char* file : {"panel-serving-dark.png", "settings-pairing-light.png", "setup-device-dark.png"}) {
    EXPECT_EQ(bytes(out + "/" + file), bytes(again + "/" + file)) << file;
  }
}

}  // namespace
}  // namespace lumenrail
