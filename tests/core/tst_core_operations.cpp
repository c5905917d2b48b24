// The device operations run directly, as every front end runs them: each
// one's success, its refusals, the fault kinds and cancel.
#include "coretest.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "transfers.h"

#include <QtEndian>

using core::ResultCode;

namespace {

core::UploadItem item(int id, qint32 type, const QByteArray& content, const QString& name)
{
    core::UploadItem i;
    i.file = {id, name};
    i.type = type;
    i.content = content;
    return i;
}

} // namespace

class TestCoreOperations : public SimBusTest {
    Q_OBJECT

private slots:
    void discoveryNumbersRecordersAndStopsWhenAsked()
    {
        sim::DeviceConfig silent = sim::DeviceConfig::recorder();
        silent.answering = false;
        sim::DeviceConfig other = sim::DeviceConfig::recorder();
        other.model = "MZT-400";
        SimSetup s({sim::DeviceConfig::recorder(), silent, other, sim::DeviceConfig::recorder()});
        core::DiscoveryReport report;
        QList<core::FoundDevice> found = core::discoverDevices(&s.master, &s.link, {}, &report);
        QCOMPARE(report.listed, 4);
        QVERIFY(report.inUse.isEmpty());
        QStringList names;
        for (const core::FoundDevice& d : found)
            names << d.displayName;
        // Only recorders are numbered; the silent device is not listed.
        QCOMPARE(names, (QStringList {"MZT-500 #1", "MZT-400", "MZT-500 #2"}));
        QCOMPARE(found.last().line, 3);

        found = core::discoverDevices(&s.master, &s.link,
                                      [](const core::FoundDevice& d) { return d.isRecorder(); });
        QCOMPARE(found.size(), 1);

        core::CancelToken cancel {true};
        QVERIFY(core::discoverDevices(&s.master, &s.link, {}, nullptr, &cancel).isEmpty());
    }

    // A recorder another holder has open is reported as in use, not as
    // silent; the free one is still found and numbered as before.
    void discoveryTellsARecorderInUseFromOneThatIsAbsent()
    {
        sim::DeviceConfig held = sim::DeviceConfig::recorder();
        held.serial = "KVHELD01";
        SimSetup s({held, sim::DeviceConfig::recorder()});
        s.master.stopAndReset(); // the link lets go of the first device
        DWORD count = 0;
        QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
        FT_HANDLE holder = nullptr;
        QCOMPARE(FT_Open(0, &holder), FT_OK);
        FT_HANDLE second = nullptr;
        QCOMPARE(FT_Open(0, &second), FT_DEVICE_IN_USE);

        core::DiscoveryReport report;
        QList<core::FoundDevice> found = core::discoverDevices(&s.master, &s.link, {}, &report);
        QCOMPARE(report.listed, 2);
        QCOMPARE(report.inUse.size(), 1);
        QCOMPARE(report.inUse.first().serial, QStringLiteral("KVHELD01"));
        QCOMPARE(core::inUseText(report.inUse),
                 QStringLiteral("The recorder KVHELD01 is in use by another program."));
        QCOMPARE(found.size(), 1);
        QCOMPARE(found.first().displayName, QStringLiteral("MZT-500 #1"));
        QCOMPARE(found.first().deviceIndex, 1);

        // Let go, it answers again.
        QCOMPARE(FT_Close(holder), FT_OK);
        found = core::discoverDevices(&s.master, &s.link, {}, &report);
        QVERIFY(report.inUse.isEmpty());
        QCOMPARE(found.size(), 2);
    }

