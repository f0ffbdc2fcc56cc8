#include "desktop/x11/X11DisplayConfiguration.hpp"

#include <sys/uio.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/CReply.hpp"

namespace lumenrail {

struct X11DisplayConfiguration::Monitor {
  uint32_t id = 0;
  bool primary = false;
  bool automatic = true;  // made by the server for an output, not by a client
  int32_t x = 0, y = 0, width = 0, height = 0;
  uint32_t widthMm = 0, heightMm = 0;
  std::vector<uint32_t> outputs;
};

namespace {

bool ok(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  const auto error = ownReply(xcb_request_check(c, cookie));
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

// Outputs meant to be lit without a panel come first; a real connector only
// when nothing is plugged into it, so a screen the user turned off stays off.
int outputRank(const std::string& name, uint8_t connection) {
  if (name.rfind("VIRTUAL", 0) == 0) return 0;
  if (name.rfind("DUMMY", 0) == 0) return 1;
  if (connection == XCB_RANDR_CONNECTION_DISCONNECTED) return 2;
  return -1;
}

xcb_timestamp_t configTimestamp(xcb_connection_t* c, xcb_window_t root) {
  const auto res = ownReply(
      xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, root), nullptr));
  if (res == nullptr) return XCB_CURRENT_TIME;
  const xcb_timestamp_t t = res->config_timestamp;
  return t;
}

// The owner window's property, and the root-window mark of each display
// (the prefix, then the monitor's name) with its words.
constexpr const char* kOwnerProperty = "_LUMENRAIL_OWNER";
constexpr const char* kMarkPrefix = "_LUMENRAIL_DISPLAY ";
enum MarkWord : size_t { markOwner, markOutput, markCrtc, markBeforeW, markBeforeH, markBeforeMmW, markBeforeMmH, markWords };
// Every mode this host makes carries this in its name.
constexpr const char* kModeTag = " lumenrail-";

}  // namespace

std::shared_ptr<X11DisplayConfiguration> X11DisplayConfiguration::open(const std::string& name) {
  auto display = X11Display::open(name);
  if (!display->hasRandrMonitors()) throw X11Error(X11ErrorKind::requestFailed, "RandR 1.5 monitors missing");
  return std::shared_ptr<X11DisplayConfiguration>(new X11DisplayConfiguration(std::move(display)));
}

std::vector<X11DisplayConfiguration::Monitor> X11DisplayConfiguration::monitors() const {
  xcb_connection_t* c = display_->connection();
  std::vector<Monitor> result;
  const auto r = ownReply(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, display_->root(), 1), nullptr));
  if (r == nullptr) return result;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t* m = it.data;
    if (m->width == 0 || m->height == 0) continue;
    Monitor mon{m->name, m->primary != 0, m->automatic != 0, m->x, m->y, m->width, m->height,
                m->width_in_millimeters, m->height_in_millimeters, {}};
    const xcb_randr_output_t* outs = xcb_randr_monitor_info_outputs(m);
    mon.outputs.assign(outs, outs + xcb_randr_monitor_info_outputs_length(m));
    result.push_back(std::move(mon));
  }
  return result;
}

