#include "platform/X11DisplayConfiguration.hpp"

#include <sys/uio.h>
#include <xcb/randr.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace lumenrail {

struct X11DisplayConfiguration::Monitor {
  uint32_t id = 0;
  bool primary = false;
  int32_t x = 0, y = 0, width = 0, height = 0;
  uint32_t widthMm = 0, heightMm = 0;
  std::vector<uint32_t> outputs;
};

namespace {

bool ok(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  xcb_generic_error_t* error = xcb_request_check(c, cookie);
  std::free(error);
  return error == nullptr;
}

// RRSetMonitor written out by hand: the generated request leaves part of its
// I/O vector uninitialised (some libxcb-randr builds send garbage lengths
// and lose the connection).
xcb_void_cookie_t sendSetMonitor(xcb_connection_t* c, xcb_window_t root, const xcb_randr_monitor_info_t& info,
                                 const std::vector<uint32_t>& outputs) {
  std::vector<uint8_t> body(8 + sizeof info + outputs.size() * 4, 0);
  std::memcpy(body.data() + 4, &root, 4);
  xcb_randr_monitor_info_t head = info;
  head.nOutput = uint16_t(outputs.size());
  std::memcpy(body.data() + 8, &head, sizeof head);
  if (!outputs.empty()) std::memcpy(body.data() + 8 + sizeof head, outputs.data(), outputs.size() * 4);
  static const xcb_protocol_request_t request = {1, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
  iovec parts[3];
  parts[2].iov_base = body.data();
  parts[2].iov_len = body.size();
  return {xcb_send_request(c, XCB_REQUEST_CHECKED, parts + 2, &request)};
}

bool fits16(int64_t v) { return v >= 0 && v <= std::numeric_limits<int16_t>::max(); }

}  // namespace

std::shared_ptr<X11DisplayConfiguration> X11DisplayConfiguration::open(const std::string& name) {
  auto display = X11Display::open(name);
  if (!display->hasRandrMonitors()) throw X11Error(X11ErrorKind::requestFailed, "RandR 1.5 monitors missing");
  return std::shared_ptr<X11DisplayConfiguration>(new X11DisplayConfiguration(std::move(display)));
}

std::vector<X11DisplayConfiguration::Monitor> X11DisplayConfiguration::monitors() const {
  xcb_connection_t* c = display_->connection();
  std::vector<Monitor> result;
  auto* r = xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, display_->root(), 1), nullptr);
  if (r == nullptr) return result;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(r); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t* m = it.data;
    if (m->width == 0 || m->height == 0) continue;
    Monitor mon{m->name, m->primary != 0, m->x, m->y, m->width, m->height, m->width_in_millimeters,
                m->height_in_millimeters, {}};
    const xcb_randr_output_t* outs = xcb_randr_monitor_info_outputs(m);
    mon.outputs.assign(outs, outs + xcb_randr_monitor_info_outputs_length(m));
    result.push_back(std::move(mon));
  }
  std::free(r);
  return result;
}

std::optional<X11DisplayConfiguration::ScreenSize> X11DisplayConfiguration::screenSize() const {
  xcb_connection_t* c = display_->connection();
  auto* r = xcb_randr_get_screen_info_reply(c, xcb_randr_get_screen_info(c, display_->root()), nullptr);
  std::optional<ScreenSize> result;
  if (r != nullptr) {
    const xcb_randr_screen_size_t* sizes = xcb_randr_get_screen_info_sizes(r);
    if (r->sizeID < xcb_randr_get_screen_info_sizes_length(r)) {
      const xcb_randr_screen_size_t& s = sizes[r->sizeID];
      result = ScreenSize{s.width, s.height, s.mwidth, s.mheight};
    }
    std::free(r);
  }
  // The root window's size is the truth; the size table may lag behind.
  try {
    const auto [rw, rh] = display_->rootSize();
    if (!result) result = ScreenSize{rw, rh, uint32_t(std::lround(rw * 25.4 / 96)), uint32_t(std::lround(rh * 25.4 / 96))};
    result->width = rw;
    result->height = rh;
  } catch (const X11Error&) {
    return std::nullopt;
  }
  return result;
}

std::pair<int32_t, int32_t> X11DisplayConfiguration::maxScreenSize() const {
  xcb_connection_t* c = display_->connection();
  auto* r = xcb_randr_get_screen_size_range_reply(c, xcb_randr_get_screen_size_range(c, display_->root()), nullptr);
  if (r == nullptr) return {0, 0};
  const std::pair<int32_t, int32_t> max{r->max_width, r->max_height};
  std::free(r);
  return max;
}

