// The automatic backup against simulated recorders that come and go: what
// it saves, what it leaves alone and what a recorder pulled out, taken by
// another program or stopped mid-read leaves behind.
#include "auto_backup.h"
#include "backup_history.h"
#include "ftd2xx.h"
#include "recorder_backup.h"
#include "recorder_vocabulary.h"
#include "simulator.h"
#include "testrecords.h"
#include "yielding.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

namespace {

using Kind = autobackup::Event::Kind;

const std::string kSerial = "KV000001";

QByteArray sequence(int id, int size, quint8 variant = 0)
{
    QByteArray file = sim::makeFile(std::uint32_t(id), 1, std::size_t(size), 61000);
    // Same length and record, other bytes: only the bytes tell them apart.
    file[100] = char(file[100] ^ variant);
    return file;
}

sim::DeviceConfig recorder(const std::string& serial, quint8 variant = 0)
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.serial = serial;
    c.files[120] = sim::makeFile(0, 0, 1000, 0);
    c.files[3] = sequence(3, 6000, variant);
    c.files[7] = sequence(7, 3000);
    return c;
}

// One whose reading takes a few seconds on the wire: time to step in.
sim::DeviceConfig slowRecorder()
{
    sim::DeviceConfig slow = recorder(kSerial);
    slow.timing = sim::Timing::Wire;
    slow.files[5] = sequence(5, 40000);
    return slow;
}

// Every file of the folder, hidden ones and the history's index included.
QStringList everything(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

QStringList backups(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("*.mzt")}, QDir::Files, QDir::Name);
}

// A backup as "Back up recorder" saves it, taken at when.
void writeBackup(const QString& folder, const QString& serial, const QDateTime& when,
                 const sim::DeviceConfig& from,
                 backup::Completeness completeness = backup::Completeness::Complete)
{
    MZTArchive archive(QDir(folder).filePath(backup::fileName(serial, when, completeness)));
    archive.setRecorder({serial, {}});
    for (const auto& [number, content] : from.files) {
        auto* entry = new ArchiveEntry;
        const int id = number == 120 ? 0 : number;
        entry->setId(id);
        entry->setType(id == 0 ? 0 : 1);
        entry->setDuration(id == 0 ? 0 : 61000);
        entry->setName(id == 0 ? QStringLiteral("SETTINGS")
                               : QStringLiteral("SEQUENCE %1").arg(id, 2, 10, QLatin1Char('0')));
        entry->appendContent(content.constData(), content.size());
        archive.addEntry(entry);
    }
    QVERIFY(archive.save());
}

} // namespace

class TestAutoBackup : public QObject {
    Q_OBJECT

private:
    // Lists the devices as a plug event would have the watcher do, and
    // returns what it did.
    QList<autobackup::Event> plugEvent(autobackup::Watcher& watcher)
    {
        QList<autobackup::Event> events;
        const QMetaObject::Connection c = connect(
            &watcher, &autobackup::Watcher::event, this,
            [&](const autobackup::Event& e) { events.append(e); }, Qt::DirectConnection);
        watcher.devicesChanged();
        disconnect(c);
        return events;
    }

    static QList<Kind> kinds(const QList<autobackup::Event>& events)
    {
        QList<Kind> list;
        for (const autobackup::Event& e : events)
            list.append(e.kind);
        return list;
    }

private slots:
    void cleanup() { sim::Bus::instance().uninstall(); }

