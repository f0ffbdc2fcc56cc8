#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/CReply.hpp"

namespace lumenrail {

enum class X11ErrorKind : uint8_t { connectFailed, requestFailed, unsupportedVisual, connectionLost };

class X11Error : public std::exception {
 public:
  X11Error(X11ErrorKind kind, std::string detail);
  X11ErrorKind kind;
  std::string detail;
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// Every X connection of the process is opened and closed here.
// - One connect at a time: libXau keeps the authority file's name in a static
//   buffer, so two threads connecting at once race on it.
// - Open connections are listed, so a stop that cannot wait for a server that
//   does not answer can cut them: cutAll() shuts their sockets down, every call
//   blocked on one returns with a connection error, and later connects fail at
//   once. Nothing else is done to the connections; their owners close them.
namespace X11Connections {
// Like xcb_connect: never null, check xcb_connection_has_error(). `name` empty
// means $DISPLAY; `screen` may be null. A `timeoutNs` above 0 bounds the wait
// for a server that does not answer (then an error connection is returned).
xcb_connection_t* connect(const std::string& name, int* screen, uint64_t timeoutNs = 0);
// Null and error connections are fine.
void disconnect(xcb_connection_t* connection);
void cutAll();
bool cut();
}  // namespace X11Connections

// A display as the host sees it: one RandR monitor of the X screen. The id is
// the monitor's name atom, which the server keeps for as long as it runs, so
// an id stays valid while monitors come and go around it.
struct X11Monitor {
  uint32_t id = 0;
  std::string name;
  bool primary = false;
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool operator==(const X11Monitor&) const = default;
};

// A grabbed picture: 32 bits per pixel, bytes B, G, R and an undefined fourth.
// Writable so the cursor can be blended in place.
struct X11Image {
  uint8_t* data = nullptr;
  int64_t bytesPerRow = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// The cursor as XFixes reports it: premultiplied ARGB pixels, the pointer
// position on the root window and the hot spot.
struct X11CursorImage {
  int32_t x = 0;
  int32_t y = 0;
  int32_t xhot = 0;
  int32_t yhot = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint32_t serial = 0;
  std::vector<uint32_t> argb;
};

// One connection to an X server and the extensions the host uses on it.
// XCB is thread-safe for requests and replies; events are read by one
// consumer per connection (the damage watch of a capture).
class X11Display final {
 public:
  // `name` is ":N" (or empty for $DISPLAY). Throws X11Error(connectFailed).
  static std::shared_ptr<X11Display> open(const std::string& name);
  // Why no connection to `name` can be made, in the user's words (no server,
  // a refused cookie, no such screen), or nothing when one can. Waits at most
  // `timeoutNs` for the server. Meant for a start, before other threads
  // write to standard error: it takes what libxcb writes there meanwhile.
  static std::optional<std::string> whyUnreachable(const std::string& name, uint64_t timeoutNs);
  ~X11Display();
  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  xcb_connection_t* connection() const { return conn_; }
  xcb_window_t root() const { return root_; }
  const std::string& name() const { return name_; }
  bool broken() const { return xcb_connection_has_error(conn_) != 0; }

  bool hasShm() const { return hasShm_; }
  bool hasDamage() const { return hasDamage_; }
  bool hasXFixes() const { return hasXFixes_; }
  bool hasRandrMonitors() const { return hasRandrMonitors_; }
  uint8_t damageFirstEvent() const { return damageFirstEvent_; }

  // The root window's current size (RandR may change it while we run).
  std::pair<int32_t, int32_t> rootSize() const;
  // Queried afresh each time, so monitors added later are found. Without
  // RandR 1.5 the whole screen is one monitor named "screen".
  std::vector<X11Monitor> monitors() const;

  uint32_t internAtom(const std::string& atomName) const;
  // Remembered once known: an atom's name never changes while the server runs.
  std::string atomName(uint32_t atom) const;

  // Throws X11Error(unsupportedVisual) unless root pixels are 32-bit
  // little-endian BGRX, the only layout the grabber reads.
  void requireBgrx() const;

  // Current cursor, or nothing without XFixes or on an error.
  std::optional<X11CursorImage> cursor() const;