std::optional<X11DisplayConfiguration::ScreenSize> X11DisplayConfiguration::screenSize() const {
  xcb_connection_t* c = display_->connection();
  const auto r = ownReply(xcb_randr_get_screen_info_reply(c, xcb_randr_get_screen_info(c, display_->root()), nullptr));
  std::optional<ScreenSize> result;
  if (r != nullptr) {
    const xcb_randr_screen_size_t* sizes = xcb_randr_get_screen_info_sizes(r.get());
    if (r->sizeID < xcb_randr_get_screen_info_sizes_length(r.get())) {
      const xcb_randr_screen_size_t& s = sizes[r->sizeID];
      result = ScreenSize{s.width, s.height, s.mwidth, s.mheight};
    }
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
  const auto r =
      ownReply(xcb_randr_get_screen_size_range_reply(c, xcb_randr_get_screen_size_range(c, display_->root()), nullptr));
  if (r == nullptr) return {0, 0};
  const std::pair<int32_t, int32_t> max{r->max_width, r->max_height};
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

bool X11DisplayConfiguration::lastAddRefusedForGood() const {
  std::lock_guard lock(mutex_);
  return refusedForGood_;
}

std::optional<uint32_t> X11DisplayConfiguration::addVirtualDisplay(const VirtualDisplayRequest& request,
                                                                   std::string& failure) {
  std::lock_guard lock(mutex_);
  refusedForGood_ = false;
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
    refusedForGood_ = true;
    failure = "the X screen cannot grow to " + std::to_string(needW) + "x" + std::to_string(needH) + " (largest " +
              std::to_string(maxW) + "x" + std::to_string(maxH) + "); extend mode needs an X server that can grow its screen";
    return std::nullopt;
  }
  const bool first = added_.empty();
  if (first) {
    before_ = now;
    // Monitors made by a client were added by someone else (another manager
    // of this process, say) and grew the screen: the screen to come back to
    // is the one the server's own monitors need.
    if (std::any_of(all.begin(), all.end(), [](const Monitor& m) { return !m.automatic; })) {
      int32_t w = 1;
      int32_t h = 1;
      for (const Monitor& m : all) {
        if (!m.automatic) continue;
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
  Added added{request.maxWidth, request.maxHeight, request.refreshRate};
  bool named = false;
  xcb_connection_t* c = display_->connection();
  // Marked before anything is made, so a kill from here on leaves a display
  // the next run can find.
  mark(atom, added);
  if (lightFreeOutput(request, right, 0, added)) {
    mark(atom, added);
    // No geometry of its own: the monitor then follows its output's CRTC
    // wherever the display is moved or resized.
    xcb_randr_monitor_info_t info{};
    info.name = atom;
    named = ok(c, sendSetMonitor(c, display_->root(), info, {added.output}));
  } else {
    Monitor m;
    m.id = atom;
    m.automatic = false;
    m.x = right;
    m.width = int32_t(request.width);
    m.height = int32_t(request.height);
    m.widthMm = uint32_t(std::lround(std::max(0.0, request.widthMillimeters)));
    m.heightMm = uint32_t(std::lround(std::max(0.0, request.heightMillimeters)));
    named = setMonitor(m);
  }
  if (!named) {
    failure = "the X server refused the monitor";
    darken(added);
    unmark(atom);
    shrinkToFit();
    return std::nullopt;
  }
  added_[atom] = added;
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
    Added& a = added->second;
    if (a.output != 0 && width == a.width && height == a.height &&
        cvtMode(width, height, refreshRate) == cvtMode(a.width, a.height, a.refreshRate)) {
      // The driver takes a mode of the same timings as no change at all.
      a.refreshRate = refreshRate;
      return true;
    }
    if (a.output != 0) {
      // The new mode goes on before the old one is deleted, so the output never goes dark.
      const std::optional<uint32_t> mode = createMode(width, height, refreshRate);
      if (!mode) return false;
      if (!setCrtc(a.crtc, m.x, m.y, *mode, a.output)) {
        destroyMode(a.output, *mode);
        shrinkToFit();
        return false;
      }
      destroyMode(a.output, a.mode);
      a.mode = *mode;
      a.width = width;
      a.height = height;
      a.refreshRate = refreshRate;
      shrinkToFit();
      return true;
    }
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
  auto it = added_.find(id);
  if (it == added_.end()) return false;
  const Added added = it->second;
  added_.erase(it);
  const bool removed = ok(display_->connection(),
                          xcb_randr_delete_monitor_checked(display_->connection(), display_->root(), id));
  darken(added);
  unmark(id);
  shrinkToFit();
  return removed;
}

uint32_t X11DisplayConfiguration::ownerWindow() {
  if (owner_ != 0) return owner_;
  xcb_connection_t* c = display_->connection();
  const uint32_t window = xcb_generate_id(c);
  if (!ok(c, xcb_create_window_checked(c, 0, window, display_->root(), 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                                       XCB_COPY_FROM_PARENT, 0, nullptr))) {
    return 0;
  }
  // A window id is handed out again once its client is gone: the property
  // tells our owner window from a later client's window of the same id.
  const uint32_t pid = uint32_t(::getpid());
  try {
    if (!ok(c, xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, window, display_->internAtom(kOwnerProperty),
                                           XCB_ATOM_CARDINAL, 32, 1, &pid))) {
      return 0;
    }
  } catch (const X11Error&) {
    return 0;
  }
  owner_ = window;
  return owner_;
}

uint32_t X11DisplayConfiguration::markAtom(uint32_t monitor) const {
  return display_->internAtom(kMarkPrefix + display_->atomName(monitor));
}

void X11DisplayConfiguration::mark(uint32_t monitor, const Added& added) {
  try {
    const ScreenSize before = before_.value_or(ScreenSize{0, 0, 0, 0});
    const uint32_t words[markWords] = {ownerWindow(),         added.output,          added.crtc,
                                       uint32_t(before.width), uint32_t(before.height), before.widthMm,
                                       before.heightMm};
    xcb_connection_t* c = display_->connection();
    ok(c, xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, display_->root(), markAtom(monitor),
                                      XCB_ATOM_CARDINAL, 32, markWords, words));
  } catch (const X11Error&) {
    // Unmarked, the display is only not found again after a kill.
  }
}

void X11DisplayConfiguration::unmark(uint32_t monitor) {
  try {
    xcb_connection_t* c = display_->connection();
    ok(c, xcb_delete_property_checked(c, display_->root(), markAtom(monitor)));
  } catch (const X11Error&) {
  }
}

bool X11DisplayConfiguration::ownerAlive(uint32_t window) const {
  xcb_connection_t* c = display_->connection();
  xcb_generic_error_t* error = nullptr;
  const auto r = ownReply(xcb_get_property_reply(
      c, xcb_get_property(c, 0, window, display_->internAtom(kOwnerProperty), XCB_ATOM_CARDINAL, 0, 1), &error));
  const auto errorOwner = ownReply(error);
  const bool gone = error != nullptr && error->error_code == XCB_WINDOW;
  const bool exists = r != nullptr;
  const bool owned = exists && r->type == XCB_ATOM_CARDINAL && r->format == 32 && r->value_len == 1;
  // Anything short of a clear answer counts as alive: nothing is removed on a guess.
  if (owned) return true;
  return !(gone || exists);
}

std::vector<uint32_t> X11DisplayConfiguration::hostModesOn(uint32_t output) const {
  xcb_connection_t* c = display_->connection();
  std::vector<uint32_t> result;
  const auto res = ownReply(xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, display_->root()), nullptr));
  if (res == nullptr) return result;
  std::map<uint32_t, std::string> names;
  const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res.get());
  const char* text = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(res.get()));
  const int nameBytes = xcb_randr_get_screen_resources_current_names_length(res.get());
  int at = 0;
  for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(res.get()); ++i) {
    if (at + modes[i].name_len > nameBytes) break;
    names[modes[i].id] = std::string(text + at, modes[i].name_len);
    at += modes[i].name_len;
  }
  const auto info = ownReply(
      xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, res->config_timestamp), nullptr));
  if (info == nullptr) return result;
  const xcb_randr_mode_t* ids = xcb_randr_get_output_info_modes(info.get());
  for (int i = 0; i < xcb_randr_get_output_info_modes_length(info.get()); ++i) {
    if (names[ids[i]].find(kModeTag) != std::string::npos) result.push_back(ids[i]);
  }
  return result;
}