    void contentListingAndItsRefusals()
    {
        {
            SimSetup s({recorderWith({{3, sequence(3, 100)}, {120, sim::makeFile(0, 0, 64, 0)}})});
            const core::Content content = core::readContent(&s.master);
            QVERIFY(content.result.ok());
            QCOMPARE(content.records.size(), 2);
            QCOMPARE(content.list.size(), 2 * ContentRecord::Size);
        }
        sim::Bus::instance().uninstall();
        {
            sim::DeviceConfig old = sim::DeviceConfig::recorder();
            old.softwareVersion = 0x0101;
            SimSetup s({old});
            const core::Content content = core::readContent(&s.master);
            QCOMPARE(content.result.code, ResultCode::CannotList);
            QCOMPARE(content.softwareVersion, 0x0101u);
            QCOMPARE(countOf(s.recorder(), mzt500::CmdContentList), 0);
        }
        sim::Bus::instance().uninstall();
        {
            sim::DeviceConfig other = sim::DeviceConfig::recorder();
            other.model = "MZT-400";
            SimSetup s({other});
            const core::Content content = core::readContent(&s.master);
            QCOMPARE(content.result.code, ResultCode::WrongModel);
            QCOMPARE(content.result.reason,
                     QStringLiteral("The device is a \"MZT-400\", not an MZT-500."));
        }
        sim::Bus::instance().uninstall();
        {
            sim::DeviceConfig off = sim::DeviceConfig::recorder();
            off.answering = false;
            SimSetup s({off}, 200);
            QCOMPARE(core::readContent(&s.master).result.code, ResultCode::NoAnswer);
        }
    }

    void contentListOfBrokenLengthIsDamaged()
    {
        ScriptedLink link;
        KVPMaster master;
        master.attachLink(&link);
        master.setTimeout(300);
        QByteArray identity(50, '\0');
        identity.replace(6, 7, "MZT-500");
        identity[4] = char(0x04);
        identity[5] = char(0x01);
        link.script({{ScriptedLink::read(mzt500::CmdIdentify), KVP_TYPE_DATA, identity, 0x0C},
                     {ScriptedLink::read(mzt500::CmdContentList), KVP_TYPE_DATA,
                      QByteArray(20, '\1'), 0x0C}});
        const core::Content content = core::readContent(&master);
        QCOMPARE(content.result.code, ResultCode::DamagedList);
        QCOMPARE(content.list.size(), 20);
        QVERIFY(content.records.isEmpty());
        master.stopAndReset();
    }

    void transferModeBusyAndEntered()
    {
        sim::DeviceConfig busy = sim::DeviceConfig::recorder();
        busy.refuseTransferMode = true;
        SimSetup s({sim::DeviceConfig::recorder(), busy});
        QCOMPARE(core::enterTransferMode(&s.master), core::TransferMode::Entered);
        core::connectTo(&s.master, &s.link, 1);
        QCOMPARE(core::enterTransferMode(&s.master), core::TransferMode::Busy);
    }

    void downloadHandsOverFilesInOrderAndSkipsMissingOnes()
    {
        const QByteArray three = sequence(3, 1000);
        SimSetup s({recorderWith({{3, three}, {120, sim::makeFile(0, 0, 64, 0)}})});
        QList<core::DownloadedFile> got;
        QList<core::Progress> seen;
        const core::Result result = core::downloadFiles(
            &s.master, {{3, "S3"}, {9, "S9"}, {0, "SET"}},
            [&](const core::DownloadedFile& f) { got << f; },
            [&](const core::Progress& p) { seen << p; });
        QVERIFY(result.ok());
        QCOMPARE(got.size(), 3);
        QCOMPARE(got[0].data, three);
        QCOMPARE(got[0].record.id, 3u);
        QVERIFY(got[1].missing);
        QCOMPARE(got[2].record.type, quint32(mzt500::SettingsRecord));
        // The settings are read as file number 120.
        QCOMPARE(s.recorder().receivedFrames().back().parameter, mzt500::FileDataParameter);
        // The first file's bytes reach its size; every file starts and the
        // read ones end.
        bool reachedTotal = false;
        int started = 0, doneCount = 0;
        for (const core::Progress& p : seen) {
            reachedTotal |= p.file.id == 3 && p.stage == core::Progress::Stage::Transferring
                && p.bytesDone == 1000 && p.bytesTotal == 1000;
            started += p.stage == core::Progress::Stage::FileStarted ? 1 : 0;
            doneCount += p.stage == core::Progress::Stage::FileDone ? 1 : 0;
            QCOMPARE(p.fileCount, 3);
        }
        QVERIFY(reachedTotal);
        QCOMPARE(started, 3);
        QCOMPARE(doneCount, 2);
        QCOMPARE(s.master.getTimeout(), 1000);
    }

