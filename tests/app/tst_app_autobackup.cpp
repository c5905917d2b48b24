// Automatic backups done by the window while it is open: recorders plugged
// in are backed up into the backup folder when their files changed, never
// in the way of the user's own commands, and not at all with the switch off.
#include "apptest.h"
#include "auto_backup.h"
#include "autostart.h"
#include "simbus.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStatusBar>
#include <QTemporaryDir>

using namespace apptest;

namespace {

constexpr int kGenerous = 30000;

// A backup folder of its own and a recorder KV000001 that is plugged in
// while a file exists.
struct PluggableRecorder {
    explicit PluggableRecorder(sim::DeviceConfig c)
    {
        useBackupFolder(folderDir.path());
        c.serial = "KV000001";
        c.presentWhile = plug().toStdString();
        recorder = install({c}).front();
    }
    QString folder() const { return folderDir.path(); }
    QString plug() const { return plugs.filePath(QStringLiteral("kv1")); }

    QTemporaryDir folderDir, plugs;
    std::shared_ptr<sim::Recorder> recorder;
};

bool touch(const QString& path)
{
    return QFile(path).open(QIODevice::WriteOnly);
}

QString statusLine(const MainWindow& w)
{
    return w.statusBar()->currentMessage();
}

QAction* automaticSwitch(const MainWindow& w)
{
    return w.findChild<QAction*>(QStringLiteral("actionAutomaticBackups"));
}

// Every file of the folder, hidden ones and temporary ones included.
QStringList everything(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

QStringList backups(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("*.mzt")}, QDir::Files, QDir::Name);
}

// While the window is idle and settled, whether anything is written for a
// while; a backup that would start does so at once.
bool nothingWrittenMeanwhile(MainWindow& w, const QString& folder)
{
    for (int i = 0; i < 50; ++i) {
        if (w.isBackingUpAutomatically() || !everything(folder).isEmpty())
            return false;
        QTest::qWait(20);
    }
    return true;
}

// What one look of the watcher at the recorders did.
QList<autobackup::Event::Kind> watcherLooks(autobackup::Watcher& watcher)
{
    QList<autobackup::Event::Kind> kinds;
    const QMetaObject::Connection seen =
        QObject::connect(&watcher, &autobackup::Watcher::event,
                         [&kinds](const autobackup::Event& event) { kinds << event.kind; });
    watcher.devicesChanged();
    QObject::disconnect(seen);
    return kinds;
}

} // namespace

class TestAutoBackup : public SimBusTest {
    Q_OBJECT

private slots:
    void init()
    {
        clearSettings();
        QFile::remove(desktop::autostartEntryPath());
    }

    // Plugged in: a first backup; plugged in again unchanged: none, and the
    // status line says since when; one file re-recorded: a new backup with
    // its new bytes. The archive the window shows stays the same.
    void backsUpWhatIsPluggedInWhenItChanged()
    {
        const PluggableRecorder rec(recorderWithFiles(2));
        const QString folder = rec.folder(), plug = rec.plug();
        MainWindow w;
        QVERIFY(waitSettled(w, 0));
        const QString shown = w.currentArchivePath();
        automaticSwitch(w)->trigger();
        QVERIFY(automaticSwitch(w)->isChecked());

        QVERIFY(touch(plug));
        QTRY_COMPARE_WITH_TIMEOUT(backups(folder).size(), 1, kGenerous);
        const QString first = QDir(folder).filePath(backups(folder).first());
        QTRY_VERIFY_WITH_TIMEOUT(!w.isBackingUpAutomatically(), kGenerous);
        const QString line = statusLine(w);
        QCOMPARE(line,
                 QStringLiteral("KV000001 backed up automatically: %1 in %2.")
                     .arg(QFileInfo(first).fileName(), QDir::toNativeSeparators(folder)));
        // The record header's memory size is the archive's own (rewritten
        // on every save); the recorded bytes after it are the recorder's.
        QCOMPARE(testcommon::archivedContent(first, 2).mid(16),
                 rec.recorder->file(2).value().mid(16));
        QCOMPARE(w.currentArchivePath(), shown);
        QVERIFY(w.ui()->archTable->rowCount() == 0);

        // Plugged in again as it was: compared, nothing new.
        QVERIFY(QFile::remove(plug));
        QTRY_COMPARE_WITH_TIMEOUT(statusLine(w), QStringLiteral("KV000001 was unplugged."),
                                  kGenerous);
        QVERIFY(touch(plug));
        QTRY_VERIFY_WITH_TIMEOUT(
            statusLine(w).startsWith(QStringLiteral("KV000001 is unchanged since ")), kGenerous);
        QCOMPARE(backups(folder).size(), 1);

        // One sequence re-recorded while it was away.
        QVERIFY(QFile::remove(plug));
        QTRY_COMPARE_WITH_TIMEOUT(statusLine(w), QStringLiteral("KV000001 was unplugged."),
                                  kGenerous);
        const QByteArray before = rec.recorder->file(1).value();
        const QByteArray recorded = sim::makeFile(2, 1, 6000, 2000);
        rec.recorder->putFile(2, recorded);
        QVERIFY(touch(plug));
        QTRY_COMPARE_WITH_TIMEOUT(backups(folder).size(), 2, kGenerous);
        QTRY_VERIFY_WITH_TIMEOUT(!w.isBackingUpAutomatically(), kGenerous);
        QStringList both = backups(folder);
        both.removeOne(QFileInfo(first).fileName());
        const QString second = QDir(folder).filePath(both.first());
        QCOMPARE(testcommon::archivedContent(second, 2), recorded);
        QCOMPARE(testcommon::archivedContent(second, 1).mid(16), before.mid(16));
        QVERIFY2(statusLine(w).contains(QFileInfo(second).fileName()), qPrintable(statusLine(w)));
        QCOMPARE(w.currentArchivePath(), shown);
    }