    // The first plug-in saves a backup; a plug event while it stays plugged
    // in does nothing; plugged in again unchanged: no new archive; a
    // sequence recorded again at the same length and record: a new archive
    // with the new bytes.
    void backsUpOnlyWhatChanged()
    {
        QTemporaryDir dir;
        auto rec = sim::Bus::instance().install({recorder(kSerial)}).front();
        autobackup::Watcher watcher({dir.path(), 0});

        QList<autobackup::Event> events = plugEvent(watcher);
        QCOMPARE(kinds(events), (QList<Kind> {Kind::Started, Kind::BackedUp}));
        const autobackup::Event first = events.last();
        QVERIFY(first.first);
        QCOMPARE(first.files, 3);
        QCOMPARE(first.recorder, QStringLiteral("KV000001"));
        QCOMPARE(backups(dir.path()), QStringList {QFileInfo(first.path).fileName()});
        QVERIFY(QFileInfo(first.path).fileName().startsWith(QLatin1String("MZT-500 KV000001 ")));
        QCOMPARE(testcommon::archivedContent(first.path, 3), rec->file(3).value());
        MZTArchive saved(first.path);
        QVERIFY(saved.load());
        QCOMPARE(saved.recorder().serial, QStringLiteral("KV000001"));

        QVERIFY(plugEvent(watcher).isEmpty());

        rec->vanish();
        QCOMPARE(kinds(plugEvent(watcher)), QList<Kind> {Kind::Unplugged});
        rec->reappear();
        events = plugEvent(watcher);
        QCOMPARE(kinds(events), (QList<Kind> {Kind::Started, Kind::Unchanged}));
        QCOMPARE(events.last().path, first.path);
        QVERIFY(events.last().text().contains(QLatin1String("unchanged since ")));
        QCOMPARE(backups(dir.path()).size(), 1);

        rec->vanish();
        plugEvent(watcher);
        const QByteArray reRecorded = sequence(3, 6000, 0x5A);
        rec->putFile(3, reRecorded);
        rec->reappear();
        events = plugEvent(watcher);
        QCOMPARE(kinds(events), (QList<Kind> {Kind::Started, Kind::BackedUp}));
        const autobackup::Event second = events.last();
        QVERIFY(!second.first);
        QCOMPARE(second.changed, 1);
        QCOMPARE(second.notificationText(), QStringLiteral("KV000001 backed up: 1 file changed"));
        QCOMPARE(backups(dir.path()).size(), 2);
        QVERIFY(second.path != first.path);
        QCOMPARE(testcommon::archivedContent(second.path, 3), reRecorded);
        QVERIFY(testcommon::archivedContent(first.path, 3) != reRecorded);
    }

    // A recorder pulled out mid-read leaves nothing in the folder, not even
    // a temporary file, and is backed up when it is plugged in again; so
    // is one whose reading is stopped.
    void readCutShortLeavesNothing()
    {
        QTemporaryDir dir;
        auto rec = sim::Bus::instance().install({recorder(kSerial)}).front();
        autobackup::Watcher watcher({dir.path(), 0});
        sim::Faults pulled;
        pulled.vanishAfterBytes = 4000;
        rec->setFaults(pulled);
        QList<autobackup::Event> events = plugEvent(watcher);
        QCOMPARE(kinds(events), (QList<Kind> {Kind::Started, Kind::Gone}));
        QVERIFY(!events.last().notificationText().isEmpty());
        QCOMPARE(everything(dir.path()), QStringList());

        rec->clearFaults();
        rec->reappear();
        events = plugEvent(watcher);
        QCOMPARE(kinds(events), (QList<Kind> {Kind::Started, Kind::BackedUp}));
        QCOMPARE(testcommon::archivedContent(events.last().path, 3), rec->file(3).value());
    }

    void stoppedMidReadLeavesNothing()
    {
        QTemporaryDir dir;
        sim::Bus::instance().install({slowRecorder()});
        autobackup::Watcher watcher({dir.path(), 0});
        QList<autobackup::Event> events;
        connect(
            &watcher, &autobackup::Watcher::event, this,
            [&](const autobackup::Event& e) {
                events.append(e);
                if (e.kind == Kind::Started)
                    watcher.stop();
            },
            Qt::DirectConnection);
        watcher.devicesChanged();
        QCOMPARE(kinds(events), (QList<Kind> {Kind::Started, Kind::Interrupted}));
        QCOMPARE(everything(dir.path()), QStringList());
    }