    void damagedOrFailedReadsEndTheDownloadUnseen_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("silentCommand");
        QTest::addColumn<int>("code");
        QTest::newRow("odd length") << sequence(4, 101) << -1 << int(ResultCode::DamagedFile);
        QTest::newRow("shorter than its record")
            << QByteArray(10, '\0') << -1 << int(ResultCode::DamagedFile);
        QTest::newRow("no data reply")
            << sequence(4, 100) << int(mzt500::CmdFileData) << int(ResultCode::ReadFailed);
    }
    void damagedOrFailedReadsEndTheDownloadUnseen()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, silentCommand);
        QFETCH(int, code);
        sim::DeviceConfig c =
            recorderWith({{3, sequence(3, 100)}, {4, file}, {5, sequence(5, 50)}});
        c.faults.silentCommand = silentCommand;
        SimSetup s({c}, 300);
        QList<int> handed;
        const core::Result result =
            core::downloadFiles(&s.master, {{3, "S3"}, {4, "S4"}, {5, "S5"}},
                                [&](const core::DownloadedFile& f) { handed << f.file.id; });
        QCOMPARE(int(result.code), code);
        QCOMPARE(result.file.id, silentCommand == -1 ? 4 : 3);
        QVERIFY(!handed.contains(4));
        QVERIFY(!handed.contains(5));
        QCOMPARE(s.master.getTimeout(), 300);
    }

    void cancelledDownloadAsksNothing()
    {
        SimSetup s({recorderWith({{3, sequence(3, 100)}})});
        s.recorder().clearLogs();
        core::CancelToken cancel {true};
        const core::Result result = core::downloadFiles(&s.master, {{3, "S3"}}, {}, {}, &cancel);
        QCOMPARE(result.code, ResultCode::Cancelled);
        QCOMPARE(countOf(s.recorder(), mzt500::CmdFileSize), 0);
    }

    void uploadCheckNamesWhatWouldBeOverwritten()
    {
        SimSetup s({recorderWith({{5, sequence(5, 100)}, {120, sim::makeFile(0, 0, 64, 0)}})});
        core::UploadCheck check = core::checkUpload(
            &s.master,
            {item(0, mzt500::SettingsRecord, {}, "SETTINGS"),
             item(5, mzt500::SequenceRecord, {}, "FIVE"),
             item(6, mzt500::SequenceRecord, {}, "SIX"), item(7, 2, {}, "OTHER")});
        QVERIFY(check.result.ok());
        QCOMPARE(check.overwritten, (QStringList {"SETTINGS", "FIVE"}));

        check = core::checkUpload(&s.master,
                                  {item(5, mzt500::SequenceRecord, {}, "FIVE"),
                                   item(65, mzt500::SequenceRecord, {}, "BAD")});
        QCOMPARE(check.result.code, ResultCode::Refused);
        QCOMPARE(check.result.file.id, 65);
        QCOMPARE(check.overwritten, QStringList {"FIVE"});
    }

    void uploadReplacesWritesAndRefuses()
    {
        SimSetup s({recorderWith({{5, sequence(5, 100)}})});
        const QByteArray fresh5 = sequence(5, 300);
        const QByteArray fresh6 = sequence(6, 200);
        QList<QPair<int, bool>> written;
        const core::Result result = core::uploadFiles(
            &s.master,
            {item(5, mzt500::SequenceRecord, fresh5, "FIVE"),
             item(6, mzt500::SequenceRecord, fresh6, "SIX"), item(70, 2, fresh6, "NOT MINE")},
            [&](const core::UploadItem& i, bool replaced) {
                written.append({i.file.id, replaced});
            });
        QVERIFY(result.ok());
        QCOMPARE(written, (QList<QPair<int, bool>> {{5, true}, {6, false}}));
        QCOMPARE(*s.recorder().file(5), fresh5);
        QCOMPARE(*s.recorder().file(6), fresh6);
        QVERIFY(!s.recorder().file(70));

        // The settings only under id 0, sequences never there: refused before
        // anything is asked.
        s.recorder().clearLogs();
        for (const core::UploadItem& bad : {item(3, mzt500::SettingsRecord, fresh6, "SETTINGS"),
                                            item(0, mzt500::SequenceRecord, fresh6, "ZERO")}) {
            const core::Result refused = core::uploadFiles(&s.master, {bad});
            QCOMPARE(refused.code, ResultCode::Refused);
            QVERIFY(!core::uploadRefusal(bad).isEmpty());
        }
        QVERIFY(s.recorder().receivedFrames().empty());
    }

    void uploadFaultsSayHowFarTheyGot_data()
    {
        QTest::addColumn<int>("deletionError");
        QTest::addColumn<int>("statusCommand");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("oldCopyKept");
        QTest::newRow("deletion fails") << 3 << -1 << int(ResultCode::DeleteFailed) << true;
        QTest::newRow("write fails after the deletion")
            << 0 << int(mzt500::CmdSelectWrite) << int(ResultCode::WriteFailedAfterDelete) << false;
    }
    void uploadFaultsSayHowFarTheyGot()
    {
        QFETCH(int, deletionError);
        QFETCH(int, statusCommand);
        QFETCH(int, code);
        QFETCH(bool, oldCopyKept);
        sim::DeviceConfig c = recorderWith({{5, sequence(5, 100)}});
        c.faults.deletionError = std::uint16_t(deletionError);
        c.faults.statusCommand = statusCommand;
        c.faults.statusCount = 100;
        SimSetup s({c}, 300);
        const core::Result result = core::uploadFiles(
            &s.master, {item(5, mzt500::SequenceRecord, sequence(5, 300), "FIVE")});
        QCOMPARE(int(result.code), code);
        QCOMPARE(result.file.name, QStringLiteral("FIVE"));
        QCOMPARE(bool(s.recorder().file(5)), oldCopyKept);
        QCOMPARE(s.master.getTimeout(), 300);
    }

    void cancelledUploadWritesNothing()
    {
        SimSetup s({recorderWith({})});
        core::CancelToken cancel {false};
        const core::Result result = core::uploadFiles(
            &s.master,
            {item(5, mzt500::SequenceRecord, sequence(5, 300), "FIVE"),
             item(6, mzt500::SequenceRecord, sequence(6, 300), "SIX")},
            [&](const core::UploadItem&, bool) { cancel = true; }, {}, &cancel);
        QCOMPARE(result.code, ResultCode::Cancelled);
        QCOMPARE(result.file.id, 6);
        QVERIFY(s.recorder().file(5));
        QVERIFY(!s.recorder().file(6));
    }

    void deletionKeepsTheSettingsAndHonoursCancel()
    {
        SimSetup s({recorderWith(
            {{3, sequence(3, 100)}, {4, sequence(4, 100)}, {120, sim::makeFile(0, 0, 64, 0)}})});
        QList<int> polls;
        core::Result result = core::deleteFiles(
            &s.master, {{0, "SETTINGS"}, {3, "S3"}}, [&](const core::Progress& p) {
                if (p.stage == core::Progress::Stage::Deleting && p.deletion >= 0)
                    polls << p.deletion;
            });
        QVERIFY(result.ok());
        QVERIFY(s.recorder().file(120));
        QVERIFY(!s.recorder().file(3));
        QCOMPARE(polls.last(), int(mzt500::DeletionDone));

        // Cancelled before a file: by default its deletion does not start.
        s.recorder().clearLogs();
        core::CancelToken cancel {true};
        result = core::deleteFiles(&s.master, {{4, "S4"}}, {}, &cancel);
        QCOMPARE(result.code, ResultCode::Cancelled);
        QCOMPARE(countOf(s.recorder(), mzt500::CmdSelectDelete), 0);
        QVERIFY(s.recorder().file(4));

        sim::Faults faults;
        faults.deletionError = 3;
        s.recorder().setFaults(faults);
        result = core::deleteFiles(&s.master, {{4, "S4"}});
        QCOMPARE(result.code, ResultCode::DeleteFailed);
        QCOMPARE(result.reason, QStringLiteral("Deleting S4 failed."));
    }
};

QTEST_GUILESS_MAIN(TestCoreOperations)
#include "tst_core_operations.moc"
