#include "notifier.h"

#include "desktoplog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

Q_LOGGING_CATEGORY(lcDesktop, "mzt.desktop")

namespace desktop {

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
// The service's own default for how long a notification stays.
constexpr int ServiceDefaultTimeout = -1;

} // namespace

Notifier::Notifier(const QString& appName, QObject* parent)
    : QObject(parent)
    , m_appName(appName)
{
}

void Notifier::notify(const QString& summary, const QString& body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        const QString reason = bus.lastError().message().isEmpty()
            ? QStringLiteral("no session bus")
            : bus.lastError().message();
        qCInfo(lcDesktop).noquote() << "not shown (" + reason + "):" << summary;
        emit answered(summary, reason);
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(Service, Path, Service, QStringLiteral("Notify"));
    call << m_appName << uint(0) << QStringLiteral("com.korvant.MZT500Backup") << summary << body
         << QStringList() << QVariantMap() << ServiceDefaultTimeout;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, summary](QDBusPendingCallWatcher* done) {
                const QDBusPendingReply<uint> reply = *done;
                done->deleteLater();
                const QString error = reply.isError() ? reply.error().message() : QString();
                if (!error.isEmpty())
                    qCInfo(lcDesktop).noquote() << "not shown (" + error + "):" << summary;
                emit answered(summary, error);
            });
}

} // namespace desktop
