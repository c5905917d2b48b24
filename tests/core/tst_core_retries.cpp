// A reply lost or spoilt on the line costs the file another attempt from its
// start, not the whole operation, whatever the recorder does with a frame it
// gets twice; what cannot work on a second attempt is not made again.
#include "coretest.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "transfers.h"

#include <QLoggingCategory>

#include <mutex>

Q_DECLARE_METATYPE(sim::Faults)
Q_DECLARE_METATYPE(sim::RepeatedFrames)

using core::ResultCode;
using Stage = core::Progress::Stage;

namespace {

// With frames of 200 bytes a 2000-byte file takes 11 data replies or 11
// write frames: a fault at frame 5 or 6 lands in its middle.
constexpr int FileSize = 2000;

core::UploadItem item(int id, const QByteArray& content)
{
    core::UploadItem i;
    i.file = {id, QStringLiteral("S%1").arg(id)};
    i.type = mzt500::SequenceRecord;
    i.content = content;
    return i;
}

// The operations' log lines, which must tell every retry.
std::mutex logLock;
QStringList operationsLog;
QtMessageHandler previousHandler = nullptr;

void keepOperationsLog(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (context.category && QLatin1String(context.category) == QLatin1String("mzt.operations")) {
        std::lock_guard lock(logLock);
        operationsLog << message;
        return;
    }
    previousHandler(type, context, message);
}

QStringList retriesLogged()
{
    std::lock_guard lock(logLock);
    return operationsLog.filter(QStringLiteral(" again from its start "));
}

// The bytes reported for one file, in order.
QList<quint64> bytesOf(const QList<core::Progress>& seen, int id)
{
    QList<quint64> bytes;
    for (const core::Progress& p : seen) {
        if (p.file.id == id && p.stage == Stage::Transferring && p.bytesTotal != 0)
            bytes << p.bytesDone;
    }
    return bytes;
}

// One row for each thing a recorder may do with a frame it gets twice.
void addRepeatedFrameRows()
{
    QTest::addColumn<sim::RepeatedFrames>("repeated");
    for (sim::RepeatedFrames repeated : sim::kRepeatedFrameBehaviours)
        QTest::newRow(sim::nameOf(repeated)) << repeated;
}

int stagesOf(const QList<core::Progress>& seen, Stage stage)
{
    int n = 0;
    for (const core::Progress& p : seen)
        n += p.stage == stage ? 1 : 0;
    return n;
}

} // namespace

