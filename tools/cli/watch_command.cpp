// watch: the automatic backups from the command line, run at login by the
// autostart entry that --enable installs. Recorders are backed up on a
// thread of their own; this thread waits in the event loop for plug-ins,
// the backups' events and the end.
#include "cli.h"

#include "auto_backup.h"
#include "autostart.h"
#include "clilog.h"
#include "notifier.h"
#include "plug_monitor.h"
#include "recorder_backup.h"
#include "yielding.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

namespace cli {

namespace {

const char* eventKey(autobackup::Event::Kind kind)
{
    using Kind = autobackup::Event::Kind;
    switch (kind) {
    case Kind::Started:
        return "started";
    case Kind::BackedUp:
        return "backedUp";
    case Kind::Unchanged:
        return "unchanged";
    case Kind::Failed:
        return "failed";
    case Kind::Gone:
        return "gone";
    case Kind::Yielded:
        return "yielded";
    case Kind::InUse:
        return "inUse";
    case Kind::Interrupted:
        return "interrupted";
    case Kind::Pruned:
        return "pruned";
    case Kind::Unplugged:
        return "unplugged";
    }
    return "";
}

QString timeText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QJsonObject eventJson(const autobackup::Event& e)
{
    using Kind = autobackup::Event::Kind;
    QJsonObject object {
        {QStringLiteral("time"), QDateTime::currentDateTime().toString(Qt::ISODate)},
        {QStringLiteral("event"), QLatin1String(eventKey(e.kind))},
        {QStringLiteral("recorder"), e.recorder},
        {QStringLiteral("serial"), e.identity.serial},
        {QStringLiteral("place"), e.identity.place}};
    if (!e.path.isEmpty())
        object.insert(QStringLiteral("path"), e.path);
    if (!e.reason.isEmpty())
        object.insert(QStringLiteral("reason"), e.reason);
    if (e.kind == Kind::BackedUp) {
        object.insert(QStringLiteral("files"), e.files);
        object.insert(QStringLiteral("changed"), e.changed);
        object.insert(QStringLiteral("first"), e.first);
    }
    if (e.kind == Kind::Unchanged)
        object.insert(QStringLiteral("since"), e.since.toString(Qt::ISODate));
    if (e.kind == Kind::Pruned) {
        object.insert(QStringLiteral("removed"), QJsonArray::fromStringList(e.removed));
        object.insert(QStringLiteral("notRemoved"), QJsonArray::fromStringList(e.notRemoved));
    }
    return object;
}

} // namespace

int Cli::switchAutostart()
{
    if (!m_options.folder.isEmpty() || m_options.keep > 0)
        return m_terminal.fail(ExitUsage,
                               QStringLiteral("--enable and --disable take nothing else; the "
                                              "entry runs `mzt500-cli watch` (see --help)."));
    QString error;
    if (m_options.enable) {
        if (!desktop::enableAutostart(QCoreApplication::applicationFilePath(), &error))
            return m_terminal.fail(ExitFailed,
                                   QStringLiteral("The autostart entry %1 could not be written: "
                                                  "%2.")
                                       .arg(desktop::autostartEntryPath(), error));
        m_terminal.report(
            QStringLiteral("Automatic backups switched on: `mzt500-cli watch` starts at every "
                           "login (%1).")
                .arg(desktop::autostartEntryPath()));
        return ExitOk;
    }
    bool wasEnabled = false;
    if (!desktop::disableAutostart(&wasEnabled, &error))
        return m_terminal.fail(ExitFailed,
                               QStringLiteral("The autostart entry %1 could not be removed: %2.")
                                   .arg(desktop::autostartEntryPath(), error));
    m_terminal.report(wasEnabled ? QStringLiteral("Automatic backups switched off: %1 removed. "
                                                  "A watch running now goes on until it is "
                                                  "ended.")
                                       .arg(desktop::autostartEntryPath())
                                 : QStringLiteral("Automatic backups were not switched on."));
    return ExitOk;
}

int Cli::watch()
{
    if (m_options.enable || m_options.disable)
        return switchAutostart();
    // A folder that cannot take backups is said now, not at every plug-in.
    const QString folder = m_options.folder.isEmpty() ? backup::windowFolder() : m_options.folder;
    if (const QString problem = backup::folderProblem(folder); !problem.isEmpty())
        return m_terminal.fail(ExitFailed,
                               QStringLiteral("Backups cannot be saved in the folder %1: %2.")
                                   .arg(QDir::toNativeSeparators(folder), problem));

    const auto printEvent = [this](const QJsonObject& json, const QString& text) {
        if (m_options.json)
            m_terminal.print(QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)));
        else
            m_terminal.print(timeText() + QStringLiteral("  ") + text);
    };
    printEvent(
        QJsonObject {{QStringLiteral("time"), QDateTime::currentDateTime().toString(Qt::ISODate)},
                     {QStringLiteral("event"), QStringLiteral("watching")},
                     {QStringLiteral("folder"), folder}},
        QStringLiteral("watching for recorders; backups go to %1")
            .arg(QDir::toNativeSeparators(folder)));

    desktop::Notifier notifier(QStringLiteral("MZT-500 Data Backup Tool"));
    QThread thread;
    thread.setObjectName(QStringLiteral("auto backup"));
    auto* watcher = new autobackup::Watcher({m_options.folder, m_options.keep});
    watcher->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, watcher, &QObject::deleteLater);
    QObject::connect(
        watcher, &autobackup::Watcher::event, &notifier,
        [&](const autobackup::Event& e) {
            printEvent(eventJson(e), e.text());
            qCInfo(lcCli).noquote() << e.text();
            if (const QString summary = e.notificationText(); !summary.isEmpty())
                notifier.notify(summary,
                                QDir::toNativeSeparators(e.kind == autobackup::Event::Kind::BackedUp
                                                             ? e.path
                                                             : QString()));
        },
        Qt::QueuedConnection);
    // The watcher holds its recorders yielding; a program that takes one
    // stops the backup in progress at once.
    d2xx::setTakenCallback([watcher](const std::string&) { watcher->yieldRecorder(); });
    d2xx::PlugMonitor monitor;
    QObject::connect(&monitor, &d2xx::PlugMonitor::devicesChanged, watcher,
                     &autobackup::Watcher::devicesChanged, Qt::QueuedConnection);
    monitor.start();
    thread.start();
    // Recorders plugged in before the start count as plugged in now.
    QMetaObject::invokeMethod(watcher, &autobackup::Watcher::devicesChanged, Qt::QueuedConnection);

    signalEndsEventLoop = true;
    if (!interrupted)
        QCoreApplication::exec();
    signalEndsEventLoop = false;

    // A backup in progress stops at once and saves nothing; its last event
    // is still printed.
    monitor.stop();
    d2xx::setTakenCallback({});
    watcher->stop();
    thread.quit();
    thread.wait();
    QCoreApplication::sendPostedEvents();
    printEvent(
        QJsonObject {{QStringLiteral("time"), QDateTime::currentDateTime().toString(Qt::ISODate)},
                     {QStringLiteral("event"), QStringLiteral("stopped")}},
        QStringLiteral("stopped"));
    return ExitOk;
}

} // namespace cli
