#include "ui/qt/DBusNotifier.hpp"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace lumenrail {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// The installed icon and desktop entry: the server shows our icon and groups
// the notices under the launcher.
const QString kDesktopEntry = QStringLiteral("lumenrail-host");

template <typename Reply, typename Handler>
void whenAnswered(const QDBusPendingCall& call, Handler handler) {
  auto* watcher = new QDBusPendingCallWatcher(call);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [handler = std::move(handler)](QDBusPendingCallWatcher* w) {
                     Reply reply = *w;
                     handler(reply);
                     w->deleteLater();
                   });
}

}  // namespace

DBusNotifier::DBusNotifier(QDBusConnection connection) : connection_(std::move(connection)) {}

std::shared_ptr<DBusNotifier> DBusNotifier::onSessionBus() {
  return std::make_shared<DBusNotifier>(QDBusConnection::sessionBus());
}

void DBusNotifier::authorize(std::function<void(bool, const std::string&)> done) {
  if (!connection_.isConnected()) {
    const QString why = connection_.lastError().message();
    done(false, "no session bus" + (why.isEmpty() ? std::string() : ": " + why.toStdString()));
    return;
  }
  auto message = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("GetCapabilities"));
  whenAnswered<QDBusPendingReply<QStringList>>(
      connection_.asyncCall(message, kCallTimeoutMs),
      [markup = bodyMarkup_, done = std::move(done)](const QDBusPendingReply<QStringList>& reply) {
        if (reply.isError()) {
          done(false, reply.error().message().toStdString());
          return;
        }
        *markup = reply.value().contains(QStringLiteral("body-markup"));
        done(true, {});
      });
}

void DBusNotifier::post(const Notification& notification, std::function<void(const std::string&)> done) {
  QString body = QString::fromStdString(notification.body);
  if (*bodyMarkup_) body = body.toHtmlEscaped();
  uint replaces = 0;
  if (const auto it = shown_->find(notification.id); !notification.id.empty() && it != shown_->end()) {
    replaces = it->second;
  }
  auto message = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
  message << QStringLiteral("Lumenrail") << replaces << kDesktopEntry << QString::fromStdString(notification.title)
          << body << QStringList() << QVariantMap{{QStringLiteral("desktop-entry"), kDesktopEntry}} << -1;
  whenAnswered<QDBusPendingReply<uint>>(
      connection_.asyncCall(message, kCallTimeoutMs),
      [shown = shown_, id = notification.id, done = std::move(done)](const QDBusPendingReply<uint>& reply) {
        if (!reply.isError() && !id.empty()) (*shown)[id] = reply.value();
        done(reply.isError() ? reply.error().message().toStdString() : "");
      });
}

}  // namespace lumenrail