std::optional<std::string> X11DisplayConfiguration::removeLeftover(const std::string& name) {
  std::lock_guard lock(mutex_);
  xcb_connection_t* c = display_->connection();
  uint32_t monitor = 0;
  uint32_t markName = 0;
  try {
    monitor = display_->internAtom(name);
    markName = markAtom(monitor);
  } catch (const X11Error&) {
    return std::nullopt;
  }
  if (added_.count(monitor) != 0) return std::nullopt;
  const auto r = ownReply(xcb_get_property_reply(
      c, xcb_get_property(c, 0, display_->root(), markName, XCB_ATOM_CARDINAL, 0, markWords), nullptr));
  if (r == nullptr) return std::nullopt;
  std::vector<uint32_t> words;
  if (r->type == XCB_ATOM_CARDINAL && r->format == 32 && r->value_len == markWords) {
    const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
    words.assign(v, v + markWords);
  }
  if (words.empty() || ownerAlive(words[markOwner])) return std::nullopt;

  std::string what = "monitor \"" + name + "\"";
  ok(c, xcb_randr_delete_monitor_checked(c, display_->root(), monitor));
  if (const uint32_t output = words[markOutput]; output != 0) {
    Added left;
    left.output = output;
    left.crtc = words[markCrtc];
    // The CRTC is darkened only while it still shows that output.
    const auto ci =
        ownReply(xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, left.crtc, XCB_CURRENT_TIME), nullptr));
    if (ci != nullptr) {
      const xcb_randr_output_t* outs = xcb_randr_get_crtc_info_outputs(ci.get());
      const bool ours = std::find(outs, outs + xcb_randr_get_crtc_info_outputs_length(ci.get()), output) !=
                        outs + xcb_randr_get_crtc_info_outputs_length(ci.get());
      if (ours) darken(left);
    }
    const std::vector<uint32_t> modes = hostModesOn(output);
    for (const uint32_t mode : modes) destroyMode(output, mode);
    what += ", its output and " + std::to_string(modes.size()) + " mode(s)";
  }
  unmark(monitor);
  if (added_.empty()) {
    before_ = ScreenSize{int32_t(words[markBeforeW]), int32_t(words[markBeforeH]), words[markBeforeMmW],
                         words[markBeforeMmH]};
    if (before_->width > 0 && before_->height > 0) shrinkToFit();
    before_.reset();
  }
  return what;
}