class TestCoreRetries : public SimBusTest {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("mzt.operations.debug=true"));
        previousHandler = qInstallMessageHandler(keepOperationsLog);
    }
    void init()
    {
        std::lock_guard lock(logLock);
        operationsLog.clear();
    }

    void aFaultInTheMiddleOfAReadCostsOneMoreRead_data()
    {
        QTest::addColumn<sim::Faults>("faults");
        QTest::addColumn<sim::RepeatedFrames>("repeated");
        // Each fault spoils the reply to frame 5.
        sim::Faults corrupt;
        corrupt.corruptAtFrame = 5;
        corrupt.faultOffset = 60; // in the payload: the trailer no longer matches
        sim::Faults header = corrupt;
        header.faultOffset = 11;
        sim::Faults dropped;
        dropped.dropAtFrame = 5;
        dropped.faultOffset = 60; // the reply stays one byte short
        for (sim::RepeatedFrames repeated : sim::kRepeatedFrameBehaviours) {
            const char* name = sim::nameOf(repeated);
            QTest::addRow("corrupted payload byte, %s", name) << corrupt << repeated;
            QTest::addRow("corrupted header, %s", name) << header << repeated;
            QTest::addRow("dropped byte, %s", name) << dropped << repeated;
        }
    }
    void aFaultInTheMiddleOfAReadCostsOneMoreRead()
    {
        QFETCH(sim::Faults, faults);
        QFETCH(sim::RepeatedFrames, repeated);
        sim::DeviceConfig c = recorderWith({{3, sequence(3, FileSize)}, {4, sequence(4, 300)}});
        c.faults = faults;
        c.repeatedFrames = repeated;
        SimSetup s({c});
        QList<core::DownloadedFile> got;
        QList<core::Progress> seen;
        const core::Result result = core::downloadFiles(
            &s.master, {{3, "S3"}, {4, "S4"}}, [&](const core::DownloadedFile& f) { got << f; },
            [&](const core::Progress& p) { seen << p; });
        QVERIFY2(result.ok(), qPrintable(result.reason));
        QCOMPARE(got.size(), 2);
        QCOMPARE(got[0].data, s.recorder().file(3).value());
        QCOMPARE(got[1].data, s.recorder().file(4).value());
        QCOMPARE(countOf(s.recorder(), mzt500::CmdFileSize), 3);
        QCOMPARE(retriesLogged(),
                 QStringList {"Reading S3 again from its start (attempt 2 of 3): no valid reply "
                              "in time"});

        // The file's bytes go back to 0 once and then run to its end; each
        // file starts and ends once, so an overall count adds it once.
        const QList<quint64> bytes = bytesOf(seen, 3);
        int backwards = 0;
        for (qsizetype i = 1; i < bytes.size(); ++i) {
            if (bytes[i] < bytes[i - 1]) {
                ++backwards;
                QCOMPARE(bytes[i], 0u);
            }
        }
        QCOMPARE(backwards, 1);
        QCOMPARE(bytes.last(), quint64(FileSize));
        QCOMPARE(stagesOf(seen, Stage::FileStarted), 2);
        QCOMPARE(stagesOf(seen, Stage::FileDone), 2);
    }

    void aFaultInTheMiddleOfAWriteCostsOneMoreWrite_data()
    {
        QTest::addColumn<sim::Faults>("faults");
        QTest::addColumn<sim::RepeatedFrames>("repeated");
        // Frames: 13, 14, then the 32 write frames of S5 (2 to 33: 64-byte
        // chunks, as no identification raised the master's frame size from
        // 80); each fault spoils the reply to its frame.
        sim::Faults corrupt;
        corrupt.corruptAtFrame = 6;
        corrupt.faultOffset = 12; // the status byte: the trailer no longer matches
        sim::Faults dropped;
        dropped.dropAtFrame = 6;
        dropped.faultOffset = 3;
        sim::Faults lastReply;
        lastReply.corruptAtFrame = 33; // the file is stored, its acknowledgement spoilt
        lastReply.faultOffset = 11;
        for (sim::RepeatedFrames repeated : sim::kRepeatedFrameBehaviours) {
            const char* name = sim::nameOf(repeated);
            QTest::addRow("corrupted status reply, %s", name) << corrupt << repeated;
            QTest::addRow("dropped byte, %s", name) << dropped << repeated;
            QTest::addRow("the last acknowledgement, %s", name) << lastReply << repeated;
        }
    }
    void aFaultInTheMiddleOfAWriteCostsOneMoreWrite()
    {
        QFETCH(sim::Faults, faults);
        QFETCH(sim::RepeatedFrames, repeated);
        const QByteArray five = sequence(5, FileSize);
        const QByteArray six = sequence(6, 500);
        sim::DeviceConfig c = recorderWith({{6, sequence(6, 100)}, {9, sequence(9, 100)}});
        c.faults = faults;
        c.repeatedFrames = repeated;
        SimSetup s({c});
        QList<QPair<int, bool>> written;
        QList<core::Progress> seen;
        const core::Result result = core::uploadFiles(
            &s.master, {item(5, five), item(6, six)},
            [&](const core::UploadItem& i, bool replaced) {
                written.append({i.file.id, replaced});
            },
            [&](const core::Progress& p) { seen << p; });
        QVERIFY2(result.ok(), qPrintable(result.reason));
        QCOMPARE(*s.recorder().file(5), five);
        QCOMPARE(*s.recorder().file(6), six);
        QCOMPARE(*s.recorder().file(9), sequence(9, 100));
        // Only the first file was new to the recorder, whatever its retry found.
        QCOMPARE(written, (QList<QPair<int, bool>> {{5, false}, {6, true}}));
        // The failed write was ended on the recorder, then made again.
        QCOMPARE(countOf(s.recorder(), mzt500::CmdEndFailedWrite), 1);
        QCOMPARE(countOf(s.recorder(), mzt500::CmdSelectWrite), 3);
        QCOMPARE(retriesLogged(),
                 QStringList {"Writing S5 again from its start (attempt 2 of 3): no valid reply "
                              "in time"});
        const QList<quint64> bytes = bytesOf(seen, 5);
        QCOMPARE(bytes.count(0), 2);
        QCOMPARE(bytes.last(), quint64(FileSize));
        QCOMPARE(stagesOf(seen, Stage::FileDone), 2);
    }

    void aFaultWhileReplacingCostsOneMoreAttempt_data() { addRepeatedFrameRows(); }
    void aFaultWhileReplacingCostsOneMoreAttempt()
    {
        // The start of the old copy's deletion goes unanswered: the next
        // attempt finds the old copy still there and deletes it.
        QFETCH(sim::RepeatedFrames, repeated);
        const QByteArray six = sequence(6, FileSize);
        sim::DeviceConfig c = recorderWith({{6, sequence(6, 100)}});
        c.faults.silentCommand = mzt500::CmdDeleteControl;
        c.faults.silentCount = 1;
        c.repeatedFrames = repeated;
        SimSetup s({c});
        QList<bool> replaced;
        const core::Result result = core::uploadFiles(
            &s.master, {item(6, six)}, [&](const core::UploadItem&, bool r) { replaced << r; });
        QVERIFY2(result.ok(), qPrintable(result.reason));
        QCOMPARE(*s.recorder().file(6), six);
        QCOMPARE(replaced, QList<bool> {true});
        QCOMPARE(countOf(s.recorder(), mzt500::CmdSelectDelete), 2);
        QCOMPARE(retriesLogged().size(), 1);
    }

    void threeFaultsInARowFailTheFileCleanly_data()
    {
        QTest::addColumn<int>("faultCount");
        QTest::newRow("two: the third attempt works") << 2;
        QTest::newRow("three: the file fails") << 3;
    }
    void threeFaultsInARowFailTheFileCleanly()
    {
        QFETCH(int, faultCount);
        const bool fails = faultCount >= 3;
        {
            sim::DeviceConfig c = recorderWith(
                {{3, sequence(3, 300)}, {4, sequence(4, FileSize)}, {5, sequence(5, 300)}});
            SimSetup s({c});
            QList<int> handed;
            // The third file's read only: the first is handed over before.
            core::Result result =
                core::downloadFiles(&s.master, {{3, "S3"}},
                                    [&](const core::DownloadedFile& f) { handed << f.file.id; });
            QVERIFY(result.ok());
            // An attempt fails when a request goes unanswered.
            sim::Faults f;
            f.silentCommand = mzt500::CmdFileData;
            f.silentCount = faultCount;
            s.recorder().setFaults(f);
            s.recorder().clearLogs();
            result = core::downloadFiles(&s.master, {{4, "S4"}, {5, "S5"}},
                                         [&](const core::DownloadedFile& f) {
                                             QVERIFY(!f.data.isEmpty());
                                             handed << f.file.id;
                                         });
            QCOMPARE(countOf(s.recorder(), mzt500::CmdFileSize), fails ? 3 : 4);
            QCOMPARE(retriesLogged().size(), 2);
            if (fails) {
                QCOMPARE(result.code, ResultCode::ReadFailed);
                QCOMPARE(result.file.id, 4);
                QCOMPARE(handed, QList<int> {3});
            } else {
                QVERIFY(result.ok());
                QCOMPARE(handed, (QList<int> {3, 4, 5}));
            }
        }
        sim::Bus::instance().uninstall();
        init();
        {
            // A new file and an untouched one: a failed write leaves neither
            // a partial file nor any other change.
            const QByteArray untouched = sequence(9, 100);
            SimSetup s({recorderWith({{9, untouched}})});
            sim::Faults f;
            f.silentCommand = mzt500::CmdWriteData;
            f.silentCount = faultCount;
            s.recorder().setFaults(f);
            const QByteArray five = sequence(5, FileSize);
            const core::Result result = core::uploadFiles(&s.master, {item(5, five)});
            QCOMPARE(countOf(s.recorder(), mzt500::CmdEndFailedWrite), faultCount);
            QCOMPARE(retriesLogged().size(), 2);
            if (fails) {
                QCOMPARE(result.code, ResultCode::WriteFailed);
                QVERIFY(!s.recorder().file(5));
            } else {
                QVERIFY(result.ok());
                QCOMPARE(*s.recorder().file(5), five);
            }
            QCOMPARE(s.recorder().files().size(), fails ? 1u : 2u);
            QCOMPARE(*s.recorder().file(9), untouched);
        }
    }

    void whatCannotWorkAgainIsNotMadeAgain()
    {
        const auto config = [] {
            return recorderWith({{3, sequence(3, FileSize)}, {4, sequence(4, 300)}});
        };
        {
            // Refused by the recorder.
            SimSetup s({config()});
            sim::Faults f;
            f.statusCommand = mzt500::CmdFileData;
            f.status = sim::StatusRefused;
            f.statusCount = 100;
            s.recorder().setFaults(f);
            QCOMPARE(core::downloadFiles(&s.master, {{3, "S3"}}, {}).code, ResultCode::ReadFailed);
            QCOMPARE(countOf(s.recorder(), mzt500::CmdFileData), 1);
            f.statusCommand = mzt500::CmdWriteData;
            s.recorder().setFaults(f);
            QCOMPARE(core::uploadFiles(&s.master, {item(5, sequence(5, 300))}).code,
                     ResultCode::WriteFailed);
            QCOMPARE(countOf(s.recorder(), mzt500::CmdSelectWrite), 1);
            QCOMPARE(countOf(s.recorder(), mzt500::CmdEndFailedWrite), 1);
        }
        sim::Bus::instance().uninstall();
        {
            // Unplugged in the middle of a read, and of a write.
            SimSetup s({config()});
            sim::Faults f;
            f.vanishAfterBytes = 700;
            s.recorder().setFaults(f);
            QCOMPARE(core::downloadFiles(&s.master, {{3, "S3"}}, {}).code, ResultCode::ReadFailed);
            s.recorder().reappear();
            core::connectTo(&s.master, &s.link, 0);
            f.vanishAfterBytes = -1;
            f.vanishAtCommand = mzt500::CmdWriteData;
            s.recorder().setFaults(f);
            const core::Result write =
                core::uploadFiles(&s.master, {item(5, sequence(5, FileSize))});
            QCOMPARE(write.code, ResultCode::WriteFailed);
        }
        sim::Bus::instance().uninstall();
        {
            // A recorder that answers nothing at all any more: the read's
            // size and existence requests both go unanswered.
            SimSetup s({config()});
            s.recorder().setAnswering(false);
            QCOMPARE(core::downloadFiles(&s.master, {{3, "S3"}}, {}).code, ResultCode::ReadFailed);
            QVERIFY(retriesLogged().isEmpty());
            // The write's first request is asked once more, as it may have
            // been a lost reply; unanswered twice, it is not asked again.
            QCOMPARE(core::uploadFiles(&s.master, {item(5, sequence(5, 300))}).code,
                     ResultCode::QueryFailed);
            QCOMPARE(retriesLogged().size(), 1);
        }
        sim::Bus::instance().uninstall();
        init();
        {
            // A reply that never comes: three attempts, then the file fails.
            sim::DeviceConfig c = config();
            c.faults.silentCommand = mzt500::CmdFileData;
            SimSetup s({c});
            QCOMPARE(core::downloadFiles(&s.master, {{3, "S3"}}, {}).code, ResultCode::ReadFailed);
            QCOMPARE(countOf(s.recorder(), mzt500::CmdFileSize), 3);
            QCOMPARE(retriesLogged().size(), 2);
            std::lock_guard lock(logLock);
            QCOMPARE(operationsLog.filter(QStringLiteral("Reading S3 failed for good")).size(), 1);
        }
    }

    void aSpoiltContentListIsReadAgainWhole_data() { addRepeatedFrameRows(); }
    void aSpoiltContentListIsReadAgainWhole()
    {
        // 20 sequences and the settings: 336 bytes of list in blocks of 66
        // (frames 1 to 6 after the identification). The reply to the second
        // follow-up request loses a byte: the list is read again from its
        // start, never taken with a block missing or twice.
        QFETCH(sim::RepeatedFrames, repeated);
        std::map<std::uint16_t, QByteArray> files {{120, sim::makeFile(0, 0, 64, 0)}};
        for (int id = 1; id <= 20; ++id)
            files[std::uint16_t(id)] = sequence(id, 100 + id * 2);
        sim::DeviceConfig c = recorderWith(files);
        c.maxFrameSize = 80;
        c.repeatedFrames = repeated;
        c.faults.dropAtFrame = 3;
        c.faults.faultOffset = 40;
        SimSetup s({c}, 300);
        const core::Content content = core::readContent(&s.master);
        QVERIFY2(content.result.ok(), qPrintable(content.result.reason));
        QCOMPARE(content.records.size(), 21);
        for (int id = 1; id <= 20; ++id)
            QCOMPARE(content.records[id].id, quint32(id));
        QCOMPARE(countOf(s.recorder(), mzt500::CmdContentList), 3 + 6);

        // Spoilt on every attempt, the list fails rather than pass short.
        sim::Faults always;
        always.dropAtFrame = 1;
        always.faultCount = 1000;
        always.faultOffset = 40;
        s.recorder().setFaults(always);
        const core::Content failed = core::readContent(&s.master);
        QCOMPARE(failed.result.code, ResultCode::ListFailed);
        QVERIFY(failed.records.isEmpty());
    }

    void seededLineFaultsNeverPassAWrongFile_data() { addRepeatedFrameRows(); }
    void seededLineFaultsNeverPassAWrongFile()
    {
        // Random corrupted and dropped reply bytes, seed after seed. Every
        // file is either whole and identical where it was reported done, or
        // the run fails naming it; files after it are left alone.
        QFETCH(sim::RepeatedFrames, repeated);
        constexpr int Seeds = 12;
        const QList<core::FileRef> refs {{3, "S3"}, {4, "S4"}, {5, "S5"}};
        const std::map<std::uint16_t, QByteArray> stored {
            {3, sequence(3, FileSize)}, {4, sequence(4, 600)}, {5, sequence(5, 1200)}};
        QList<core::UploadItem> items;
        for (int id : {6, 7, 8})
            items << item(id, sequence(id, 500 * id));
        // A line fault costs a time-out; a short one keeps the many seeds
        // quick. Set once the transfer has raised its own.
        const auto shortTimeOut = [](KVPMaster* master) {
            return [master](const core::Progress& p) {
                if (p.stage == Stage::FileStarted)
                    master->setTimeout(100);
            };
        };
        int downloadsFailed = 0, uploadsFailed = 0;
        for (int seed = 1; seed <= Seeds; ++seed) {
            sim::DeviceConfig c = recorderWith(stored);
            c.repeatedFrames = repeated;
            c.faults.seed = std::uint64_t(seed);
            c.faults.corruptProbability = 1.5e-4;
            c.faults.dropProbability = 1.5e-4;
            SimSetup s({c}, 100);
            const QString where = QStringLiteral("seed %1").arg(seed);

            QList<core::DownloadedFile> got;
            const core::Result read = core::downloadFiles(
                &s.master, refs, [&](const core::DownloadedFile& f) { got << f; },
                shortTimeOut(&s.master));
            for (const core::DownloadedFile& f : got)
                QVERIFY2(f.data == stored.at(std::uint16_t(f.file.id)), qPrintable(where));
            if (read.ok()) {
                QCOMPARE(got.size(), refs.size());
            } else {
                ++downloadsFailed;
                QCOMPARE(read.code, ResultCode::ReadFailed);
                QCOMPARE(read.file.id, refs.at(got.size()).id);
                QVERIFY2(read.reason.contains(read.file.name), qPrintable(read.reason));
            }

            // Acknowledgements are short: a higher rate makes them meet faults.
            sim::Faults f = c.faults;
            f.corruptProbability = f.dropProbability = 3e-4;
            s.recorder().setFaults(f);
            QList<int> written;
            const core::Result write = core::uploadFiles(
                &s.master, items, [&](const core::UploadItem& i, bool) { written << i.file.id; },
                shortTimeOut(&s.master));
            for (const core::UploadItem& i : items) {
                const std::optional<QByteArray> onRecorder = s.recorder().file(i.file.id);
                if (written.contains(i.file.id))
                    QVERIFY2(onRecorder == i.content, qPrintable(where));
                else
                    QVERIFY2(!onRecorder || *onRecorder == i.content, qPrintable(where));
            }
            if (write.ok()) {
                QCOMPARE(written.size(), items.size());
            } else {
                ++uploadsFailed;
                QCOMPARE(write.file.id, items.at(written.size()).file.id);
                QVERIFY2(write.reason.contains(write.file.name), qPrintable(write.reason));
                for (qsizetype k = written.size() + 1; k < items.size(); ++k)
                    QVERIFY2(!s.recorder().file(items[k].file.id), qPrintable(where));
            }
        }
        // The faults met the transfers: files were made again, and the rates
        // are low enough that most runs still end whole.
        QVERIFY(!retriesLogged().isEmpty());
        QVERIFY(downloadsFailed < Seeds / 2);
        QVERIFY(uploadsFailed < Seeds / 2);
    }

    void aCancelStopsTheRetries()
    {
        SimSetup s({recorderWith({{3, sequence(3, FileSize)}})});
        sim::Faults f;
        f.silentCommand = mzt500::CmdFileData;
        f.silentCount = 1;
        s.recorder().setFaults(f);
        core::CancelToken cancel {false};
        // The cancel comes while the first attempt waits for its reply.
        const core::Result result = core::downloadFiles(
            &s.master, {{3, "S3"}}, {},
            [&](const core::Progress& p) {
                if (p.stage == Stage::Transferring)
                    cancel = true;
            },
            &cancel);
        QVERIFY(!result.ok());
        QCOMPARE(countOf(s.recorder(), mzt500::CmdFileSize), 1);
        QVERIFY(retriesLogged().isEmpty());
    }

    // A download that keeps what it can goes on past a file the recorder
    // cannot deliver while it answers the rest, and ends where the
    // recorder itself is lost or the caller stops.
    void unreadableFilesArePassedOverWhileTheRecorderAnswers_data()
    {
        QTest::addColumn<sim::Faults>("faults");
        QTest::addColumn<int>("oddSizeOf"); // a file stored one byte short, or 0
        QTest::addColumn<bool>("silent");
        QTest::addColumn<int>("cancelAt"); // the file whose start cancels, or 0
        QTest::addColumn<QList<int>>("handed");
        QTest::addColumn<QList<int>>("passedOver");
        QTest::addColumn<bool>("goesOn");

        sim::Faults damagedArea;
        damagedArea.statusFile = mzt500::fileNumberForId(4);
        damagedArea.status = sim::StatusRefused;
        QTest::newRow("read refused")
            << damagedArea << 0 << false << 0 << QList<int> {3, 5} << QList<int> {4} << true;
        QTest::newRow("damaged copy")
            << sim::Faults {} << 4 << false << 0 << QList<int> {3, 5} << QList<int> {4} << true;
        sim::Faults lost;
        lost.silentCommand = mzt500::CmdFileData;
        lost.silentCount = 3; // every attempt at the first file
        QTest::newRow("replies lost on every attempt")
            << lost << 0 << false << 0 << QList<int> {4, 5} << QList<int> {3} << true;

        sim::Faults thenGone = damagedArea;
        thenGone.vanishAtCommand = mzt500::CmdFileData;
        thenGone.statusFile = mzt500::fileNumberForId(3);
        QTest::newRow("unplugged after an unreadable file")
            << thenGone << 0 << false << 0 << QList<int> {} << QList<int> {3} << false;
        QTest::newRow("silent") << sim::Faults {} << 0 << true << 0 << QList<int> {}
                                << QList<int> {} << false;
        QTest::newRow("cancelled at an unreadable file")
            << damagedArea << 0 << false << 4 << QList<int> {3} << QList<int> {} << false;
    }
    void unreadableFilesArePassedOverWhileTheRecorderAnswers()
    {
        QFETCH(sim::Faults, faults);
        QFETCH(int, oddSizeOf);
        QFETCH(bool, silent);
        QFETCH(int, cancelAt);
        QFETCH(QList<int>, handed);
        QFETCH(QList<int>, passedOver);
        QFETCH(bool, goesOn);

        std::map<std::uint16_t, QByteArray> files {
            {3, sequence(3, 300)}, {4, sequence(4, 300)}, {5, sequence(5, 300)}};
        if (oddSizeOf)
            files[std::uint16_t(oddSizeOf)].chop(1);
        SimSetup s({recorderWith(files)});
        s.recorder().setFaults(faults);
        s.recorder().setAnswering(!silent);
        const QList<core::FileRef> refs {{3, "S3"}, {4, "S4"}, {5, "S5"}};

        core::CancelToken cancel {false};
        QList<int> got;
        const core::PartialDownload partial = core::downloadReadableFiles(
            &s.master, refs,
            [&](const core::DownloadedFile& f) {
                QVERIFY(!f.missing);
                QCOMPARE(f.data, files.at(std::uint16_t(f.file.id)));
                got << f.file.id;
            },
            [&](const core::Progress& p) {
                if (p.stage == Stage::FileStarted && p.file.id == cancelAt)
                    cancel = true;
            },
            &cancel);
        QCOMPARE(got, handed);
        QList<int> unreadable;
        for (const core::Result& r : partial.unreadable) {
            unreadable << r.file.id;
            QVERIFY(core::recorderServesOtherFiles(r));
            // One sentence that names the file.
            QVERIFY2(r.reason.contains(r.file.name) && r.reason.endsWith(QLatin1Char('.')),
                     qPrintable(r.reason));
        }
        QCOMPARE(unreadable, passedOver);
        QCOMPARE(partial.result.ok(), goesOn);
        if (!goesOn)
            QVERIFY(!core::recorderServesOtherFiles(partial.result) || cancelAt != 0);
        if (silent) {
            // Nothing is asked again of a recorder that answers nothing.
            QVERIFY(retriesLogged().isEmpty());
            return;
        }

        // The plain download still ends at the first unreadable file.
        if (goesOn) {
            s.recorder().setFaults(faults);
            got.clear();
            const core::Result whole = core::downloadFiles(
                &s.master, refs, [&](const core::DownloadedFile& f) { got << f.file.id; });
            QCOMPARE(whole.file.id, passedOver.first());
            QVERIFY(core::recorderServesOtherFiles(whole));
            QList<int> before;
            for (int id : handed)
                if (id < passedOver.first())
                    before << id;
            QCOMPARE(got, before);
        }
    }
};

QTEST_GUILESS_MAIN(TestCoreRetries)
#include "tst_core_retries.moc"
