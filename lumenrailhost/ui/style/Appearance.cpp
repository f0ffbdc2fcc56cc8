#include "ui/style/Appearance.hpp"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QEvent>
#include <QPalette>

#include "ui/style/HostStyle.hpp"

namespace lumenrail {

namespace {

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kSettingsInterface = "org.freedesktop.portal.Settings";

// The portal's values: 1 prefers dark, 2 prefers light, 0 states nothing.
std::optional<AppearanceKind> fromPortal(uint value) {
  if (value == 1) return AppearanceKind::dark;
  if (value == 2) return AppearanceKind::light;
  return std::nullopt;
}

// "Read" wraps the value in one variant more than the setting itself.
uint unwrap(QVariant v) {
  while (v.canConvert<QDBusVariant>() && v.userType() == qMetaTypeId<QDBusVariant>()) {
    v = v.value<QDBusVariant>().variant();
  }
  return v.toUInt();
}

// Dialogs (confirmations, rename, alerts) and menus draw with the application
// palette: when the portal's choice differs from it, it becomes the kit's.
void paletteFollows(AppearanceKind kind) {
  if (!qApp || Appearance::fromWindowLightness(QApplication::palette().color(QPalette::Window).lightness()) == kind) {
    return;
  }
  QApplication::setPalette(Appearance::kitPalette(kind));
}

}  // namespace

QPalette Appearance::kitPalette(AppearanceKind kind) {
  using HostStyle::Role;
  auto c = [kind](Role role) { return HostStyle::color(role, kind); };
  QPalette p(c(Role::bgRaised), c(Role::bg));
  p.setColor(QPalette::Window, c(Role::bg));
  p.setColor(QPalette::WindowText, c(Role::text));
  p.setColor(QPalette::Base, c(Role::bgInset));
  p.setColor(QPalette::AlternateBase, c(Role::bgRaised));
  p.setColor(QPalette::Text, c(Role::text));
  p.setColor(QPalette::Button, c(Role::bgRaised));
  p.setColor(QPalette::ButtonText, c(Role::text));
  p.setColor(QPalette::ToolTipBase, c(Role::bgRaised));
  p.setColor(QPalette::ToolTipText, c(Role::text));
  p.setColor(QPalette::PlaceholderText, c(Role::textDim));
  p.setColor(QPalette::Highlight, c(Role::accent));
  p.setColor(QPalette::HighlightedText, c(Role::accentInk));
  p.setColor(QPalette::Link, c(Role::accent));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    p.setColor(QPalette::Disabled, role, c(Role::textDim));
  }
  // No etched shadow under disabled text.
  p.setColor(QPalette::Disabled, QPalette::Light, Qt::transparent);
  return p;
}

Appearance& Appearance::instance() {
  static Appearance* shared = new Appearance();  // lives as long as the process
  return *shared;
}

void Appearance::pin(AppearanceKind kind) {
  following_ = false;
  set(kind);
}

void Appearance::followDesktop() { followDesktop(QDBusConnection::sessionBus()); }

void Appearance::followDesktop(const QDBusConnection& bus) {
  if (!qApp) return;
  if (following_ && bus_ && bus_->name() == bus.name()) return;
  following_ = true;
  portalAnswered_ = false;
  if (!watching_) {
    watching_ = true;
    qApp->installEventFilter(this);
  }
  if (!bus_ || bus_->name() != bus.name()) {
    if (bus_) {
      bus_->disconnect(kPortalService, kPortalPath, kSettingsInterface, "SettingChanged", this,
                       SLOT(portalSettingChanged(QDBusMessage)));
    }
    bus_ = bus;
    // A slot taking the message: one with a QDBusVariant argument is refused
    // by Qt's signature check, and then nothing was ever subscribed.
    bus_->connect(kPortalService, kPortalPath, kSettingsInterface, "SettingChanged", this,
                  SLOT(portalSettingChanged(QDBusMessage)));
  }
  readPalette();
  askPortal();
}

void Appearance::set(AppearanceKind kind) {
  if (kind == kind_) return;
  kind_ = kind;
  emit changed(kind);
}

void Appearance::readPalette() {
  if (!following_ || portalAnswered_ || !qApp) return;
  set(fromWindowLightness(QApplication::palette().color(QPalette::Window).lightness()));
}

void Appearance::askPortal() {
  if (!bus_ || !bus_->isConnected()) return;
  QDBusConnection& bus = *bus_;
  QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kSettingsInterface, "Read");
  call << QString("org.freedesktop.appearance") << QString("color-scheme");
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 2000), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    const QDBusPendingReply<QVariant> reply = *w;
    if (!following_ || reply.isError()) return;
    if (const auto kind = fromPortal(unwrap(reply.value()))) {
      portalAnswered_ = true;
      set(*kind);
      paletteFollows(*kind);
    }
  });
}

void Appearance::portalSettingChanged(const QDBusMessage& message) {
  const QList<QVariant> args = message.arguments();
  if (!following_ || args.size() != 3) return;
  if (args[0].toString() != "org.freedesktop.appearance" || args[1].toString() != "color-scheme") return;
  if (const auto kind = fromPortal(unwrap(args[2]))) {
    portalAnswered_ = true;
    set(*kind);
    paletteFollows(*kind);
  }
}

bool Appearance::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) readPalette();
  return QObject::eventFilter(watched, event);
}

}  // namespace lumenrail