bool X11DisplayConfiguration::inputReaches(uint32_t id) {
  std::lock_guard lock(mutex_);
  auto it = added_.find(id);
  return it != added_.end() && it->second.output != 0;
}

X11DisplayConfiguration::ModeTiming X11DisplayConfiguration::cvtMode(uint32_t width, uint32_t height,
                                                                       double refreshHz) {
  // The formula's constants: cell granularity, minimum front porch (lines),
  // minimum vertical back porch, the 550 us minimum of vsync plus back porch,
  // hsync at 8 % of the line, the blanking formula's C' = 30 and M' = 300,
  // and a clock in 250 kHz steps.
  constexpr uint32_t kCell = 8;
  constexpr uint32_t kMinVPorch = 3;
  constexpr uint32_t kMinVBackPorch = 6;
  constexpr double kMinVSyncBackPorchUs = 550.0;
  constexpr uint32_t kHSyncPercent = 8;
  constexpr double kCPrime = 30.0;
  constexpr double kMPrime = 300.0;
  constexpr uint32_t kClockStepKHz = 250;

  ModeTiming t;
  const double hz = refreshHz > 0 ? refreshHz : 60.0;
  t.width = width - width % kCell;
  t.height = height;
  // The vsync width names the aspect ratio to a monitor.
  uint32_t vSync = 10;
  const auto is = [&](uint32_t a, uint32_t b) { return t.height % b == 0 && t.height * a / b == t.width; };
  if (is(4, 3)) vSync = 4;
  else if (is(16, 9)) vSync = 5;
  else if (is(16, 10)) vSync = 6;
  else if (is(5, 4) || is(15, 9)) vSync = 7;
  const double hPeriodUs = (1'000'000.0 / hz - kMinVSyncBackPorchUs) / (t.height + kMinVPorch);
  uint32_t vSyncBackPorch = uint32_t(kMinVSyncBackPorchUs / hPeriodUs) + 1;
  vSyncBackPorch = std::max(vSyncBackPorch, vSync + kMinVBackPorch);
  t.vSyncStart = t.height + kMinVPorch;
  t.vSyncEnd = t.vSyncStart + vSync;
  t.vTotal = t.height + vSyncBackPorch + kMinVPorch;
  const double blankPercent = std::max(20.0, kCPrime - kMPrime * hPeriodUs / 1000.0);
  uint32_t hBlank = uint32_t(t.width * blankPercent / (100.0 - blankPercent));
  hBlank -= hBlank % (2 * kCell);
  t.hTotal = t.width + hBlank;
  t.hSyncEnd = t.width + hBlank / 2;
  t.hSyncStart = t.hSyncEnd - t.hTotal * kHSyncPercent / 100;
  t.hSyncStart += kCell - t.hSyncStart % kCell;
  uint32_t clockKHz = uint32_t(t.hTotal * 1000.0 / hPeriodUs);
  clockKHz -= clockKHz % kClockStepKHz;
  t.dotClockHz = clockKHz * 1000;
  return t;
}

