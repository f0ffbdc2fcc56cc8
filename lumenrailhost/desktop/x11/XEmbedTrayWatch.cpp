#include "desktop/x11/XEmbedTrayWatch.hpp"

#include <xcb/xcb.h>

#include <string>

#include "platform/CReply.hpp"

namespace lumenrail {

namespace {

uint32_t internAtom(xcb_connection_t* c, const std::string& name) {
  const auto reply = ownReply(
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
  const uint32_t atom = reply ? reply->atom : 0;
  return atom;
}

}  // namespace

XEmbedTrayWatch::XEmbedTrayWatch(xcb_connection_t* c) {
  if (!c) return;
  manager_ = internAtom(c, "MANAGER");
  // The tray of the default screen, as Qt docks there.
  traySelection_ = internAtom(c, "_NET_SYSTEM_TRAY_S0");
  connection_ = c;
  const auto owner = ownReply(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, traySelection_), nullptr));
  if (owner) watchOwner(owner->owner);
}

void XEmbedTrayWatch::watchOwner(uint32_t owner) {
  owner_ = owner;
  if (owner_ == 0) return;
  // Its destruction is what tells that the tray is gone.
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(connection_, owner_, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(connection_);
}

XEmbedTrayWatch::Heard XEmbedTrayWatch::hear(const void* message) {
  if (manager_ == 0) return Heard::nothing;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7f) == XCB_DESTROY_NOTIFY) {
    const auto* d = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
    if (owner_ == 0 || d->window != owner_) return Heard::nothing;
    owner_ = 0;
    return Heard::gone;
  }
  if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return Heard::nothing;
  const auto* m = reinterpret_cast<const xcb_client_message_event_t*>(event);
  if (m->type != manager_ || m->format != 32 || m->data.data32[1] != traySelection_) return Heard::nothing;
  watchOwner(m->data.data32[2]);
  return Heard::announced;
}

}  // namespace lumenrail