  // Suspends (or resumes) the screen saver and display power saving for as
  // long as this connection lives (MIT-SCREEN-SAVER). False without the
  // extension or when the server refused.
  bool suspendScreenSaver(bool suspend);

 private:
  X11Display() = default;
  std::string name_;
  xcb_connection_t* conn_ = nullptr;
  const xcb_setup_t* setup_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  xcb_window_t root_ = 0;
  bool hasShm_ = false;
  bool hasDamage_ = false;
  bool hasXFixes_ = false;
  bool hasRandrMonitors_ = false;
  uint8_t damageFirstEvent_ = 0;
  mutable std::mutex atomNamesMutex_;
  mutable std::unordered_map<uint32_t, std::string> atomNames_;
};

// Grabs rectangles of the root window: through a shared-memory segment
// where MIT-SHM works (local server), by plain GetImage otherwise.
class X11ScreenGrabber final {
 public:
  explicit X11ScreenGrabber(std::shared_ptr<X11Display> display);
  ~X11ScreenGrabber();
  X11ScreenGrabber(const X11ScreenGrabber&) = delete;
  X11ScreenGrabber& operator=(const X11ScreenGrabber&) = delete;

  // Valid until the next grab. Throws X11Error(requestFailed) when the
  // rectangle is not on the screen and X11Error(connectionLost) when the
  // server is gone.
  X11Image grab(int32_t x, int32_t y, int32_t width, int32_t height);

  bool usingShm() const { return shmAttached_; }
  const std::shared_ptr<X11Display>& display() const { return display_; }

 private:
  bool attachSegment(size_t bytes);
  void detachSegment();
  X11Image grabPlain(int32_t x, int32_t y, int32_t width, int32_t height);

  std::shared_ptr<X11Display> display_;
  bool shmAttached_ = false;
  bool shmRefused_ = false;
  uint32_t shmSeg_ = 0;
  void* shmAddr_ = nullptr;
  size_t shmBytes_ = 0;
  CReply<xcb_get_image_reply_t> plainReply_;
};

// A root-window rectangle in screen coordinates.
struct X11Rect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool intersects(const X11Rect& other) const;
  bool operator==(const X11Rect&) const = default;
};

// What a capture's connection reported since the last look.
struct X11ScreenEvents {
  std::optional<X11Rect> damage;  // bounds of the root window's damage
  bool cursor = false;            // the pointer moved or its image changed
  bool layout = false;            // RandR: screen size, CRTCs, outputs or monitors changed
};

// The events a screen capture waits on: DAMAGE on the root window, XFixes
// cursor changes, XInput 2 raw pointer motion (the only motion events the
// root sees whatever window is under the pointer) and RandR configuration
// changes. It reads the connection's events, so the connection must serve
// one thread only: the one that waits here.
class X11ScreenWatch final {
 public:
  explicit X11ScreenWatch(std::shared_ptr<X11Display> display);
  ~X11ScreenWatch();
  X11ScreenWatch(const X11ScreenWatch&) = delete;
  X11ScreenWatch& operator=(const X11ScreenWatch&) = delete;

  // Without DAMAGE a change can only be found by looking.
  bool reportsDamage() const { return damage_ != 0; }
  // Without XInput 2 the pointer's position can only be found by asking.
  bool reportsMotion() const { return xinputOpcode_ != 0; }
  // Readable when events wait; look with take() before waiting on it, since
  // replies read on this connection may have queued events already.
  int fd() const;

  // Never blocks. The damage reported is cleared on the server, so a change
  // made after this call is reported again.
  X11ScreenEvents take();

 private:
  std::shared_ptr<X11Display> display_;
  uint32_t damage_ = 0;
  uint8_t xfixesFirstEvent_ = 0;
  uint8_t randrFirstEvent_ = 0;
  bool watchesCursor_ = false;
  bool watchesLayout_ = false;
  uint8_t xinputOpcode_ = 0;
};

// Blends `cursor` into a BGRX picture that shows the root rectangle at
// (originX, originY).
void blendCursor(const X11Image& image, int32_t originX, int32_t originY, const X11CursorImage& cursor);

}  // namespace lumenrail