bool X11DisplayConfiguration::setScreenSize(int32_t width, int32_t height) {
  const auto now = screenSize();
  if (!now) return false;
  if (now->width == width && now->height == height) return true;
  // Millimetres follow the pixels, so the screen keeps its density.
  const uint32_t mmW = now->width > 0 ? uint32_t(std::lround(double(now->widthMm) * width / now->width)) : 0;
  const uint32_t mmH = now->height > 0 ? uint32_t(std::lround(double(now->heightMm) * height / now->height)) : 0;
  if (before_ && width == before_->width && height == before_->height) {
    return ok(display_->connection(), xcb_randr_set_screen_size_checked(display_->connection(), display_->root(),
                                                                        uint16_t(width), uint16_t(height),
                                                                        before_->widthMm, before_->heightMm));
  }
  return ok(display_->connection(),
            xcb_randr_set_screen_size_checked(display_->connection(), display_->root(), uint16_t(width),
                                              uint16_t(height), std::max<uint32_t>(mmW, 1), std::max<uint32_t>(mmH, 1)));
}

bool X11DisplayConfiguration::growTo(int32_t width, int32_t height) {
  const auto now = screenSize();
  if (!now) return false;
  const int32_t w = std::max(now->width, width);
  const int32_t h = std::max(now->height, height);
  if (w == now->width && h == now->height) return true;
  const auto [maxW, maxH] = maxScreenSize();
  if (w > maxW || h > maxH) return false;
  return setScreenSize(w, h);
}

void X11DisplayConfiguration::shrinkToFit() {
  const auto now = screenSize();
  if (!now) return;
  int32_t w = before_ ? before_->width : 1;
  int32_t h = before_ ? before_->height : 1;
  for (const Monitor& m : monitors()) {
    w = std::max(w, m.x + m.width);
    h = std::max(h, m.y + m.height);
  }
  w = std::min(w, now->width);
  h = std::min(h, now->height);
  if (w != now->width || h != now->height) setScreenSize(w, h);
  if (added_.empty()) before_.reset();
}

bool X11DisplayConfiguration::setMonitor(const Monitor& m) {
  if (!fits16(m.x) || !fits16(m.y) || m.width < 1 || m.height < 1 || m.width > 0xffff || m.height > 0xffff) {
    return false;
  }
  xcb_randr_monitor_info_t info{};
  info.name = m.id;
  info.primary = m.primary ? 1 : 0;
  info.x = int16_t(m.x);
  info.y = int16_t(m.y);
  info.width = uint16_t(m.width);
  info.height = uint16_t(m.height);
  info.width_in_millimeters = m.widthMm;
  info.height_in_millimeters = m.heightMm;
  xcb_connection_t* c = display_->connection();
  if (ok(c, sendSetMonitor(c, display_->root(), info, m.outputs))) return true;
  // The server refuses to redefine a monitor in place: replace it, and put
  // the old definition back when the new one is refused.
  const std::vector<Monitor> all = monitors();
  auto old = std::find_if(all.begin(), all.end(), [&](const Monitor& o) { return o.id == m.id; });
  if (old == all.end() || !ok(c, xcb_randr_delete_monitor_checked(c, display_->root(), m.id))) return false;
  if (ok(c, sendSetMonitor(c, display_->root(), info, m.outputs))) return true;
  xcb_randr_monitor_info_t back = info;
  back.primary = old->primary ? 1 : 0;
  back.x = int16_t(old->x);
  back.y = int16_t(old->y);
  back.width = uint16_t(old->width);
  back.height = uint16_t(old->height);
  back.width_in_millimeters = old->widthMm;
  back.height_in_millimeters = old->heightMm;
  ok(c, sendSetMonitor(c, display_->root(), back, old->outputs));
  return false;
}

