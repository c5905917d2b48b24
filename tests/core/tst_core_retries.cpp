// A reply lost or spoilt on the line costs one repeated frame; one lost
// again after the repetition costs the file another attempt, not the whole
// operation; what cannot work on a second attempt is not made again.
#include "coretest.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "transfers.h"

#include <QLoggingCategory>

#include <mutex>

Q_DECLARE_METATYPE(sim::Faults)

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

int stagesOf(const QList<core::Progress>& seen, Stage stage)
{
    int n = 0;
    for (const core::Progress& p : seen)
        n += p.stage == stage ? 1 : 0;
    return n;
}

} // namespace

class TestCoreRetries : public QObject {
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
    void cleanup() { sim::Bus::instance().uninstall(); }

    void aSpoiltReplyCostsOneRepeatedFrame()
    {
        // A download, an upload and a replacement, each with one reply
        // spoilt in its middle: every file arrives whole, no file is
        // attempted twice, and the operations log tells of no retry.
        const QByteArray five = sequence(5, FileSize);
        sim::DeviceConfig c = recorderWith({{3, sequence(3, FileSize)}, {6, sequence(6, 100)}});
        c.faults.corruptAtFrame = 5;
        c.faults.faultOffset = 60;
        SimSetup s({c});
        QList<core::DownloadedFile> got;
        core::Result result = core::downloadFiles(&s.master, {{3, "S3"}},
                                                  [&](const core::DownloadedFile& f) { got << f; });
        QVERIFY2(result.ok(), qPrintable(result.reason));
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0].data, s.recorder().file(3).value());
        QCOMPARE(countOf(s.recorder(), mzt500::CmdFileSize), 1);
        QCOMPARE(countOf(s.recorder(), mzt500::CmdFileData), 12);

        sim::Faults f;
        f.dropAtFrame = 6;
        f.faultOffset = 3;
        s.recorder().clearLogs();
        s.recorder().setFaults(f);
        result = core::uploadFiles(&s.master, {item(5, five)});
        QVERIFY2(result.ok(), qPrintable(result.reason));
        QCOMPARE(*s.recorder().file(5), five);
        QCOMPARE(countOf(s.recorder(), mzt500::CmdSelectWrite), 1);
        // 64-byte chunks (no identification raised the master's frame size
        // from 80), and the one repeated.
        QCOMPARE(countOf(s.recorder(), mzt500::CmdWriteData), (FileSize + 63) / 64 + 1);
        QCOMPARE(countOf(s.recorder(), mzt500::CmdEndFailedWrite), 0);

        // The start of the old copy's deletion goes unanswered once.
        const QByteArray six = sequence(6, FileSize);
        f = {};
        f.silentCommand = mzt500::CmdDeleteControl;
        f.silentCount = 1;
        s.recorder().clearLogs();
        s.recorder().setFaults(f);
        result = core::uploadFiles(&s.master, {item(6, six)});
        QVERIFY2(result.ok(), qPrintable(result.reason));
        QCOMPARE(*s.recorder().file(6), six);
        QCOMPARE(countOf(s.recorder(), mzt500::CmdSelectDelete), 1);
        QVERIFY(retriesLogged().isEmpty());
    }

    void aFaultInTheMiddleOfAReadCostsOneMoreRead_data()
    {
        QTest::addColumn<sim::Faults>("faults");
        // Each fault spoils the reply to frame 5 and to its repetition.
        sim::Faults corrupt;
        corrupt.corruptAtFrame = 5;
        corrupt.faultCount = 2;
        corrupt.faultOffset = 60; // in the payload: the trailer no longer matches
        sim::Faults header = corrupt;
        header.faultOffset = 11;
        sim::Faults dropped;
        dropped.dropAtFrame = 5;
        dropped.faultCount = 2;
        dropped.faultOffset = 60; // the reply stays one byte short
        QTest::newRow("corrupted payload byte") << corrupt;
        QTest::newRow("corrupted header") << header;
        QTest::newRow("dropped byte") << dropped;
    }
    void aFaultInTheMiddleOfAReadCostsOneMoreRead()
    {
        QFETCH(sim::Faults, faults);
        sim::DeviceConfig c = recorderWith({{3, sequence(3, FileSize)}, {4, sequence(4, 300)}});
        c.faults = faults;
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
        // Frames: 13, 14, then the 32 write frames of S5 (2 to 33: 64-byte
        // chunks, as no identification raised the master's frame size from
        // 80); each fault spoils the reply to its frame and to that frame's
        // repetition.
        sim::Faults corrupt;
        corrupt.corruptAtFrame = 6;
        corrupt.faultCount = 2;
        corrupt.faultOffset = 12; // the status byte: the trailer no longer matches
        sim::Faults dropped;
        dropped.dropAtFrame = 6;
        dropped.faultCount = 2;
        dropped.faultOffset = 3;
        sim::Faults lastReply;
        lastReply.corruptAtFrame = 33; // the file is stored, its acknowledgement spoilt
        lastReply.faultCount = 2;
        lastReply.faultOffset = 11;
        QTest::newRow("corrupted status reply") << corrupt;
        QTest::newRow("dropped byte") << dropped;
        QTest::newRow("the last acknowledgement") << lastReply;
    }
    void aFaultInTheMiddleOfAWriteCostsOneMoreWrite()
    {
        QFETCH(sim::Faults, faults);
        const QByteArray five = sequence(5, FileSize);
        const QByteArray six = sequence(6, 500);
        sim::DeviceConfig c = recorderWith({{6, sequence(6, 100)}, {9, sequence(9, 100)}});
        c.faults = faults;
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

    void aFaultWhileReplacingCostsOneMoreAttempt()
    {
        // The start of the old copy's deletion goes unanswered, repeated
        // too: the next attempt finds the old copy still there and deletes it.
        const QByteArray six = sequence(6, FileSize);
        sim::DeviceConfig c = recorderWith({{6, sequence(6, 100)}});
        c.faults.silentCommand = mzt500::CmdDeleteControl;
        c.faults.silentCount = 2;
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
            // An attempt fails when a request and its repetition both go
            // unanswered.
            sim::Faults f;
            f.silentCommand = mzt500::CmdFileData;
            f.silentCount = 2 * faultCount;
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
            f.silentCount = 2 * faultCount;
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

    void aCancelStopsTheRetries()
    {
        SimSetup s({recorderWith({{3, sequence(3, FileSize)}})});
        sim::Faults f;
        f.silentCommand = mzt500::CmdFileData;
        f.silentCount = 2; // the request and its repetition
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
};

QTEST_GUILESS_MAIN(TestCoreRetries)
#include "tst_core_retries.moc"
