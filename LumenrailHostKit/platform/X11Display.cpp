#include "platform/X11Display.hpp"

#include <sys/ipc.h>
#include <sys/socket.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/screensaver.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/CReply.hpp"
#include "platform/NamedThread.hpp"

namespace lumenrail {

namespace {

const char* kindName(X11ErrorKind kind) {
  switch (kind) {
    case X11ErrorKind::connectFailed:
      return "connectFailed";
    case X11ErrorKind::requestFailed:
      return "requestFailed";
    case X11ErrorKind::unsupportedVisual:
      return "unsupportedVisual";
    case X11ErrorKind::connectionLost:
      return "connectionLost";
  }
  return "unknown";
}

// X protocol rectangles are 16-bit.
bool fitsProtocol(int32_t x, int32_t y, int32_t width, int32_t height) {
  return width >= 1 && height >= 1 && width <= std::numeric_limits<uint16_t>::max() &&
         height <= std::numeric_limits<uint16_t>::max() && x >= std::numeric_limits<int16_t>::min() &&
         x <= std::numeric_limits<int16_t>::max() && y >= std::numeric_limits<int16_t>::min() &&
         y <= std::numeric_limits<int16_t>::max();
}

}  // namespace

namespace X11Connections {

namespace {

struct Registry {
  std::mutex connecting;  // held across xcb_connect
  std::mutex mutex;       // guards what follows, and the sockets in `open`
  std::condition_variable changed;
  std::unordered_map<xcb_connection_t*, int> open;
  bool cut = false;
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: a connect thread may outlive static destruction
  return *r;
}

xcb_connection_t* failed() { return xcb_connect_to_fd(-1, nullptr); }

// One connect, made on a thread of its own: a server that does not answer
// holds it in the handshake, before any socket is known that could be cut.
struct Attempt {
  bool done = false;
  bool abandoned = false;
  xcb_connection_t* connection = nullptr;
  int screen = 0;
};

}  // namespace

xcb_connection_t* connect(const std::string& name, int* screen, uint64_t timeoutNs) {
  Registry& r = registry();
  auto attempt = std::make_shared<Attempt>();
  {
    std::lock_guard guard(r.mutex);
    if (r.cut) return failed();
  }
  NamedThread("lumenrail-x-connect", [attempt, name] {
    Registry& r = registry();
    int number = 0;
    xcb_connection_t* c = nullptr;
    {
      std::lock_guard one(r.connecting);
      // Queued behind a connect that hung: once cut, not tried at all.
      if (cut()) {
        c = failed();
      } else {
        c = xcb_connect(name.empty() ? nullptr : name.c_str(), &number);
      }
    }
    std::unique_lock lock(r.mutex);
    if (attempt->abandoned) {
      lock.unlock();
      xcb_disconnect(c);
      return;
    }
    if (xcb_connection_has_error(c) == 0) {
      if (r.cut) ::shutdown(xcb_get_file_descriptor(c), SHUT_RDWR);
      r.open.emplace(c, xcb_get_file_descriptor(c));
    }
    attempt->connection = c;
    attempt->screen = number;
    attempt->done = true;
    r.changed.notify_all();
  }).detach();
  std::unique_lock lock(r.mutex);
  const auto over = [&] { return attempt->done || r.cut; };
  if (timeoutNs > 0) {
    r.changed.wait_for(lock, std::chrono::nanoseconds(timeoutNs), over);
  } else {
    r.changed.wait(lock, over);
  }
  if (!attempt->done) {
    attempt->abandoned = true;  // the thread closes it once the server answers, if ever
    return failed();
  }
  if (screen != nullptr) *screen = attempt->screen;
  return attempt->connection;
}

void disconnect(xcb_connection_t* connection) {
  if (connection == nullptr) return;
  Registry& r = registry();
  // Closed under the lock, so cutAll() never shuts down a socket number
  // that has been handed out again.
  std::lock_guard guard(r.mutex);
  r.open.erase(connection);
  xcb_disconnect(connection);
}

void cutAll() {
  Registry& r = registry();
  std::lock_guard guard(r.mutex);
  r.cut = true;
  for (const auto& [connection, fd] : r.open) ::shutdown(fd, SHUT_RDWR);
  r.changed.notify_all();
}

bool cut() {
  Registry& r = registry();
  std::lock_guard guard(r.mutex);
  return r.cut;
}

}  // namespace X11Connections

X11Error::X11Error(X11ErrorKind k, std::string d) : kind(k), detail(std::move(d)) {
  text_ = std::string(kindName(kind)) + "(\"" + detail + "\")";
}

namespace {

// libxcb writes a server's refusal (a missing or wrong cookie) straight to
// standard error, without a line end; caught while connecting, so that the
// user reads it once, inside the reason.
class StderrCatch {
 public:
  StderrCatch() {
    file_ = ::memfd_create("lumenrail-x-refusal", MFD_CLOEXEC);
    if (file_ >= 0) saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (saved_ >= 0) ::dup2(file_, STDERR_FILENO);
  }
  ~StderrCatch() {
    finish();
    if (file_ >= 0) ::close(file_);
  }
  StderrCatch(const StderrCatch&) = delete;
  StderrCatch& operator=(const StderrCatch&) = delete;