std::optional<uint32_t> X11DisplayConfiguration::addVirtualDisplay(const VirtualDisplayRequest& request,
                                                                   std::string& failure) {
  std::lock_guard lock(mutex_);
  if (request.width == 0 || request.height == 0 || request.width > 0x7fff || request.height > 0x7fff) {
    failure = "unsupported size " + std::to_string(request.width) + "x" + std::to_string(request.height);
    return std::nullopt;
  }
  uint32_t atom = 0;
  try {
    atom = display_->internAtom(request.name);
  } catch (const X11Error& e) {
    failure = e.what();
    return std::nullopt;
  }
  const std::vector<Monitor> all = monitors();
  // A monitor of that name already exists: another host owns it.
  for (const Monitor& m : all) {
    if (m.id == atom) return 0u;
  }
  const auto now = screenSize();
  if (!now) {
    failure = "the X screen size is unknown";
    return std::nullopt;
  }
  int32_t right = 0;
  for (const Monitor& m : all) right = std::max(right, m.x + m.width);
  const int32_t needW = right + int32_t(request.width);
  const int32_t needH = std::max(now->height, int32_t(request.height));
  const auto [maxW, maxH] = maxScreenSize();
  if (needW > maxW || needH > maxH) {
    failure = "the X screen cannot grow to " + std::to_string(needW) + "x" + std::to_string(needH) + " (largest " +
              std::to_string(maxW) + "x" + std::to_string(maxH) + "); extend mode needs an X server that can grow its screen";
    return std::nullopt;
  }
  const bool first = added_.empty();
  if (first) {
    before_ = now;
    // Monitors without outputs were added by someone else (another manager
    // of this process, say) and grew the screen: the screen to come back to
    // is the one the real outputs need.
    if (std::any_of(all.begin(), all.end(), [](const Monitor& m) { return m.outputs.empty(); })) {
      int32_t w = 1;
      int32_t h = 1;
      for (const Monitor& m : all) {
        if (m.outputs.empty()) continue;
        w = std::max(w, m.x + m.width);
        h = std::max(h, m.y + m.height);
      }
      before_->width = std::min(w, now->width);
      before_->height = std::min(h, now->height);
      before_->widthMm = now->width > 0 ? uint32_t(std::lround(double(now->widthMm) * w / now->width)) : 0;
      before_->heightMm = now->height > 0 ? uint32_t(std::lround(double(now->heightMm) * h / now->height)) : 0;
    }
  }
  if (!growTo(needW, needH)) {
    failure = "the X server refused to grow its screen to " + std::to_string(needW) + "x" + std::to_string(needH);
    if (first) before_.reset();
    return std::nullopt;
  }
  Monitor m{atom, false, right, 0, int32_t(request.width), int32_t(request.height),
            uint32_t(std::lround(std::max(0.0, request.widthMillimeters))),
            uint32_t(std::lround(std::max(0.0, request.heightMillimeters))), {}};
  if (!setMonitor(m)) {
    failure = "the X server refused the monitor";
    shrinkToFit();
    return std::nullopt;
  }
  added_[atom] = Added{request.maxWidth, request.maxHeight, request.refreshRate};
  return atom;
}

bool X11DisplayConfiguration::setVirtualMode(uint32_t id, uint32_t width, uint32_t height, double refreshRate) {
  std::lock_guard lock(mutex_);
  auto added = added_.find(id);
  if (added == added_.end() || width == 0 || height == 0 || width > added->second.maxWidth ||
      height > added->second.maxHeight) {
    return false;
  }
  for (Monitor m : monitors()) {
    if (m.id != id) continue;
    if (!growTo(m.x + int32_t(width), m.y + int32_t(height))) return false;
    m.width = int32_t(width);
    m.height = int32_t(height);
    if (!setMonitor(m)) return false;
    added->second.refreshRate = refreshRate;
    shrinkToFit();
    return true;
  }
  return false;
}

bool X11DisplayConfiguration::removeVirtualDisplay(uint32_t id) {
  std::lock_guard lock(mutex_);
  if (added_.erase(id) == 0) return false;
  const bool removed = ok(display_->connection(),
                          xcb_randr_delete_monitor_checked(display_->connection(), display_->root(), id));
  shrinkToFit();
  return removed;
}

std::optional<double> X11DisplayConfiguration::refreshRate(uint32_t id) const {
  std::lock_guard lock(mutex_);
  auto it = added_.find(id);
  if (it == added_.end()) return std::nullopt;
  return it->second.refreshRate;
}

uint32_t X11DisplayConfiguration::mainDisplay() {
  std::lock_guard lock(mutex_);
  const std::vector<Monitor> all = monitors();
  for (const Monitor& m : all) {
    if (m.primary) return m.id;
  }
  for (const Monitor& m : all) {
    if (m.x == 0 && m.y == 0) return m.id;
  }
  return all.empty() ? 0 : all.front().id;
}

std::optional<DisplayBounds> X11DisplayConfiguration::bounds(uint32_t id) {
  std::lock_guard lock(mutex_);
  for (const Monitor& m : monitors()) {
    if (m.id == id) return DisplayBounds{m.x, m.y, m.width, m.height};
  }
  return std::nullopt;
}

std::vector<uint32_t> X11DisplayConfiguration::activeDisplays() {
  std::lock_guard lock(mutex_);
  std::vector<uint32_t> ids;
  for (const Monitor& m : monitors()) ids.push_back(m.id);
  return ids;
}