std::vector<X11DisplayConfiguration::FreeOutput> X11DisplayConfiguration::freeOutputs() const {
  xcb_connection_t* c = display_->connection();
  const auto res = ownReply(xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, display_->root()), nullptr));
  if (res == nullptr) return {};
  const xcb_timestamp_t configTime = res->config_timestamp;
  const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(res.get());
  std::vector<uint32_t> idle;
  for (int i = 0; i < xcb_randr_get_screen_resources_current_crtcs_length(res.get()); ++i) {
    const auto ci =
        ownReply(xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, crtcs[i], configTime), nullptr));
    if (ci == nullptr) continue;
    if (ci->mode == XCB_NONE && ci->num_outputs == 0) idle.push_back(crtcs[i]);
  }
  std::vector<std::pair<int, FreeOutput>> ranked;
  const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
  for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(res.get()); ++i) {
    const auto info =
        ownReply(xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, outputs[i], configTime), nullptr));
    if (info == nullptr) continue;
    const std::string name(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                           size_t(xcb_randr_get_output_info_name_length(info.get())));
    const int rank = outputRank(name, info->connection);
    const xcb_randr_crtc_t* possible = xcb_randr_get_output_info_crtcs(info.get());
    const int possibleCount = xcb_randr_get_output_info_crtcs_length(info.get());
    if (info->crtc == XCB_NONE && rank >= 0) {
      for (int k = 0; k < possibleCount; ++k) {
        if (std::find(idle.begin(), idle.end(), possible[k]) != idle.end()) {
          ranked.push_back({rank * 1'000'000 + i, FreeOutput{outputs[i], possible[k]}});
          break;
        }
      }
    }
  }
  // By rank, then in the server's order (the key carries both; no stable_sort,
  // whose temporary buffer trips the sanitizer's allocator check here).
  std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<FreeOutput> result;
  for (const auto& [rank, free] : ranked) result.push_back(free);
  return result;
}

std::optional<uint32_t> X11DisplayConfiguration::createMode(uint32_t width, uint32_t height, double refreshHz) {
  // Mode names are unique on a server: a leftover of an earlier run keeps
  // its name, so ours carry this process and a count.
  static std::atomic<uint32_t> serial{0};
  // Timed for the next whole number of character cells, showing exactly the
  // width asked for: the stream's size need not be a multiple of 8.
  const ModeTiming t = cvtMode((width + 7) / 8 * 8, height, refreshHz);
  xcb_randr_mode_info_t info{};
  info.width = uint16_t(width);
  info.height = uint16_t(t.height);
  info.dot_clock = t.dotClockHz;
  info.hsync_start = uint16_t(t.hSyncStart);
  info.hsync_end = uint16_t(t.hSyncEnd);
  info.htotal = uint16_t(t.hTotal);
  info.vsync_start = uint16_t(t.vSyncStart);
  info.vsync_end = uint16_t(t.vSyncEnd);
  info.vtotal = uint16_t(t.vTotal);
  info.mode_flags = XCB_RANDR_MODE_FLAG_HSYNC_NEGATIVE | XCB_RANDR_MODE_FLAG_VSYNC_POSITIVE;
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.2f", refreshHz);
  const std::string name = std::to_string(width) + "x" + std::to_string(height) + "_" + rate + " lumenrail-" +
                           std::to_string(::getpid()) + "-" + std::to_string(++serial);
  info.name_len = uint16_t(name.size());
  xcb_connection_t* c = display_->connection();
  const auto r = ownReply(xcb_randr_create_mode_reply(
      c, xcb_randr_create_mode(c, display_->root(), info, uint32_t(name.size()), name.data()), nullptr));
  if (r == nullptr) return std::nullopt;
  const uint32_t mode = r->mode;
  return mode;
}

