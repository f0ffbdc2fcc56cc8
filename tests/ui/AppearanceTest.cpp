// The appearance follows a desktop portal of our own on a private session
// bus: its first answer, then each SettingChanged, repaints a shown window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QEvent>
#include <QObject>

#include "support/PrivateSessionBus.hpp"
#include "support/QtWaiting.hpp"
#include "ui/components/HostCard.hpp"
#include "ui/style/HostStyle.hpp"

namespace lumenrail {

// The portal's settings interface: one value, changed on demand.
class TinyPortal : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

 public:
  explicit TinyPortal(QDBusConnection bus) : bus_(std::move(bus)) {}
  uint scheme = 1;

  void change(uint value) {
    scheme = value;
    auto signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                             QStringLiteral("org.freedesktop.portal.Settings"),
                                             QStringLiteral("SettingChanged"));
    signal << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
           << QVariant::fromValue(QDBusVariant(value));
    bus_.send(signal);
  }

 public slots:
  QDBusVariant Read(const QString& group, const QString& key) {
    if (group != "org.freedesktop.appearance" || key != "color-scheme") return QDBusVariant(QVariant(0u));
    // "Read" answers the value inside one variant more.
    return QDBusVariant(QVariant::fromValue(QDBusVariant(scheme)));
  }

 private:
  QDBusConnection bus_;
};

namespace {

class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return QObject::eventFilter(watched, event);
  }
};

using test::spinUntil;

TEST(AppearanceIntegration, PortalSettingChangedRecoloursAndRepaintsWindows) {
  test::PrivateSessionBus bus;
  if (!bus.running()) GTEST_SKIP() << bus.whyNot();
  const QString address = QString::fromStdString(bus.address());
  QDBusConnection portalSide = QDBusConnection::connectToBus(address, QStringLiteral("lr-portal"));
  QDBusConnection appSide = QDBusConnection::connectToBus(address, QStringLiteral("lr-portal-app"));
  ASSERT_TRUE(portalSide.isConnected() && appSide.isConnected());
  TinyPortal portal(portalSide);
  ASSERT_TRUE(portalSide.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                                        QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(portalSide.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));

  const QPalette original = QApplication::palette();
  Appearance::instance().pin(AppearanceKind::light);
  HostCard card;
  card.resize(120, 60);
  card.show();
  PaintCounter counter;
  card.installEventFilter(&counter);
  const auto middle = [&card] { return card.grab().toImage().pixelColor(60, 30).rgb() & 0xFFFFFF; };

  Appearance::instance().followDesktop(appSide);
  ASSERT_TRUE(spinUntil([] { return Appearance::isDark(); }));
  EXPECT_EQ(middle(), 0x1F1C22u);
  // Dialogs and menus draw with the application palette: it turned too.
  EXPECT_EQ(QApplication::palette().color(QPalette::Window).rgb() & 0xFFFFFF, 0x151218u);

  for (const auto& [value, dark] : std::vector<std::pair<uint, bool>>{{2, false}, {0, false}, {1, true}}) {
    const int before = counter.paints;
    portal.change(value);
    if (value == 0) {
      // "No preference" leaves it where it was: the next change still lands.
      continue;
    }
    ASSERT_TRUE(spinUntil([&] { return Appearance::isDark() == dark && counter.paints > before; })) << value;
    EXPECT_EQ(middle(), dark ? 0x1F1C22u : 0xFFFFFFu) << value;
    EXPECT_EQ(QApplication::palette().color(QPalette::Window).rgb() & 0xFFFFFF, dark ? 0x151218u : 0xFCF4FCu);
  }

  Appearance::instance().pin(AppearanceKind::light);
  QApplication::setPalette(original);
  QDBusConnection::disconnectFromBus(QStringLiteral("lr-portal"));
  QDBusConnection::disconnectFromBus(QStringLiteral("lr-portal-app"));
}

}  // namespace
}  // namespace lumenrail

#include "AppearanceTest.moc"
