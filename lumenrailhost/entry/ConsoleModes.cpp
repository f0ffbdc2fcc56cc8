#include "entry/ConsoleModes.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/controller/LoginItem.hpp"
#include "desktop/DesktopChoice.hpp"
#include "links/LanAddress.hpp"
#include "links/PairingUri.hpp"
#include "media/SyntheticFrameSource.hpp"
#include "media/VideoToolboxEncoder.hpp"
#include "media/VirtualDisplayManager.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "platform/Paths.hpp"

namespace lumenrail {

namespace {

using Log::line;

const char* yesNo(bool value) { return value ? "true" : "false"; }

}  // namespace

int runPairUri(uint16_t port, const std::optional<Bytes>& psk) {
  const auto host = LanAddress::pickIPv4();
  if (!host) {
    line("no usable LAN IPv4 (offline?) — cable-only");
    return 1;
  }
  line(PairingUri::format(*host, port, psk));
  return 0;
}

int runPrintConfig(const HostSettings& s, bool appMode, bool isBundled) {
  line("== lumenrail Linux host — resolved config ==");
  line(std::string("  source     : ") + (appMode ? "settings store (app)" : "CLI defaults") + " " +
       (isBundled ? "[bundled]" : "[raw binary]"));
  line("  display    : " + std::to_string(s.width) + "x" + std::to_string(s.height) + "@" + std::to_string(s.fps) +
       " " + (s.captureMain ? "mirror-main" : "EXTEND") + (s.penHighRate ? " pen-hirate" : ""));
  line("  transports : wifi :" + std::to_string(s.port) + (s.usbEnabled ? " + USB cable" : "") + " " +
       (s.secureWifi ? "encrypted" : "CLEAR") + (s.pairingEnabled ? " + pairing" : ""));
  const bool loginItem = isBundled && LoginItem::isEnabled(Paths::autostartEntry());
  line(std::string("  behaviour  : autostart=") + yesNo(s.autoStart) + " loginItem=" + yesNo(loginItem) +
       " (available=" + yesNo(isBundled) + ")");
  return 0;
}

std::optional<std::string> unwritableFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return "cannot make the folder " + folder + ": " + error.message();
  if (!std::filesystem::is_directory(folder, error)) return folder + " is not a folder";
  // Permission bits do not tell a read-only mount or root's way through them; a file does.
  std::string probe = (std::filesystem::path(folder) / ".lumenrail-write-XXXXXX").string();
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return "cannot write into " + folder + ": " + std::strerror(errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return std::nullopt;
}

int runScaffold(int64_t width, int64_t height, int64_t fps, int64_t frames, bool noVD) {
  line("== lumenrail Linux host — M0 scaffold ==");
  line("config: " + std::to_string(width) + "x" + std::to_string(height) + " @" + std::to_string(fps) + "fps, " +
       std::to_string(frames) + " frames");

  std::unique_ptr<VirtualDisplayManager> vd;
  bool vdOK = true;
  if (noVD) {
    line("[vd] skipped (--no-vd)");
  } else {
    // The scaffold adds its display on X11 whatever the session is.
    std::shared_ptr<DisplayConfiguration> displays;
    try {
      displays = DesktopChoice::environmentFor(DesktopChoice::Kind::x11)->openDisplays();
    } catch (const std::exception& e) {
      line(std::string("[vd] cannot open the X display: ") + e.what());
    }
    if (displays) {
      const size_t before = displays->activeDisplays().size();
      vd = std::make_unique<VirtualDisplayManager>(displays);
      VirtualDisplayManager::Config config;
      config.name = "Lumenrail Display";
      config.width = static_cast<uint32_t>(width);
      config.height = static_cast<uint32_t>(height);
      config.refreshRate = static_cast<double>(fps);
      config.widthMillimeters = 345;
      config.heightMillimeters = 194;
      vdOK = vd->create(config);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      const size_t after = displays->activeDisplays().size();
      line(std::string("[vd] create=") + (vdOK ? "ok" : "FAILED") + " displayID=" + std::to_string(vd->displayID()) +
           " activeDisplays " + std::to_string(before) + "→" + std::to_string(after));
    } else {
      vdOK = false;
    }
  }

  VideoToolboxEncoder::Config config;
  config.width = static_cast<int32_t>(width);
  config.height = static_cast<int32_t>(height);
  config.fps = static_cast<int32_t>(fps);
  config.bitrateBps = 12'000'000;
  config.codec = Wire::Codec::h264;
  config.keyframeIntervalSeconds = 1.0;
  VideoToolboxEncoder encoder(config);
  std::mutex lock;
  int64_t auCount = 0;
  int64_t keyframes = 0;
  int64_t totalBytes = 0;
  encoder.sink = [&](const EncodedFrame& au) {
    std::lock_guard guard(lock);
    ++auCount;
    if (au.isKeyframe) ++keyframes;
    totalBytes += static_cast<int64_t>(au.data.size());
    if (auCount <= 3 || au.isKeyframe) {
      line("[au] #" + std::to_string(auCount) + " " + std::to_string(au.data.size()) +
           " B key=" + yesNo(au.isKeyframe));
    }
  };
  auto fail = [&](const std::exception& e) {
    line(std::string("[enc] ERROR: ") + e.what());
    if (vd) vd->destroy();
    return 1;
  };
  try {
    encoder.start();
  } catch (const std::exception& e) {
    return fail(e);
  }
  line(std::string("[enc] started, hardware=") + yesNo(encoder.usingHardware()));

  SyntheticFrameSource source(width, height);
  try {
    for (int64_t index = 0; index < frames; ++index) {
      auto frame = source.makeFrame(index);
      if (!frame) {
        line("[enc] no buffer at " + std::to_string(index));
        break;
      }
      encoder.encode(frame, uptimeNs(), index == 0);
    }
    encoder.finish();
    encoder.stop();
  } catch (const std::exception& e) {
    return fail(e);
  }
  {
    std::lock_guard guard(lock);
    line("[enc] done: " + std::to_string(auCount) + " AUs, " + std::to_string(keyframes) + " keyframes, " +
         std::to_string(totalBytes) + " B total (avg " + std::to_string(auCount > 0 ? totalBytes / auCount : 0) +
         " B/AU)");
  }
  if (vd) vd->destroy();
  const bool ok = auCount >= 1 && vdOK;
  line(ok ? "RESULT: M0 PASS" : "RESULT: M0 FAIL");
  return ok ? 0 : 1;
}

}  // namespace lumenrail