std::optional<uint32_t> X11DisplayConfiguration::mirrorOf(uint32_t id) {
  std::lock_guard lock(mutex_);
  const std::vector<Monitor> all = monitors();
  auto self = std::find_if(all.begin(), all.end(), [&](const Monitor& m) { return m.id == id; });
  if (self == all.end()) return std::nullopt;
  // On X a mirror is a monitor showing the same part of the screen.
  for (const Monitor& m : all) {
    if (m.id != id && m.x == self->x && m.y == self->y) return m.id;
  }
  return std::nullopt;
}

bool X11DisplayConfiguration::moveOutputs(const Monitor& m, int32_t x, int32_t y) {
  xcb_connection_t* c = display_->connection();
  auto* res = xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, display_->root()), nullptr);
  if (res == nullptr) return false;
  const xcb_timestamp_t configTime = res->config_timestamp;
  std::free(res);
  std::vector<uint32_t> crtcs;
  for (const uint32_t output : m.outputs) {
    auto* info = xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, configTime), nullptr);
    if (info == nullptr) return false;
    if (info->crtc != XCB_NONE && std::find(crtcs.begin(), crtcs.end(), info->crtc) == crtcs.end()) {
      crtcs.push_back(info->crtc);
    }
    std::free(info);
  }
  for (const uint32_t crtc : crtcs) {
    auto* ci = xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, crtc, configTime), nullptr);
    if (ci == nullptr) return false;
    // Keep each CRTC's offset within the monitor.
    const int32_t cx = x + (ci->x - m.x);
    const int32_t cy = y + (ci->y - m.y);
    auto* set = xcb_randr_set_crtc_config_reply(
        c,
        xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, configTime, int16_t(cx), int16_t(cy), ci->mode,
                                  ci->rotation, uint32_t(xcb_randr_get_crtc_info_outputs_length(ci)),
                                  xcb_randr_get_crtc_info_outputs(ci)),
        nullptr);
    std::free(ci);
    const bool success = set != nullptr && set->status == XCB_RANDR_SET_CONFIG_SUCCESS;
    std::free(set);
    if (!success) return false;
  }
  return true;
}

bool X11DisplayConfiguration::makePrimary(const Monitor& target, const std::vector<Monitor>& all) {
  xcb_connection_t* c = display_->connection();
  // The server shows one primary: an output's, or a user monitor's flag.
  for (Monitor m : all) {
    if (m.id != target.id && m.primary && m.outputs.empty() && added_.count(m.id)) {
      m.primary = false;
      if (!setMonitor(m)) return false;
    }
  }
  if (!target.outputs.empty()) {
    return ok(c, xcb_randr_set_output_primary_checked(c, display_->root(), target.outputs.front()));
  }
  if (!ok(c, xcb_randr_set_output_primary_checked(c, display_->root(), XCB_NONE))) return false;
  Monitor m = target;
  m.primary = true;
  return setMonitor(m);
}

bool X11DisplayConfiguration::configure(const std::vector<DisplayPlacement>& placements) {
  std::lock_guard lock(mutex_);
  std::vector<Monitor> all = monitors();
  int32_t needW = 0;
  int32_t needH = 0;
  for (const DisplayPlacement& p : placements) {
    auto it = std::find_if(all.begin(), all.end(), [&](const Monitor& m) { return m.id == p.id; });
    if (it == all.end() || !fits16(p.x) || !fits16(p.y)) return false;
    needW = std::max<int32_t>(needW, int32_t(p.x) + it->width);
    needH = std::max<int32_t>(needH, int32_t(p.y) + it->height);
  }
  if (!growTo(needW, needH)) return false;
  bool success = true;
  std::optional<Monitor> atOrigin;
  for (const DisplayPlacement& p : placements) {
    Monitor m = *std::find_if(all.begin(), all.end(), [&](const Monitor& mon) { return mon.id == p.id; });
    if (m.outputs.empty()) {
      m.x = int32_t(p.x);
      m.y = int32_t(p.y);
      success = success && setMonitor(m);
    } else {
      success = success && moveOutputs(m, int32_t(p.x), int32_t(p.y));
      m.x = int32_t(p.x);
      m.y = int32_t(p.y);
    }
    if (p.x == 0 && p.y == 0) atOrigin = m;
  }
  if (success && atOrigin && !atOrigin->primary) success = makePrimary(*atOrigin, monitors());
  shrinkToFit();
  return success;
}

}  // namespace lumenrail