  // Puts standard error back; what was written meanwhile, trimmed.
  std::string finish() {
    if (saved_ < 0) return {};
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
    char buffer[512];
    const ssize_t n = ::pread(file_, buffer, sizeof buffer, 0);
    std::string text(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
  }

 private:
  int file_ = -1;
  int saved_ = -1;
};

}  // namespace

std::optional<std::string> X11Display::whyUnreachable(const std::string& name, uint64_t timeoutNs) {
  const char* given = name.empty() ? std::getenv("DISPLAY") : name.c_str();
  if (given == nullptr || *given == '\0') return "DISPLAY is not set";
  const std::string display = given;
  char* host = nullptr;
  int number = 0;
  int screen = 0;
  if (xcb_parse_display(display.c_str(), &host, &number, &screen) == 0) {
    return "\"" + display + "\" is not the name of an X display";
  }
  std::free(host);
  StderrCatch caught;
  xcb_connection_t* conn = X11Connections::connect(display, nullptr, timeoutNs);
  const std::string refusal = caught.finish();
  const int error = xcb_connection_has_error(conn);
  X11Connections::disconnect(conn);
  if (error == 0) return std::nullopt;
  if (error == XCB_CONN_CLOSED_INVALID_SCREEN) {
    return "the X server on " + display + " has no screen " + std::to_string(screen);
  }
  if (!refusal.empty()) {
    return "the X server on " + display + " refused the connection (\"" + refusal +
           "\"): no valid cookie for it in $XAUTHORITY or ~/.Xauthority";
  }
  return "no X server answers on " + display;
}

std::shared_ptr<X11Display> X11Display::open(const std::string& name) {
  int screenNumber = 0;
  xcb_connection_t* conn = X11Connections::connect(name, &screenNumber);
  if (xcb_connection_has_error(conn) != 0) {
    X11Connections::disconnect(conn);
    throw X11Error(X11ErrorKind::connectFailed, name);
  }
  std::shared_ptr<X11Display> display(new X11Display());
  display->name_ = name;
  display->conn_ = conn;
  display->setup_ = xcb_get_setup(conn);
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(display->setup_);
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0 || it.data == nullptr) throw X11Error(X11ErrorKind::connectFailed, name + ": no screen");
  display->screen_ = it.data;
  display->root_ = it.data->root;