    // Another program that wants the recorder stops the backup, which saves
    // nothing and is made once the recorder is free again.
    void yieldsToAnotherProgram()
    {
        QTemporaryDir dir;
        sim::Bus::instance().install({slowRecorder()});
        autobackup::Watcher watcher({dir.path(), 0});
        QList<autobackup::Event> events;
        std::thread other;
        connect(
            &watcher, &autobackup::Watcher::event, this,
            [&](const autobackup::Event& e) {
                events.append(e);
                // As the device layer calls it: from a thread of its own.
                if (e.kind == Kind::Started && !other.joinable())
                    other = std::thread([&watcher] { watcher.yieldRecorder(); });
            },
            Qt::DirectConnection);
        watcher.devicesChanged();
        other.join();
        QCOMPARE(kinds(events), (QList<Kind> {Kind::Started, Kind::Yielded}));
        QVERIFY(events.last().notificationText().isEmpty());
        QCOMPARE(everything(dir.path()), QStringList());
        QVERIFY(watcher.waitingForRecorder());

        // The next try is not announced again: only its outcome.
        events.clear();
        watcher.devicesChanged();
        QCOMPARE(kinds(events), QList<Kind> {Kind::BackedUp});
        QVERIFY(!watcher.waitingForRecorder());
    }

    // Another program opening the recorder the watcher reads, in the
    // ordinary way: the device layer asks the watcher to let go, the open
    // gets the recorder, and the backup saves nothing until the next try.
    void yieldsWhenAnotherOpenAsks()
    {
        QTemporaryDir dir;
        auto rec = sim::Bus::instance().install({slowRecorder()}).front();
        autobackup::Watcher watcher({dir.path(), 0});
        d2xx::setTakenCallback([&watcher](const std::string&) { watcher.yieldRecorder(); });
        std::thread other;
        std::atomic<FT_STATUS> opened {FT_OTHER_ERROR};
        FT_HANDLE handle = nullptr;
        // Once the files are being read: the observer must not call back
        // into the recorder, so the open happens on a thread of its own.
        rec->setRequestObserver([&](const sim::Frame& frame) {
            if (frame.command == mzt500::CmdFileData && !other.joinable())
                other = std::thread([&] {
                    DWORD count = 0;
                    FT_CreateDeviceInfoList(&count);
                    opened = FT_Open(0, &handle);
                });
        });
        const QList<autobackup::Event> events = plugEvent(watcher);
        QTRY_VERIFY(other.joinable());
        other.join();
        rec->setRequestObserver({});
        d2xx::setTakenCallback({});
        QCOMPARE(opened.load(), FT_STATUS(FT_OK));
        QCOMPARE(kinds(events), (QList<Kind> {Kind::Started, Kind::Yielded}));
        QCOMPARE(everything(dir.path()), QStringList());
        FT_Close(handle);

        QCOMPARE(kinds(plugEvent(watcher)), QList<Kind> {Kind::BackedUp});
    }

    // Two recorders plugged in together: one after the other, each into a
    // backup of its own name that records it.
    void twoRecorders()
    {
        QTemporaryDir dir;
        sim::Bus::instance().install({recorder("KV000001"), recorder("KV000002", 0x11)});
        autobackup::Watcher watcher({dir.path(), 0});
        const QList<autobackup::Event> events = plugEvent(watcher);
        QCOMPARE(kinds(events),
                 (QList<Kind> {Kind::Started, Kind::BackedUp, Kind::Started, Kind::BackedUp}));
        QCOMPARE(events[1].recorder, QStringLiteral("KV000001"));
        QCOMPARE(events[3].recorder, QStringLiteral("KV000002"));
        const QStringList names = backups(dir.path());
        QCOMPARE(names.size(), 2);
        QVERIFY(names[0].startsWith(QLatin1String("MZT-500 KV000001 ")));
        QVERIFY(names[1].startsWith(QLatin1String("MZT-500 KV000002 ")));
        MZTArchive second(events[3].path);
        QVERIFY(second.load());
        QCOMPARE(second.recorder().serial, QStringLiteral("KV000002"));
        QCOMPARE(testcommon::archivedContent(events[3].path, 3), sequence(3, 6000, 0x11));
    }

