// Connection notices through a real notification server of our own on a
// private session bus: what arrives, and the refusals without a server or a bus.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QVariantMap>

#include "app/controller/ConnectNoticePoster.hpp"
#include "support/PrivateSessionBus.hpp"
#include "support/QtWaiting.hpp"
#include "text/L10n.hpp"
#include "ui/qt/DBusNotifier.hpp"

namespace lumenrail {

// The server side of org.freedesktop.Notifications, recording each notice.
class TinyNotificationServer : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Received {
    QString app;
    uint replaces;
    QString icon;
    QVariantMap hints;
    QString summary;
    QString body;
    int timeout;
  };
  std::vector<Received> received;

 public slots:
  QStringList GetCapabilities() { return {QStringLiteral("body")}; }
  uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
              const QStringList&, const QVariantMap& hints, int timeout) {
    received.push_back({app, replaces, icon, hints, summary, body, timeout});
    return replaces != 0 ? replaces : static_cast<uint>(received.size()) + 40;
  }
  void CloseNotification(uint) {}
};

namespace {

using test::spinUntil;

TEST(DBusNotifierIntegration, NoticesArriveAtTheServerAndRefusalsAreLogged) {
  test::PrivateSessionBus bus;
  if (!bus.running()) GTEST_SKIP() << bus.whyNot();
  const QString address = QString::fromStdString(bus.address());
  QDBusConnection serverSide = QDBusConnection::connectToBus(address, QStringLiteral("lr-notice-server"));
  QDBusConnection clientSide = QDBusConnection::connectToBus(address, QStringLiteral("lr-notice-client"));
  ASSERT_TRUE(serverSide.isConnected() && clientSide.isConnected());
  TinyNotificationServer server;
  ASSERT_TRUE(serverSide.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                        QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(serverSide.registerService(QStringLiteral("org.freedesktop.Notifications")));

  std::vector<std::string> lines;
  ConnectNoticePoster poster(std::make_shared<DBusNotifier>(clientSide), true, uptimeNs,
                             [&](const std::string& l) { lines.push_back(l); });
  poster.sessionNamed("Tab", true, ConnectNotice::always);
  ASSERT_TRUE(spinUntil([&] { return !lines.empty(); }));
  EXPECT_EQ(lines, std::vector<std::string>{"[notice] posted: Tab connected over Wi-Fi"});
  ASSERT_EQ(server.received.size(), 1u);
  EXPECT_EQ(server.received[0].app, "Lumenrail");
  EXPECT_EQ(server.received[0].replaces, 0u);
  EXPECT_EQ(server.received[0].summary, "Lumenrail");
  EXPECT_EQ(server.received[0].body.toStdString(), L10n::text("notice.connected.wifi", "Tab"));
  EXPECT_EQ(server.received[0].timeout, -1);
  EXPECT_EQ(server.received[0].icon, "lumenrail-host");
  EXPECT_EQ(server.received[0].hints.value("desktop-entry").toString(), "lumenrail-host");

  // The same id again (a failed start tried again) replaces the notice shown;
  // another id gets one of its own.
  DBusNotifier direct(clientSide);
  int answered = 0;
  for (const char* id : {"lumenrail.startFailed", "lumenrail.startFailed", "other"}) {
    direct.post({id, "Could not start", "busy"}, [&](const std::string& error) {
      EXPECT_EQ(error, "");
      ++answered;
    });
    const int want = answered + 1;
    ASSERT_TRUE(spinUntil([&] { return answered == want; }));
  }
  ASSERT_EQ(server.received.size(), 4u);
  EXPECT_EQ(server.received[1].replaces, 0u);
  EXPECT_EQ(server.received[2].replaces, 42u);
  EXPECT_EQ(server.received[3].replaces, 0u);

  // The server leaves the bus: the next notice is refused with the bus's reason.
  ASSERT_TRUE(serverSide.unregisterService(QStringLiteral("org.freedesktop.Notifications")));
  lines.clear();
  poster.sessionNamed("Pad", false, ConnectNotice::always);
  ASSERT_TRUE(spinUntil([&] { return !lines.empty(); }));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[notice] Notification Center refused (", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("org.freedesktop.Notifications"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].size() - 15), "): Pad over USB") << lines[0];
  EXPECT_EQ(server.received.size(), 4u);

  // No bus at all: refused at once, nothing waits.
  lines.clear();
  ConnectNoticePoster busless(std::make_shared<DBusNotifier>(QDBusConnection::connectToBus(
                                  QStringLiteral("unix:path=/nonexistent/lumenrail-bus"), QStringLiteral("lr-none"))),
                              true, uptimeNs, [&](const std::string& l) { lines.push_back(l); });
  busless.sessionNamed("Pad", true, ConnectNotice::always);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[notice] Notification Center refused (no session bus", 0), 0u) << lines[0];

  QDBusConnection::disconnectFromBus(QStringLiteral("lr-notice-server"));
  QDBusConnection::disconnectFromBus(QStringLiteral("lr-notice-client"));
  QDBusConnection::disconnectFromBus(QStringLiteral("lr-none"));
}

}  // namespace
}  // namespace lumenrail

#include "DBusNotifierTest.moc"
