#pragma once

// An XEmbed tray that starts announces itself with a MANAGER message on the
// root window (freedesktop system tray protocol); this filter hears it on the
// application's own X connection and runs `onAnnounce` on the main loop. The
// tray's window going (the tray quit or crashed) runs `onGone` the same way.
// Trays over D-Bus announce themselves by their bus name instead.

#include <functional>
#include <memory>

#include <QAbstractNativeEventFilter>

namespace lumenrail {

class XEmbedTrayWatch;

class TrayAnnouncement final : public QAbstractNativeEventFilter {
 public:
  // Installs itself on the running application; nothing off X11.
  TrayAnnouncement(std::function<void()> onAnnounce, std::function<void()> onGone);
  ~TrayAnnouncement() override;
  TrayAnnouncement(const TrayAnnouncement&) = delete;
  TrayAnnouncement& operator=(const TrayAnnouncement&) = delete;

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  std::function<void()> onAnnounce_;
  std::function<void()> onGone_;
  std::unique_ptr<XEmbedTrayWatch> tray_;  // its protocol, on the application's X connection
  bool installed_ = false;
};

}  // namespace lumenrail
