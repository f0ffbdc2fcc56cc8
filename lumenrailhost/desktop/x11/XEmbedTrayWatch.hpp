#pragma once

#include <cstdint>

struct xcb_connection_t;

namespace lumenrail {

// The freedesktop system tray of the default screen, as an XEmbed tray holds
// it on one X connection (the windows' own, so its icon docks through it):
// a tray that starts announces itself with a MANAGER message on the root
// window; the tray's window going means the tray quit or crashed.
class XEmbedTrayWatch final {
 public:
  enum class Heard : uint8_t { nothing, announced, gone };

  // Looks up the tray that runs now and watches its window; nothing is heard
  // on a null connection.
  explicit XEmbedTrayWatch(xcb_connection_t* connection);

  // What the X event `event` (an xcb_generic_event_t) says of the tray.
  Heard hear(const void* event);

 private:
  void watchOwner(uint32_t owner);

  xcb_connection_t* connection_ = nullptr;
  uint32_t owner_ = 0;
  uint32_t manager_ = 0;
  uint32_t traySelection_ = 0;
};

}  // namespace lumenrail
