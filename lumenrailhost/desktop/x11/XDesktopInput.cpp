#include "desktop/x11/XDesktopInput.hpp"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "desktop/x11/XScreenWatch.hpp"
#include "desktop/x11/XTestInputSink.hpp"
#include "input/InputPermission.hpp"
#include "input/UinputInputSink.hpp"
#include "platform/CReply.hpp"

namespace lumenrail {

namespace {

uint32_t firstWord(const std::vector<uint32_t>& words) { return words.empty() ? 0 : words[0]; }

}  // namespace

std::optional<std::string> XForegroundSource::frontmostAppId() {
  if (!x_ || !x_->ok()) x_ = std::make_unique<XInputConnection>(display_);
  if (!x_->ok()) return std::nullopt;
  const uint32_t active = firstWord(x_->cardinalProperty(x_->root(), "_NET_ACTIVE_WINDOW"));
  if (active == 0) return std::nullopt;
  if (auto id = x_->stringProperty(active, "_GTK_APPLICATION_ID"); id && !id->empty()) return id;
  if (auto file = x_->stringProperty(active, "_KDE_NET_WM_DESKTOP_FILE"); file && !file->empty()) {
    if (file->ends_with(".desktop")) file->resize(file->size() - 8);
    if (!file->empty()) return file;
  }
  const std::vector<std::string> cls = x_->stringListProperty(active, "WM_CLASS");
  if (cls.size() >= 2 && !cls[1].empty()) return cls[1];
  if (!cls.empty() && !cls[0].empty()) return cls[0];
  return std::nullopt;
}

std::shared_ptr<XWindowActivator> XWindowActivator::open(const std::string& display) {
  auto x = std::make_unique<XInputConnection>(display);
  if (!x->ok()) return nullptr;
  return std::shared_ptr<XWindowActivator>(new XWindowActivator(std::move(x)));
}

uint32_t XWindowActivator::activeWindow() { return firstWord(x_->cardinalProperty(x_->root(), "_NET_ACTIVE_WINDOW")); }

std::optional<int32_t> XWindowActivator::pidOf(uint32_t window) {
  const std::vector<uint32_t> pid = x_->cardinalProperty(window, "_NET_WM_PID");
  if (pid.empty() || pid[0] == 0 || pid[0] > 0x7fffffff) return std::nullopt;
  return static_cast<int32_t>(pid[0]);
}

std::optional<WindowActivator::AppWindow> XWindowActivator::windowAt(Point point) {
  std::lock_guard guard(lock_);
  if (!x_->ok()) return std::nullopt;
  xcb_connection_t* c = x_->conn();
  const std::vector<uint32_t> stacking = x_->cardinalProperty(x_->root(), "_NET_CLIENT_LIST_STACKING");
  const uint32_t desktopType = x_->atom("_NET_WM_WINDOW_TYPE_DESKTOP");
  const uint32_t dockType = x_->atom("_NET_WM_WINDOW_TYPE_DOCK");
  // Bottom to top in the list; the topmost window decides.
  for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
    const uint32_t window = *it;
    const auto attrs = ownReply(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
    const bool viewable = attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE;
    if (!viewable) continue;
    const std::vector<uint32_t> types = x_->cardinalProperty(window, "_NET_WM_WINDOW_TYPE");
    if (std::any_of(types.begin(), types.end(), [&](uint32_t t) { return t == desktopType || t == dockType; })) {
      continue;
    }
    const std::vector<uint32_t> opacity = x_->cardinalProperty(window, "_NET_WM_WINDOW_OPACITY");
    if (!opacity.empty() && opacity[0] == 0) continue;
    const auto geo = ownReply(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
    if (!geo) continue;
    const double width = geo->width;
    const double height = geo->height;
    const auto at =
        ownReply(xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, x_->root(), 0, 0), nullptr));
    if (!at) continue;
    const double left = at->dst_x;
    const double top = at->dst_y;
    if (!(point.x >= left && point.x < left + width && point.y >= top && point.y < top + height)) continue;
    const std::optional<int32_t> pid = pidOf(window);
    if (!pid) continue;
    AppWindow found{window, *pid, ""};
    const std::vector<std::string> cls = x_->stringListProperty(window, "WM_CLASS");
    if (cls.size() >= 2) found.appName = cls[1];
    return found;
  }
  return std::nullopt;
}