  if (const auto* ext = xcb_get_extension_data(conn, &xcb_shm_id); ext != nullptr && ext->present) {
    if (const auto r = ownReply(xcb_shm_query_version_reply(conn, xcb_shm_query_version(conn), nullptr))) {
      display->hasShm_ = true;
    }
  }
  if (const auto* ext = xcb_get_extension_data(conn, &xcb_xfixes_id); ext != nullptr && ext->present) {
    if (const auto r = ownReply(xcb_xfixes_query_version_reply(conn, xcb_xfixes_query_version(conn, 4, 0), nullptr))) {
      display->hasXFixes_ = r->major_version >= 1;
    }
  }
  if (const auto* ext = xcb_get_extension_data(conn, &xcb_damage_id); ext != nullptr && ext->present) {
    if (const auto r = ownReply(xcb_damage_query_version_reply(conn, xcb_damage_query_version(conn, 1, 1), nullptr))) {
      display->hasDamage_ = true;
      display->damageFirstEvent_ = ext->first_event;
    }
  }
  if (const auto* ext = xcb_get_extension_data(conn, &xcb_randr_id); ext != nullptr && ext->present) {
    if (const auto r = ownReply(xcb_randr_query_version_reply(conn, xcb_randr_query_version(conn, 1, 5), nullptr))) {
      display->hasRandrMonitors_ = r->major_version > 1 || (r->major_version == 1 && r->minor_version >= 5);
    }
  }
  return display;
}

X11Display::~X11Display() {
  X11Connections::disconnect(conn_);
}

std::pair<int32_t, int32_t> X11Display::rootSize() const {
  const auto r = ownReply(xcb_get_geometry_reply(conn_, xcb_get_geometry(conn_, root_), nullptr));
  if (r == nullptr) {
    if (broken()) throw X11Error(X11ErrorKind::connectionLost, name_);
    throw X11Error(X11ErrorKind::requestFailed, "GetGeometry");
  }
  return {r->width, r->height};
}

std::vector<X11Monitor> X11Display::monitors() const {
  std::vector<X11Monitor> result;
  if (hasRandrMonitors_) {
    const auto r = ownReply(xcb_randr_get_monitors_reply(conn_, xcb_randr_get_monitors(conn_, root_, 1), nullptr));
    if (r != nullptr) {
      for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* m = it.data;
        if (m->width == 0 || m->height == 0) continue;
        result.push_back(X11Monitor{m->name, atomName(m->name), m->primary != 0, m->x, m->y, m->width, m->height});
      }
    } else {
      throw X11Error(broken() ? X11ErrorKind::connectionLost : X11ErrorKind::requestFailed, "GetMonitors");
    }
  }
  if (result.empty()) {
    const auto [w, h] = rootSize();
    result.push_back(X11Monitor{internAtom("screen"), "screen", true, 0, 0, w, h});
  }
  return result;
}

uint32_t X11Display::internAtom(const std::string& atomName) const {
  const auto r = ownReply(xcb_intern_atom_reply(
      conn_,
      xcb_intern_atom(conn_, 0, static_cast<uint16_t>(std::min<size_t>(atomName.size(), 0xffff)), atomName.data()),
      nullptr));
  if (r == nullptr) throw X11Error(broken() ? X11ErrorKind::connectionLost : X11ErrorKind::requestFailed, "InternAtom");
  return r->atom;
}

std::string X11Display::atomName(uint32_t atom) const {
  {
    std::lock_guard guard(atomNamesMutex_);
    if (const auto it = atomNames_.find(atom); it != atomNames_.end()) return it->second;
  }
  const auto r = ownReply(xcb_get_atom_name_reply(conn_, xcb_get_atom_name(conn_, atom), nullptr));
  if (r == nullptr) return {};
  std::string text(xcb_get_atom_name_name(r.get()), static_cast<size_t>(xcb_get_atom_name_name_length(r.get())));
  std::lock_guard guard(atomNamesMutex_);
  // Bounded: a hostile server could name endless monitors.
  if (atomNames_.size() < 1024) atomNames_.emplace(atom, text);
  return text;
}

void X11Display::requireBgrx() const {
  const uint8_t depth = screen_->root_depth;
  if (depth != 24 && depth != 32) throw X11Error(X11ErrorKind::unsupportedVisual, "depth " + std::to_string(depth));
  if (setup_->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
    throw X11Error(X11ErrorKind::unsupportedVisual, "MSB-first images");
  }
  bool bpp32 = false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup_); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == depth) bpp32 = it.data->bits_per_pixel == 32;
  }
  if (!bpp32) throw X11Error(X11ErrorKind::unsupportedVisual, "not 32 bits per pixel");
  for (auto d = xcb_screen_allowed_depths_iterator(screen_); d.rem > 0; xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
      if (v.data->visual_id != screen_->root_visual) continue;
      if (v.data->red_mask != 0xff0000 || v.data->green_mask != 0xff00 || v.data->blue_mask != 0xff) {
        throw X11Error(X11ErrorKind::unsupportedVisual, "channel masks");
      }
      return;
    }
  }
  throw X11Error(X11ErrorKind::unsupportedVisual, "root visual not found");
}

