#include "filemanager.h"

#include "desktoplog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QUrl>

namespace desktop {

void showInFileManager(const QString& path, QObject* context,
                       const std::function<void(bool shown)>& shown)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCDebug(lcDesktop) << "no session bus to show" << path;
        QMetaObject::invokeMethod(
            context, [shown] { shown(false); }, Qt::QueuedConnection);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList {QUrl::fromLocalFile(path).toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, shown, path] {
        const bool ok = !watcher->isError();
        if (!ok)
            qCDebug(lcDesktop) << "the file manager did not show" << path << ":"
                               << watcher->error().message();
        watcher->deleteLater();
        shown(ok);
    });
}

} // namespace desktop