bool XWindowActivator::isActive(const AppWindow& window) {
  std::lock_guard guard(lock_);
  if (!x_->ok()) return false;
  const uint32_t active = activeWindow();
  if (active == 0) return false;
  return active == window.window || pidOf(active) == window.pid;
}

bool XWindowActivator::activate(const AppWindow& window) {
  std::lock_guard guard(lock_);
  if (!x_->ok()) return false;
  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window.window;
  message.type = x_->atom("_NET_ACTIVE_WINDOW");
  message.data.data32[0] = 2;  // a request on the user's behalf, as pagers make
  message.data.data32[1] = XCB_CURRENT_TIME;
  message.data.data32[2] = activeWindow();
  const xcb_void_cookie_t cookie = xcb_send_event_checked(
      x_->conn(), 0, x_->root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
      reinterpret_cast<const char*>(&message));
  const auto error = ownReply(xcb_request_check(x_->conn(), cookie));
  return error == nullptr;
}

std::optional<int32_t> XWindowActivator::frontWindowOwner() {
  std::lock_guard guard(lock_);
  if (!x_->ok()) return std::nullopt;
  const uint32_t active = activeWindow();
  if (active == 0) return std::nullopt;
  return pidOf(active);
}

double XDesktopInput::mainDisplayRefreshHz(const std::string& display) {
  constexpr double fallback = 60.0;
  XInputConnection x(display);
  if (!x.ok()) return fallback;
  xcb_connection_t* c = x.conn();
  const auto res = ownReply(
      xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, x.root()), nullptr));
  if (!res) return fallback;
  const auto primary =
      ownReply(xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, x.root()), nullptr));
  xcb_randr_crtc_t crtc = XCB_NONE;
  if (primary && primary->output != XCB_NONE) {
    const auto info = ownReply(xcb_randr_get_output_info_reply(
        c, xcb_randr_get_output_info(c, primary->output, res->config_timestamp), nullptr));
    if (info) crtc = info->crtc;
  }
  const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(res.get());
  const int crtcCount = xcb_randr_get_screen_resources_current_crtcs_length(res.get());
  double hz = 0;
  for (int i = -1; i < crtcCount && hz <= 0; ++i) {
    const xcb_randr_crtc_t candidate = i < 0 ? crtc : crtcs[i];
    if (candidate == XCB_NONE) continue;
    const auto info = ownReply(
        xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, candidate, res->config_timestamp), nullptr));
    if (info && info->mode != XCB_NONE) {
      const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res.get());
      const int modeCount = xcb_randr_get_screen_resources_current_modes_length(res.get());
      for (int m = 0; m < modeCount; ++m) {
        if (modes[m].id != info->mode) continue;
        const double dots = static_cast<double>(modes[m].htotal) * modes[m].vtotal;
        if (dots > 0) hz = modes[m].dot_clock / dots;
      }
    }
  }
  if (!(hz > 0)) return fallback;
  return std::clamp(hz, 60.0, 240.0);
}

namespace {

// uinput positions follow the screen of `display` through its own X
// connection; 1920x1080 when there is no X server.
std::shared_ptr<UinputInputSink> openUinputFollowingScreen(const std::string& display, std::string* why,
                                                           Log::Sink log) {
  auto devices = UinputInputSink::makeDevices(why);
  if (!devices) return nullptr;
  std::unique_ptr<XScreenWatch> watch = XScreenWatch::open(display);
  Size screen{1920, 1080};
  if (watch) {
    screen = watch->size();
  } else if (log) {
    log("no X screen to follow — uinput positions assume 1920x1080");
  }
  return UinputInputSink::create(std::move(devices), screen, std::move(watch), std::move(log));
}

}  // namespace

std::shared_ptr<InputEventSink> XDesktopInput::openSink(const std::string& display, Log::Sink log) {
  const auto say = [&](const std::string& line) {
    if (log) log(line);
  };
  if (InputPermission::uinputWritable()) {
    std::string why;
    if (auto sink = openUinputFollowingScreen(display, &why, log)) {
      say("input through uinput: pen tablet with pressure and tilt, pointer, keyboard");
      return sink;
    }
    say(why + " — trying XTest");
  }
  if (auto sink = XTestInputSink::open(display, log)) return sink;
  say("no way to post input: /dev/uinput is not writable and the X display has no XTest");
  return nullptr;
}

}  // namespace lumenrail