    // A download the user starts while the automatic backup reads: the
    // backup stops with nothing written, the download runs whole, and the
    // backup is made once the window is idle again.
    void theUsersCommandComesFirst()
    {
        const PluggableRecorder rec(recorderWithSlowTransfers());
        const QString folder = rec.folder(), plug = rec.plug();
        MainWindow w;
        QVERIFY(waitSettled(w, 0));
        automaticSwitch(w)->trigger();

        QVERIFY(touch(plug));
        QTRY_VERIFY_WITH_TIMEOUT(w.isBackingUpAutomatically(), kGenerous);
        QVERIFY(!w.isBusy());
        QCOMPARE(w.ui()->devTable->rowCount(), 4);
        startSlowDownload(w);
        QVERIFY(!w.isBackingUpAutomatically());
        const QWidget* cancel = w.ui()->abortButton;
        QVERIFY(!cancel->isHidden());
        bool writtenMeanwhile = false;
        while (!cancel->isHidden()) {
            writtenMeanwhile |= !everything(folder).isEmpty();
            QTest::qWait(10);
        }
        QVERIFY(!writtenMeanwhile);
        QTRY_COMPARE_WITH_TIMEOUT(w.ui()->archTable->rowCount(), 3, kGenerous);

        QTRY_COMPARE_WITH_TIMEOUT(backups(folder).size(), 1, kGenerous);
        QTRY_VERIFY_WITH_TIMEOUT(
            statusLine(w).startsWith(QStringLiteral("KV000001 backed up automatically: ")),
            kGenerous);
    }

    // A watcher started at login meanwhile: the window holds the recorder,
    // so the watcher finds it in use, reads nothing and says so once; when
    // the window has closed it compares the recorder and saves nothing new.
    void aWatcherWaitsWhileTheWindowIsOpen()
    {
        using Kind = autobackup::Event::Kind;
        const PluggableRecorder rec(recorderWithFiles(2));
        const QString folder = rec.folder();
        autobackup::Watcher watcher({folder, 0});
        {
            MainWindow w;
            QVERIFY(waitSettled(w, 0));
            automaticSwitch(w)->trigger();
            QVERIFY(touch(rec.plug()));
            QTRY_COMPARE_WITH_TIMEOUT(backups(folder).size(), 1, kGenerous);
            QTRY_VERIFY_WITH_TIMEOUT(!w.isBackingUpAutomatically(), kGenerous);

            QCOMPARE(watcherLooks(watcher), (QList<Kind> {Kind::Started, Kind::InUse}));
            QVERIFY(watcher.waitingForRecorder());
            // Its next tries go unsaid and read nothing.
            QCOMPARE(watcherLooks(watcher), QList<Kind>());
            QCOMPARE(watcherLooks(watcher), QList<Kind>());
            automaticSwitch(w)->trigger();
        }
        QCOMPARE(watcherLooks(watcher), QList<Kind> {Kind::Unchanged});
        QCOMPARE(backups(folder).size(), 1);
    }

    // Off: a recorder plugged in is listed and nothing more. Switched off
    // mid-backup: the backup stops and leaves nothing.
    void switchedOffNothingIsWritten()
    {
        const PluggableRecorder rec(recorderWithSlowTransfers());
        const QString folder = rec.folder(), plug = rec.plug();
        MainWindow w;
        QVERIFY(waitSettled(w, 0));
        QVERIFY(!automaticSwitch(w)->isChecked());
        QVERIFY(touch(plug));
        QTRY_COMPARE_WITH_TIMEOUT(w.ui()->devicesCombo->count(), 1, kGenerous);
        QVERIFY(waitSettled(w, 4));
        QVERIFY(nothingWrittenMeanwhile(w, folder));

        // Switched on, the recorder listed now counts as plugged in now.
        automaticSwitch(w)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(w.isBackingUpAutomatically(), kGenerous);
        automaticSwitch(w)->trigger();
        QVERIFY(!automaticSwitch(w)->isChecked());
        QVERIFY(!w.isBackingUpAutomatically());
        QCOMPARE(statusLine(w), QStringLiteral("Automatic backups are off."));
        QVERIFY(everything(folder).isEmpty());
        QVERIFY(nothingWrittenMeanwhile(w, folder));
        QVERIFY(w.isConnected());
    }
};

QTEST_MAIN(TestAutoBackup)
#include "tst_app_autobackup.moc"
