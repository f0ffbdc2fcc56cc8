#include "trayapp/TrayAnnouncement.hpp"

#include <QGuiApplication>
#include <QTimer>
#include <qguiapplication_platform.h>

#include "desktop/x11/XEmbedTrayWatch.hpp"

namespace lumenrail {

TrayAnnouncement::TrayAnnouncement(std::function<void()> onAnnounce, std::function<void()> onGone)
    : onAnnounce_(std::move(onAnnounce)), onGone_(std::move(onGone)) {
  auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* c = x11 ? x11->connection() : nullptr;
  if (!c) return;
  tray_ = std::make_unique<XEmbedTrayWatch>(c);
  qApp->installNativeEventFilter(this);
  installed_ = true;
}

TrayAnnouncement::~TrayAnnouncement() {
  if (installed_ && qApp) qApp->removeNativeEventFilter(this);
}

bool TrayAnnouncement::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t" || !tray_) return false;
  switch (tray_->hear(message)) {
    case XEmbedTrayWatch::Heard::gone:
      QTimer::singleShot(0, qApp, [gone = onGone_] {
        if (gone) gone();
      });
      break;
    case XEmbedTrayWatch::Heard::announced:
      // After Qt has seen it too: its own icon docks first.
      QTimer::singleShot(0, qApp, [announce = onAnnounce_] {
        if (announce) announce();
      });
      break;
    case XEmbedTrayWatch::Heard::nothing:
      break;
  }
  return false;
}

}  // namespace lumenrail
