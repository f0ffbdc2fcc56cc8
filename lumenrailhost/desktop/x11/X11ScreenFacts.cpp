#include "desktop/x11/X11ScreenFacts.hpp"

#include <xcb/randr.h>

#include <cmath>
#include <cstdlib>
#include <memory>

#include "platform/X11Display.hpp"

namespace lumenrail::X11ScreenFacts {

namespace {

template <typename T>
using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

}  // namespace

std::vector<ScreenFact> screens(const std::string& display) {
  std::shared_ptr<X11Display> x;
  try {
    x = X11Display::open(display);
  } catch (const std::exception&) {
    return {};
  }
  std::vector<X11Monitor> monitors;
  try {
    monitors = x->monitors();
  } catch (const std::exception&) {
    return {};
  }
  // A monitor's rate is its CRTC's mode: the one whose area holds the
  // monitor's origin.
  xcb_connection_t* c = x->connection();
  XcbReply<xcb_randr_get_screen_resources_current_reply_t> resources(
      xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, x->root()), nullptr),
      &std::free);
  struct Crtc {
    int64_t x, y, width, height;
    double hz;
  };
  std::vector<Crtc> crtcs;
  if (resources) {
    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(resources.get());
    const int modeCount = xcb_randr_get_screen_resources_current_modes_length(resources.get());
    const xcb_randr_crtc_t* ids = xcb_randr_get_screen_resources_current_crtcs(resources.get());
    const int crtcCount = xcb_randr_get_screen_resources_current_crtcs_length(resources.get());
    for (int i = 0; i < crtcCount; ++i) {
      XcbReply<xcb_randr_get_crtc_info_reply_t> info(
          xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, ids[i], resources->config_timestamp), nullptr),
          &std::free);
      if (!info || info->mode == XCB_NONE) continue;
      double hz = 0;
      for (int m = 0; m < modeCount; ++m) {
        if (modes[m].id != info->mode || modes[m].htotal == 0 || modes[m].vtotal == 0) continue;
        hz = static_cast<double>(modes[m].dot_clock) / (static_cast<double>(modes[m].htotal) * modes[m].vtotal);
      }
      crtcs.push_back({info->x, info->y, info->width, info->height, hz});
    }
  }
  std::vector<ScreenFact> out;
  bool anyPrimary = false;
  for (const auto& m : monitors) anyPrimary = anyPrimary || m.primary;
  for (size_t i = 0; i < monitors.size(); ++i) {
    const X11Monitor& m = monitors[i];
    ScreenFact s{m.name, m.x, m.y, m.width, m.height, 1.0, 0, anyPrimary ? m.primary : i == 0};
    for (const Crtc& crtc : crtcs) {
      if (m.x >= crtc.x && m.x < crtc.x + crtc.width && m.y >= crtc.y && m.y < crtc.y + crtc.height) {
        s.refreshHz = static_cast<int64_t>(std::lround(crtc.hz));
        break;
      }
    }
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace lumenrail::X11ScreenFacts
