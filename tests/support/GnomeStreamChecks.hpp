#pragma once

// What the GNOME serving tests look at: the desktop's layout as Mutter
// reports it, the decoded stream's colour, and a pen in the wire's bytes.

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "platform/DBusConnection.hpp"
#include "support/TestVideo.hpp"
#include "support/WireTestClient.hpp"

namespace lumenrail::test {

// One pen sample packet at (x, y) of the stream, in 1/65535; flags 3 = touching.
inline RawBytes penSample(uint8_t flags, uint16_t x, uint16_t y) {
  RawBytes b{1, 0};
  putLE32(b, 0);
  b.insert(b.end(), {1, 0, 0, 0, /*pointer*/ 1, /*pen*/ 0, flags, 0});
  putLE16(b, x);
  putLE16(b, y);
  putLE16(b, 30000);
  for (int i = 0; i < 3; ++i) putLE16(b, 0);
  return b;
}

// Each logical monitor as "x,y primary connectors WxH", in Mutter's order.
inline std::vector<std::string> mutterLayout(DBusConnection& bus) {
  const DBusValue state = bus.call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                                   "org.gnome.Mutter.DisplayConfig", "GetCurrentState");
  std::vector<std::string> out;
  for (const auto& l : state.at(2).items()) {
    std::string line = std::to_string(l.at(0).asInt()) + "," + std::to_string(l.at(1).asInt()) +
                       (l.at(4).asBool() ? " primary" : "");
    for (const auto& m : l.at(5).items()) {
      line += " " + m.at(0).asString();
      for (const auto& monitor : state.at(1).items()) {
        if (monitor.at(0).at(0).asString() != m.at(0).asString()) continue;
        for (const auto& mode : monitor.at(1).items()) {
          if (mode.at(6).find("is-current").asBool()) {
            line += " " + std::to_string(mode.at(1).asInt()) + "x" + std::to_string(mode.at(2).asInt());
          }
        }
      }
    }
    out.push_back(line);
  }
  return out;
}

// One monitor as Mutter lists it: who it is (a monitor made anew has a new
// connector and serial) and its current mode.
struct MutterMonitor {
  std::string connector;
  std::string serial;
  int64_t width = 0;
  int64_t height = 0;
  double refreshHz = 0;
  bool operator==(const MutterMonitor&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const MutterMonitor& m) {
  return out << m.connector << " serial " << m.serial << " " << m.width << "x" << m.height << "@" << m.refreshHz;
}

inline std::vector<MutterMonitor> mutterMonitors(DBusConnection& bus) {
  const DBusValue state = bus.call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                                   "org.gnome.Mutter.DisplayConfig", "GetCurrentState");
  std::vector<MutterMonitor> out;
  for (const auto& monitor : state.at(1).items()) {
    MutterMonitor m{monitor.at(0).at(0).asString(), monitor.at(0).at(3).asString()};
    for (const auto& mode : monitor.at(1).items()) {
      if (!mode.at(6).find("is-current").asBool()) continue;
      m.width = mode.at(1).asInt();
      m.height = mode.at(2).asInt();
      m.refreshHz = mode.at(3).asReal();
    }
    out.push_back(m);
  }
  return out;
}

// The one monitor whose connector is not among `known`.
inline std::optional<MutterMonitor> mutterMonitorBesides(DBusConnection& bus, const std::set<std::string>& known) {
  for (const auto& m : mutterMonitors(bus)) {
    if (known.count(m.connector) == 0) return m;
  }
  return std::nullopt;
}

// Reads frames until a decoded picture has luma near `luma` at both far
// corners and a quarter of the way in (away from the cursor drawn into the
// frames). Mutter zooms a new window in: only a window that has reached the
// corners gets input at its final coordinates. False when 300 frames did not
// show it.
// With LUMENRAIL_TEST_FRAMES set, the picture that decides is kept there as
// `<name>.pgm` (its luma) for a person to look at.
inline void keepLuma(const AVFrame* p, const std::string& name) {
  const char* dir = std::getenv("LUMENRAIL_TEST_FRAMES");
  if (!dir || !*dir || !p) return;
  if (FILE* f = std::fopen((std::string(dir) + "/" + name + ".pgm").c_str(), "wb")) {
    std::fprintf(f, "P5\n%d %d\n255\n", p->width, p->height);
    for (int y = 0; y < p->height; ++y) std::fwrite(p->data[0] + y * p->linesize[0], 1, size_t(p->width), f);
    std::fclose(f);
  }
}

inline bool streamShowsLuma(WireTestClient& client, int luma, int tolerance = 10, const std::string& keepAs = "") {
  TestDecoder decoder(Wire::Codec::h264);
  if (!decoder.ready()) return false;
  client.send(Code::requestIdr, {2, 0, 0, 0});
  bool keyed = false;
  for (int i = 0; i < 300; ++i) {
    auto f = client.readUntil(Code::frame);
    if (!f || f->payload.size() <= 12) return false;
    keyed = keyed || f->payload[8] == 1;
    if (!keyed || !decoder.decode(Bytes(f->payload.begin() + 12, f->payload.end()))) continue;
    const AVFrame* p = decoder.picture();
    const auto at = [p](int x, int y) { return int(p->data[0][y * p->linesize[0] + x]); };
    const auto near = [&](int x, int y) { return std::abs(at(x, y) - luma) <= tolerance; };
    if (near(1, 1) && near(p->width / 4, p->height / 4) && near(p->width - 2, p->height - 2)) {
      if (!keepAs.empty()) keepLuma(p, keepAs);
      return true;
    }
  }
  return false;
}

// The "x y" of a colour client line ending in two numbers.
inline std::pair<double, double> lastTwoNumbers(const std::string& line) {
  const size_t b = line.rfind(' ');
  const size_t a = line.rfind(' ', b - 1);
  if (a == std::string::npos || b == std::string::npos) return {-1, -1};
  return {std::atof(line.substr(a + 1, b - a - 1).c_str()), std::atof(line.substr(b + 1).c_str())};
}

// The pointer position the window last saw before its first button press.
inline std::pair<double, double> positionBeforePress(const std::vector<std::string>& seen) {
  std::pair<double, double> at{-1, -1};
  for (const auto& line : seen) {
    if (line.rfind("pointer button", 0) == 0) break;
    if (line.rfind("pointer motion", 0) == 0 || line.rfind("pointer enter", 0) == 0) at = lastTwoNumbers(line);
  }
  return at;
}

}  // namespace lumenrail::test