std::optional<X11CursorImage> X11Display::cursor() const {
  if (!hasXFixes_) return std::nullopt;
  const auto r = ownReply(xcb_xfixes_get_cursor_image_reply(conn_, xcb_xfixes_get_cursor_image(conn_), nullptr));
  if (r == nullptr) return std::nullopt;
  X11CursorImage c;
  c.x = r->x;
  c.y = r->y;
  c.xhot = r->xhot;
  c.yhot = r->yhot;
  c.width = r->width;
  c.height = r->height;
  c.serial = r->cursor_serial;
  const size_t count = size_t(c.width) * size_t(c.height);
  // The pixel count is the server's word; trust it only as far as the reply goes.
  if (count > size_t(xcb_xfixes_get_cursor_image_cursor_image_length(r.get()))) return std::nullopt;
  const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(r.get());
  c.argb.assign(pixels, pixels + count);
  return c;
}

bool X11Display::suspendScreenSaver(bool suspend) {
  const auto* ext = xcb_get_extension_data(conn_, &xcb_screensaver_id);
  if (ext == nullptr || !ext->present) return false;
  const auto version =
      ownReply(xcb_screensaver_query_version_reply(conn_, xcb_screensaver_query_version(conn_, 1, 1), nullptr));
  if (version == nullptr) return false;
  // Suspend arrived in 1.1.
  const bool hasSuspend =
      version->server_major_version > 1 || (version->server_major_version == 1 && version->server_minor_version >= 1);
  if (!hasSuspend) return false;
  if (ownReply(xcb_request_check(conn_, xcb_screensaver_suspend_checked(conn_, suspend ? 1 : 0)))) return false;
  return !broken();
}

X11ScreenGrabber::X11ScreenGrabber(std::shared_ptr<X11Display> display) : display_(std::move(display)) {
  display_->requireBgrx();
}

X11ScreenGrabber::~X11ScreenGrabber() { detachSegment(); }

bool X11ScreenGrabber::attachSegment(size_t bytes) {
  const int shmid = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (shmid < 0) return false;
#if defined(__SANITIZE_THREAD__)
  // The thread sanitizer does not see shmat: a segment landing where a thread
  // stack used to be inherits that stack's history and every read of it looks
  // like a race. Attaching over a fresh anonymous mapping (which it does see)
  // gives the segment a clean history.
  void* fresh = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  void* addr = fresh == MAP_FAILED ? ::shmat(shmid, nullptr, 0) : ::shmat(shmid, fresh, SHM_REMAP);
  if (addr == reinterpret_cast<void*>(-1) && fresh != MAP_FAILED) ::munmap(fresh, bytes);
#else
  void* addr = ::shmat(shmid, nullptr, 0);
#endif
  if (addr == reinterpret_cast<void*>(-1)) {
    ::shmctl(shmid, IPC_RMID, nullptr);
    return false;
  }
  xcb_connection_t* conn = display_->connection();
  const uint32_t seg = xcb_generate_id(conn);
  const auto error = ownReply(xcb_request_check(conn, xcb_shm_attach_checked(conn, seg, uint32_t(shmid), 0)));
  // Marked for removal now: it goes away once both sides have detached, even if we crash.
  ::shmctl(shmid, IPC_RMID, nullptr);
  if (error != nullptr) {
    ::shmdt(addr);
    return false;
  }
  shmSeg_ = seg;
  shmAddr_ = addr;
  shmBytes_ = bytes;
  shmAttached_ = true;
  return true;
}

void X11ScreenGrabber::detachSegment() {
  if (!shmAttached_) return;
  if (!display_->broken()) {
    xcb_shm_detach(display_->connection(), shmSeg_);
    xcb_flush(display_->connection());
  }
  ::shmdt(shmAddr_);
  shmAttached_ = false;
  shmAddr_ = nullptr;
  shmBytes_ = 0;
}

