// What the window asks of the desktop: the file manager showing the archive's
// file, over a private session bus, and the switch for automatic backups.
#include "apptest.h"

#include "autostart.h"
#include "mztarchive.h"
#include "recorder_backup.h"

#include <QAction>
#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QUrl>

using namespace apptest;

namespace {

// The file manager's D-Bus face, recording what it was asked to show.
class FileManagerService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> shown;

public slots:
    void ShowItems(const QStringList& uris, const QString& startupId)
    {
        Q_UNUSED(startupId);
        shown << uris;
    }
};

} // namespace

class TestDesktop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            QSKIP("dbus-daemon is not installed (scripts/setup installs it)");
        bus.start(daemon,
                  {QStringLiteral("--session"), QStringLiteral("--nofork"),
                   QStringLiteral("--print-address")});
        QVERIFY(bus.waitForStarted() && bus.waitForReadyRead(10000));
        address = QString::fromUtf8(bus.readLine().trimmed());
        // Before anything in this process has reached for the session bus.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    }
    void init() { clearSettings(); }
    void cleanup() { sim::Bus::instance().uninstall(); }
    void cleanupTestCase()
    {
        bus.terminate();
        bus.waitForFinished();
    }

    void showInFolderAfterABackup();
    void automaticBackupsSwitch();

private:
    QProcess bus;
    QString address;
};

void TestDesktop::showInFolderAfterABackup()
{
    QDBusConnection connection =
        QDBusConnection::connectToBus(address, QStringLiteral("file manager"));
    QVERIFY(connection.isConnected());
    FileManagerService fileManager;
    QVERIFY(connection.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &fileManager,
                                      QDBusConnection::ExportAllSlots));
    QVERIFY(connection.registerService(QStringLiteral("org.freedesktop.FileManager1")));

    QTemporaryDir dir;
    useBackupFolder(dir.path());
    install({recorderWithFiles(2)});
    MainWindow w;
    auto* link = w.findChild<QLabel*>(QStringLiteral("showInFolderLink"));
    QVERIFY(link);
    // An archive that is in no file yet has nothing to show.
    QVERIFY(link->isHidden());
    QVERIFY(shownAndBackedUp(w, 3));
    const QString path = w.archive()->fileName();
    // The status line says where the backup went, folder and all.
    const QString status = w.statusBar()->currentMessage();
    QVERIFY2(
        status.contains(QFileInfo(path).fileName())
            && status.endsWith(QStringLiteral("Folder: ") + QDir::toNativeSeparators(dir.path())),
        qPrintable(status));
    QVERIFY(link->isVisible());
    emit link->linkActivated(QStringLiteral("show"));
    QTRY_COMPARE_WITH_TIMEOUT(fileManager.shown.size(), 1, 10000);
    QCOMPARE(fileManager.shown.first(), QStringList {QUrl::fromLocalFile(path).toString()});

    // The File menu does the same.
    auto* action = w.findChild<QAction*>(QStringLiteral("actionShowInFolder"));
    QVERIFY(action && w.ui()->menuFile->actions().contains(action));
    action->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(fileManager.shown.size(), 2, 10000);
    connection.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("file manager"));
}

void TestDesktop::automaticBackupsSwitch()
{
    QVERIFY(!desktop::autostartEnabled());
    // Switched on, the window backs the recorder up itself.
    QTemporaryDir folder;
    useBackupFolder(folder.path());
    install({recorderWithFiles(1)});
    MainWindow w;
    QVERIFY(waitSettled(w, 2));
    auto* automatic = w.findChild<QAction*>(QStringLiteral("actionAutomaticBackups"));
    QVERIFY(automatic && w.ui()->menuFile->actions().contains(automatic));
    QCOMPARE(automatic->text(), QStringLiteral("Back up recorders &automatically when plugged in"));
    // Off unless the user switched it on.
    QVERIFY(automatic->isCheckable() && !automatic->isChecked());

    automatic->trigger();
    QVERIFY(automatic->isChecked());
    QFile entry(desktop::autostartEntryPath());
    QVERIFY(entry.open(QIODevice::ReadOnly));
    const QByteArray text = entry.readAll();
    entry.close();
    QVERIFY2(text.contains("Exec=") && text.contains(" watch"), text.constData());
    QVERIFY(w.statusBar()->currentMessage().startsWith(
        QStringLiteral("Automatic backups are on, in this window and from the next login, into ")));
    {
        // A window opened later shows the switch as it was left.
        MainWindow later;
        QVERIFY(later.findChild<QAction*>(QStringLiteral("actionAutomaticBackups"))->isChecked());
    }

    automatic->trigger();
    QVERIFY(!automatic->isChecked());
    QVERIFY(!QFile::exists(desktop::autostartEntryPath()));
    QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral("Automatic backups are off."));
}

QTEST_MAIN(TestDesktop)
#include "tst_app_desktop.moc"