void X11DisplayConfiguration::destroyMode(uint32_t output, uint32_t mode) {
  if (mode == 0) return;
  xcb_connection_t* c = display_->connection();
  if (output != 0) ok(c, xcb_randr_delete_output_mode_checked(c, output, mode));
  ok(c, xcb_randr_destroy_mode_checked(c, mode));
}

bool X11DisplayConfiguration::setCrtc(uint32_t crtc, int32_t x, int32_t y, uint32_t mode, uint32_t output) {
  if (!fits16(x) || !fits16(y)) return false;
  xcb_connection_t* c = display_->connection();
  if (mode != 0 && !ok(c, xcb_randr_add_output_mode_checked(c, output, mode))) return false;
  const xcb_randr_output_t outputs[] = {output};
  const auto set = ownReply(xcb_randr_set_crtc_config_reply(
      c,
      xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, configTimestamp(c, display_->root()), int16_t(x), int16_t(y),
                                mode, XCB_RANDR_ROTATION_ROTATE_0, mode != 0 ? 1 : 0, outputs),
      nullptr));
  const bool success = set != nullptr && set->status == XCB_RANDR_SET_CONFIG_SUCCESS;
  return success;
}

bool X11DisplayConfiguration::lightFreeOutput(const VirtualDisplayRequest& request, int32_t x, int32_t y,
                                              Added& added) {
  for (const FreeOutput& free : freeOutputs()) {
    const std::optional<uint32_t> mode = createMode(request.width, request.height, request.refreshRate);
    if (!mode) return false;
    if (setCrtc(free.crtc, x, y, *mode, free.output)) {
      added.width = request.width;
      added.height = request.height;
      added.output = free.output;
      added.crtc = free.crtc;
      added.mode = *mode;
      return true;
    }
    // Some connectors refuse a mode without a panel: the next one may not.
    destroyMode(free.output, *mode);
  }
  return false;
}

void X11DisplayConfiguration::darken(const Added& added) {
  if (added.output == 0) return;
  xcb_connection_t* c = display_->connection();
  // Our output may have been made primary; a dark primary would leave the
  // desktop without a main display.
  if (const auto p =
          ownReply(xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, display_->root()), nullptr))) {
    if (p->output == added.output) ok(c, xcb_randr_set_output_primary_checked(c, display_->root(), XCB_NONE));
  }
  setCrtc(added.crtc, 0, 0, 0, added.output);
  destroyMode(added.output, added.mode);
}

std::optional<double> X11DisplayConfiguration::refreshRate(uint32_t id) {
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
  // A monitor a client defined over the primary output is not flagged itself.
  xcb_connection_t* c = display_->connection();
  if (const auto p =
          ownReply(xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, display_->root()), nullptr))) {
    const uint32_t primary = p->output;
    for (const Monitor& m : all) {
      if (primary != XCB_NONE && std::find(m.outputs.begin(), m.outputs.end(), primary) != m.outputs.end()) {
        return m.id;
      }
    }
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
  const auto res = ownReply(xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, display_->root()), nullptr));
  if (res == nullptr) return false;
  const xcb_timestamp_t configTime = res->config_timestamp;
  std::vector<uint32_t> crtcs;
  for (const uint32_t output : m.outputs) {
    const auto info =
        ownReply(xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, configTime), nullptr));
    if (info == nullptr) return false;
    if (info->crtc != XCB_NONE && std::find(crtcs.begin(), crtcs.end(), info->crtc) == crtcs.end()) {
      crtcs.push_back(info->crtc);
    }
  }
  for (const uint32_t crtc : crtcs) {
    const auto ci = ownReply(xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, crtc, configTime), nullptr));
    if (ci == nullptr) return false;
    // Keep each CRTC's offset within the monitor.
    const int32_t cx = x + (ci->x - m.x);
    const int32_t cy = y + (ci->y - m.y);
    const auto set = ownReply(xcb_randr_set_crtc_config_reply(
        c,
        xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, configTime, int16_t(cx), int16_t(cy), ci->mode,
                                  ci->rotation, uint32_t(xcb_randr_get_crtc_info_outputs_length(ci.get())),
                                  xcb_randr_get_crtc_info_outputs(ci.get())),
        nullptr));
    const bool success = set != nullptr && set->status == XCB_RANDR_SET_CONFIG_SUCCESS;
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