X11Image X11ScreenGrabber::grab(int32_t x, int32_t y, int32_t width, int32_t height) {
  if (!fitsProtocol(x, y, width, height)) {
    throw X11Error(X11ErrorKind::requestFailed, "rectangle " + std::to_string(width) + "x" + std::to_string(height));
  }
  if (display_->broken()) throw X11Error(X11ErrorKind::connectionLost, display_->name());
  const size_t bytes = size_t(width) * size_t(height) * 4;
  if (display_->hasShm() && !shmRefused_ && bytes > shmBytes_) {
    detachSegment();
    // A remote server, or a container without SysV shared memory, refuses: use GetImage from then on.
    if (!attachSegment(bytes)) shmRefused_ = true;
  }
  if (!shmAttached_) return grabPlain(x, y, width, height);

  xcb_connection_t* conn = display_->connection();
  xcb_generic_error_t* error = nullptr;
  const auto r = ownReply(
      xcb_shm_get_image_reply(conn,
                              xcb_shm_get_image(conn, display_->root(), int16_t(x), int16_t(y), uint16_t(width),
                                                uint16_t(height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shmSeg_, 0),
                              &error));
  const auto errorOwner = ownReply(error);
  if (r == nullptr) {
    if (display_->broken()) throw X11Error(X11ErrorKind::connectionLost, display_->name());
    throw X11Error(X11ErrorKind::requestFailed, "ShmGetImage");
  }
  return X11Image{static_cast<uint8_t*>(shmAddr_), int64_t(width) * 4, width, height};
}

X11Image X11ScreenGrabber::grabPlain(int32_t x, int32_t y, int32_t width, int32_t height) {
  xcb_connection_t* conn = display_->connection();
  xcb_generic_error_t* error = nullptr;
  auto r = ownReply(xcb_get_image_reply(conn,
                                        xcb_get_image(conn, XCB_IMAGE_FORMAT_Z_PIXMAP, display_->root(), int16_t(x),
                                                      int16_t(y), uint16_t(width), uint16_t(height), ~0u),
                                        &error));
  const auto errorOwner = ownReply(error);
  if (r == nullptr) {
    if (display_->broken()) throw X11Error(X11ErrorKind::connectionLost, display_->name());
    throw X11Error(X11ErrorKind::requestFailed, "GetImage");
  }
  const size_t need = size_t(width) * size_t(height) * 4;
  if (size_t(xcb_get_image_data_length(r.get())) < need) {
    throw X11Error(X11ErrorKind::requestFailed, "GetImage short reply");
  }
  plainReply_ = std::move(r);
  return X11Image{xcb_get_image_data(plainReply_.get()), int64_t(width) * 4, width, height};
}

bool X11Rect::intersects(const X11Rect& o) const {
  if (width <= 0 || height <= 0 || o.width <= 0 || o.height <= 0) return false;
  return int64_t(x) < int64_t(o.x) + o.width && int64_t(o.x) < int64_t(x) + width &&
         int64_t(y) < int64_t(o.y) + o.height && int64_t(o.y) < int64_t(y) + height;
}

X11ScreenWatch::X11ScreenWatch(std::shared_ptr<X11Display> display) : display_(std::move(display)) {
  xcb_connection_t* conn = display_->connection();
  const xcb_window_t root = display_->root();
  if (display_->hasDamage()) {
    const uint32_t damage = xcb_generate_id(conn);
    // Bounding-box reports: few events, and each says where, so changes on
    // other monitors cost no grab.
    const auto error = ownReply(
        xcb_request_check(conn, xcb_damage_create_checked(conn, damage, root, XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX)));
    if (error == nullptr) damage_ = damage;
  }
  if (display_->hasXFixes()) {
    if (const auto* ext = xcb_get_extension_data(conn, &xcb_xfixes_id); ext != nullptr && ext->present) {
      const auto error = ownReply(xcb_request_check(
          conn, xcb_xfixes_select_cursor_input_checked(conn, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR)));
      watchesCursor_ = error == nullptr;
      xfixesFirstEvent_ = ext->first_event;
    }
  }
  if (const auto* ext = xcb_get_extension_data(conn, &xcb_input_id); ext != nullptr && ext->present) {
    const auto version =
        ownReply(xcb_input_xi_query_version_reply(conn, xcb_input_xi_query_version(conn, 2, 2), nullptr));
    if (version != nullptr && version->major_version >= 2) {
      struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
      } mask{{XCB_INPUT_DEVICE_ALL, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
      const auto error =
          ownReply(xcb_request_check(conn, xcb_input_xi_select_events_checked(conn, root, 1, &mask.head)));
      if (error == nullptr) xinputOpcode_ = ext->major_opcode;
    }
  }
  if (const auto* ext = xcb_get_extension_data(conn, &xcb_randr_id); ext != nullptr && ext->present) {
    const uint16_t masks = XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                           XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_RESOURCE_CHANGE;
    const auto error = ownReply(xcb_request_check(conn, xcb_randr_select_input_checked(conn, root, masks)));
    watchesLayout_ = error == nullptr;
    randrFirstEvent_ = ext->first_event;
  }
}

X11ScreenWatch::~X11ScreenWatch() {
  if (damage_ == 0 || display_->broken()) return;
  xcb_damage_destroy(display_->connection(), damage_);
  xcb_flush(display_->connection());
}

int X11ScreenWatch::fd() const { return xcb_get_file_descriptor(display_->connection()); }

X11ScreenEvents X11ScreenWatch::take() {
  xcb_connection_t* conn = display_->connection();
  X11ScreenEvents out;
  bool damaged = false;
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  while (const auto owned = ownReply(xcb_poll_for_event(conn))) {
    const xcb_generic_event_t* event = owned.get();
    const uint8_t type = event->response_type & 0x7f;
    if (damage_ != 0 && type == uint8_t(display_->damageFirstEvent() + XCB_DAMAGE_NOTIFY)) {
      const auto* notify = reinterpret_cast<const xcb_damage_notify_event_t*>(event);
      if (notify->damage == damage_ && notify->area.width > 0 && notify->area.height > 0) {
        const xcb_rectangle_t& a = notify->area;
        // The union's bounds: a change inside the bounds raised no event of its own.
        left = damaged ? std::min<int32_t>(left, a.x) : a.x;
        top = damaged ? std::min<int32_t>(top, a.y) : a.y;
        right = damaged ? std::max<int32_t>(right, a.x + a.width) : a.x + a.width;
        bottom = damaged ? std::max<int32_t>(bottom, a.y + a.height) : a.y + a.height;
        damaged = true;
      }
    } else if (watchesCursor_ && type == uint8_t(xfixesFirstEvent_ + XCB_XFIXES_CURSOR_NOTIFY)) {
      out.cursor = true;
    } else if (xinputOpcode_ != 0 && type == XCB_GE_GENERIC &&
               reinterpret_cast<const xcb_ge_generic_event_t*>(event)->extension == xinputOpcode_) {
      out.cursor = true;
    } else if (watchesLayout_ && (type == uint8_t(randrFirstEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) ||
                                  type == uint8_t(randrFirstEvent_ + XCB_RANDR_NOTIFY))) {
      out.layout = true;
    }
  }
  if (damaged) {
    out.damage = X11Rect{left, top, right - left, bottom - top};
    xcb_damage_subtract(conn, damage_, XCB_NONE, XCB_NONE);
    xcb_flush(conn);
  }
  return out;
}

void blendCursor(const X11Image& image, int32_t originX, int32_t originY, const X11CursorImage& cursor) {
  const int64_t left = int64_t(cursor.x) - cursor.xhot - originX;
  const int64_t top = int64_t(cursor.y) - cursor.yhot - originY;
  for (int32_t cy = 0; cy < cursor.height; ++cy) {
    const int64_t y = top + cy;
    if (y < 0 || y >= image.height) continue;
    uint8_t* row = image.data + y * image.bytesPerRow;
    for (int32_t cx = 0; cx < cursor.width; ++cx) {
      const int64_t x = left + cx;
      if (x < 0 || x >= image.width) continue;
      const uint32_t p = cursor.argb[size_t(cy) * size_t(cursor.width) + size_t(cx)];
      const uint32_t a = p >> 24;
      if (a == 0) continue;
      uint8_t* d = row + x * 4;
      // Premultiplied source over the screen.
      const uint32_t keep = 255 - a;
      d[0] = uint8_t(std::min<uint32_t>(255, (p & 0xff) + (d[0] * keep + 127) / 255));
      d[1] = uint8_t(std::min<uint32_t>(255, ((p >> 8) & 0xff) + (d[1] * keep + 127) / 255));
      d[2] = uint8_t(std::min<uint32_t>(255, ((p >> 16) & 0xff) + (d[2] * keep + 127) / 255));
    }
  }
}

}  // namespace lumenrail
