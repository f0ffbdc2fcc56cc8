#include "trayapp/TrayAnnouncement.hpp"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

#include <QGuiApplication>
#include <QTimer>
#include <qguiapplication_platform.h>

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

TrayAnnouncement::TrayAnnouncement(std::function<void()> onAnnounce, std::function<void()> onGone)
    : onAnnounce_(std::move(onAnnounce)), onGone_(std::move(onGone)) {
  auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* c = x11 ? x11->connection() : nullptr;
  if (!c) return;
  manager_ = internAtom(c, "MANAGER");
  // The tray of the default screen, as Qt docks there.
  traySelection_ = internAtom(c, "_NET_SYSTEM_TRAY_S0");
  connection_ = c;
  const auto owner = ownReply(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, traySelection_), nullptr));
  if (owner) watchOwner(owner->owner);
  qApp->installNativeEventFilter(this);
  installed_ = true;
}

void TrayAnnouncement::watchOwner(uint32_t owner) {
  owner_ = owner;
  if (owner_ == 0) return;
  // Its destruction is what tells that the tray is gone.
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  auto* c = static_cast<xcb_connection_t*>(connection_);
  xcb_change_window_attributes(c, owner_, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c);
}

TrayAnnouncement::~TrayAnnouncement() {
  if (installed_ && qApp) qApp->removeNativeEventFilter(this);
}

bool TrayAnnouncement::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t" || manager_ == 0) return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7f) == XCB_DESTROY_NOTIFY) {
    const auto* d = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
    if (owner_ == 0 || d->window != owner_) return false;
    owner_ = 0;
    QTimer::singleShot(0, qApp, [gone = onGone_] {
      if (gone) gone();
    });
    return false;
  }
  if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return false;
  const auto* m = reinterpret_cast<const xcb_client_message_event_t*>(event);
  if (m->type != manager_ || m->format != 32 || m->data.data32[1] != traySelection_) return false;
  watchOwner(m->data.data32[2]);
  // After Qt has seen it too: its own icon docks first.
  QTimer::singleShot(0, qApp, [announce = onAnnounce_] {
    if (announce) announce();
  });
  return false;
}

}  // namespace lumenrail
