#pragma once

// The process's light or dark appearance, which every palette colour
// resolves against. Qt 6.4 has no colour-scheme hint, so it is ours: the
// desktop portal's "color-scheme" where a portal answers, else the lightness
// of the application palette's window colour; re-read when the palette
// changes. The snapshot renderer pins it.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QPalette>

#include <optional>

namespace lumenrail {

enum class AppearanceKind { light, dark };

class Appearance final : public QObject {
  Q_OBJECT

 public:
  static Appearance& instance();

  static AppearanceKind current() { return instance().kind_; }
  static bool isDark() { return current() == AppearanceKind::dark; }

  // Pins the appearance (snapshots, tests); following the desktop stops.
  void pin(AppearanceKind kind);
  // Follows the desktop: asks the portal on `bus` without blocking, then
  // follows its changes; the palette decides until the portal answers.
  // Needs the application object.
  void followDesktop();
  void followDesktop(const QDBusConnection& bus);

  // The kit's colours as a Qt palette, for what the style draws (dialogs,
  // menus, fields): secondary text for disabled items.
  static QPalette kitPalette(AppearanceKind kind);
  static QPalette kitPalette() { return kitPalette(current()); }

  // A window colour this light or lighter reads as the light appearance.
  static AppearanceKind fromWindowLightness(int lightness) {
    return lightness < 128 ? AppearanceKind::dark : AppearanceKind::light;
  }

 signals:
  void changed(lumenrail::AppearanceKind kind);

 private slots:
  void portalSettingChanged(const QDBusMessage& message);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  Appearance() = default;
  void set(AppearanceKind kind);
  void readPalette();
  void askPortal();

  AppearanceKind kind_ = AppearanceKind::light;
  bool following_ = false;
  bool portalAnswered_ = false;
  bool watching_ = false;
  std::optional<QDBusConnection> bus_;
};

}  // namespace lumenrail