    // Keeping the last backup and the first of each month, after a new
    // backup only: older backups holding nothing else go, the first of the
    // month stays, and so does every backup of another recorder.
    // A backup marked incomplete is the recorder's, but never the proof
    // that it is unchanged: the files it lacks may differ. The newest
    // complete one still is.
    void anIncompleteBackupProvesNothing()
    {
        QTemporaryDir dir;
        const sim::DeviceConfig same = recorder(kSerial);
        const QDateTime november(QDate(2026, 11, 2), QTime(10, 0));
        writeBackup(dir.path(), QStringLiteral("KV000001"), november, same,
                    backup::Completeness::Incomplete);
        auto rec = sim::Bus::instance().install({same}).front();
        autobackup::Watcher watcher({dir.path(), 0});
        QList<autobackup::Event> events = plugEvent(watcher);
        QCOMPARE(kinds(events), (QList<Kind> {Kind::Started, Kind::BackedUp}));
        QVERIFY(events.last().first);
        const QString complete = events.last().path;
        QVERIFY(!backup::parseFileName(QFileInfo(complete).fileName())->incomplete);

        // A newer incomplete backup is passed over for the complete one.
        writeBackup(dir.path(), QStringLiteral("KV000001"), QDateTime::currentDateTime().addDays(1),
                    same, backup::Completeness::Incomplete);
        rec->vanish();
        plugEvent(watcher);
        rec->reappear();
        events = plugEvent(watcher);
        QCOMPARE(kinds(events), (QList<Kind> {Kind::Started, Kind::Unchanged}));
        QCOMPARE(events.last().path, complete);
        QCOMPARE(backups(dir.path()).size(), 3);
    }

    void keepPrunesAfterANewBackup()
    {
        QTemporaryDir dir;
        const sim::DeviceConfig before = recorder(kSerial);
        const QDateTime november(QDate(2026, 11, 2), QTime(10, 0));
        for (int day = 0; day < 3; ++day)
            writeBackup(dir.path(), QStringLiteral("KV000001"), november.addDays(day), before);
        writeBackup(dir.path(), QStringLiteral("KV000002"), november, recorder("KV000002"));
        const QStringList old = backups(dir.path());

        // Unchanged: nothing saved, so nothing is pruned either.
        auto rec = sim::Bus::instance().install({before}).front();
        autobackup::Watcher watcher({dir.path(), 1});
        QCOMPARE(kinds(plugEvent(watcher)), (QList<Kind> {Kind::Started, Kind::Unchanged}));
        QCOMPARE(backups(dir.path()), old);

        rec->vanish();
        plugEvent(watcher);
        rec->putFile(3, sequence(3, 6000, 0x22));
        rec->reappear();
        const QList<autobackup::Event> events = plugEvent(watcher);
        QCOMPARE(kinds(events), (QList<Kind> {Kind::Started, Kind::BackedUp, Kind::Pruned}));
        QCOMPARE(events[2].removed.size(), 2);
        const QStringList left = backups(dir.path());
        QCOMPARE(left.size(), 3);
        QVERIFY(left.contains(backup::fileName(QStringLiteral("KV000001"), november)));
        QVERIFY(left.contains(backup::fileName(QStringLiteral("KV000002"), november)));
        QVERIFY(left.contains(QFileInfo(events[1].path).fileName()));
    }
};

QTEST_GUILESS_MAIN(TestAutoBackup)
#include "tst_auto_backup.moc"
