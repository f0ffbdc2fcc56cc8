#include "trayapp/TrayAnnouncement.hpp"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

#include <QGuiApplication>
#include <QTimer>
#include <qguiapplication_platform.h>

namespace lumenrail {

namespace {

uint32_t internAtom(xcb_connection_t* c, const std::string& name) {
  auto* reply =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
  const uint32_t atom = reply ? reply->atom : 0;
  std::free(reply);
  return atom;
}

}  // namespace

TrayAnnouncement::TrayAnnouncement(std::function<void()> onAnnounce) : onAnnounce_(std::move(onAnnounce)) {
  auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* c = x11 ? x11->connection() : nullptr;
  if (!c) return;
  manager_ = internAtom(c, "MANAGER");
  // The tray of the default screen, as Qt docks there.
  traySelection_ = internAtom(c, "_NET_SYSTEM_TRAY_S0");
  qApp->installNativeEventFilter(this);
  installed_ = true;
}

TrayAnnouncement::~TrayAnnouncement() {
  if (installed_ && qApp) qApp->removeNativeEventFilter(this);
}

bool TrayAnnouncement::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t" || manager_ == 0) return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return false;
  const auto* m = reinterpret_cast<const xcb_client_message_event_t*>(event);
  if (m->type != manager_ || m->format != 32 || m->data.data32[1] != traySelection_) return false;
  // After Qt has seen it too: its own icon docks first.
  QTimer::singleShot(0, qApp, [announce = onAnnounce_] {
    if (announce) announce();
  });
  return false;
}

}  // namespace lumenrail
