// Reading, writing and deleting stored files against the simulated recorder.
#include "kvpfileops.h"
#include "protocoltest.h"

namespace {

sim::DeviceConfig withFiles()
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.maxFrameSize = 200;
    c.files[3] = sim::makeFile(3, 1, 1000, 5000);
    c.files[120] = sim::makeFile(0, 0, 64, 0);
    return c;
}

std::vector<std::pair<int, int>> requests(sim::Recorder& r)
{
    std::vector<std::pair<int, int>> out;
    for (const sim::Frame& f : r.receivedFrames())
        out.emplace_back(f.command, f.parameter);
    return out;
}

} // namespace

class TestProtocolFileOps : public SimBusTest {
    Q_OBJECT
private slots:
    void readsStoredFiles()
    {
        SimSetup s({withFiles()});
        QByteArray data;
        quint32 announced = 0;
        QCOMPARE(kvp::readStoredFile(&s.master, 3, &data, [&](quint32 n) { announced = n; }),
                 kvp::StoredFileRead::Read);
        QCOMPARE(announced, 1000u);
        QCOMPARE(data, s.recorder().file(3).value());
        QCOMPARE(kvp::readStoredFile(&s.master, kvp::fileNumberForId(0), &data),
                 kvp::StoredFileRead::Read);
        QCOMPARE(data, s.recorder().file(120).value());

        // A failed size request is a missing file only if the recorder says so.
        QCOMPARE(kvp::readStoredFile(&s.master, 9, &data), kvp::StoredFileRead::Missing);
        QVERIFY(data.isEmpty());
        sim::Faults f;
        f.statusCommand = 9;
        f.status = sim::StatusRefused;
        s.recorder().setFaults(f);
        QCOMPARE(kvp::readStoredFile(&s.master, 3, &data), kvp::StoredFileRead::Failed);
    }

    void writesFiles()
    {
        SimSetup s({withFiles()});
        const QByteArray content = sim::makeFile(7, 1, 700, 1234);
        QVERIFY(kvp::writeStoredFile(&s.master, 7, content));
        QCOMPARE(s.recorder().file(7).value(), content);

        // An occupied number is refused before any data is sent.
        s.recorder().clearLogs();
        QTest::ignoreMessage(QtDebugMsg, "failed to select file to upload 1");
        QVERIFY(!kvp::writeStoredFile(&s.master, 3, content));
        QCOMPARE(requests(s.recorder()), (std::vector<std::pair<int, int>> {{14, 3}}));

        // A failed transfer is ended on the recorder.
        s.recorder().clearLogs();
        sim::Faults f;
        f.statusCommand = 15;
        f.status = sim::StatusRefused;
        f.statusCount = 2;
        s.recorder().setFaults(f);
        QVERIFY(!kvp::writeStoredFile(&s.master, 8, content));
        QVERIFY(!s.recorder().file(8));
        QCOMPARE(requests(s.recorder()).back(), (std::pair<int, int> {17, 0}));
    }

    void deletesWithProgress()
    {
        sim::DeviceConfig c = withFiles();
        c.deleteDurationMs = 250;
        c.pollBudget = 100;
        SimSetup s({c});
        std::vector<uint> progress;
        kvp::DeleteSequenceHooks hooks;
        hooks.onProgress = [&](uint p) { progress.push_back(p); };
        hooks.pollIntervalMs = 50;
        QVERIFY(kvp::deleteStoredFile(&s.master, 3, hooks));
        QVERIFY(progress.size() >= 2);
        QCOMPARE(progress.back(), 255u);
        QVERIFY(std::is_sorted(progress.begin(), progress.end()));
        QVERIFY(!s.recorder().file(3));
    }

    void aFileShorterThanAnnouncedFails()
    {
        SimSetup s({withFiles()});
        const QByteArray whole = s.recorder().file(3).value();
        QByteArray data;
        // The recorder announces 1000 bytes, then delivers 600 and ends.
        const kvp::StoredFileRead read = kvp::readStoredFile(
            &s.master, 3, &data, [&](quint32) { s.recorder().putFile(3, whole.left(600)); });
        QCOMPARE(read, kvp::StoredFileRead::Failed);
        QVERIFY(data.isEmpty());
    }

    void aSpentPollBudgetEndsWithoutWaiting()
    {
        // A budget of zero is used up after the first poll, as one of 1 is,
        // instead of wrapping and polling for as long as the recorder works.
        for (const std::uint32_t budget : {0u, 1u}) {
            sim::DeviceConfig c = withFiles();
            c.deleteDurationMs = 600'000;
            c.pollBudget = budget;
            SimSetup s({c});
            kvp::DeleteSequenceHooks hooks;
            // Were it to wait for another poll, this interval would outlast
            // the test's time-out.
            hooks.pollIntervalMs = 3'600'000;
            int polls = 0;
            hooks.onProgress = [&](uint) { ++polls; };
            QVERIFY(!kvp::deleteStoredFile(&s.master, 3, hooks));
            QCOMPARE(polls, 1);
        }
    }

    void deletionFailures()
    {
        sim::DeviceConfig c = withFiles();
        c.deleteDurationMs = 10'000;
        SimSetup s({c});
        kvp::DeleteSequenceHooks hooks;
        hooks.pollIntervalMs = 5000;

        // The recorder's file-system error ends it with its number logged.
        sim::Faults f;
        f.deletionError = 3;
        s.recorder().setFaults(f);
        QTest::ignoreMessage(QtDebugMsg, "KVFSError 3");
        QVERIFY(!kvp::deleteStoredFile(&s.master, 3, hooks));

        // An abort is noticed right after the start request.
        s.recorder().clearFaults();
        s.recorder().clearLogs();
        hooks.abortRequested = [] { return true; };
        QVERIFY(!kvp::deleteStoredFile(&s.master, 3, hooks));
        QCOMPARE(requests(s.recorder()), (std::vector<std::pair<int, int>> {{11, 3}, {12, 0}}));

        // The caller may still decline between the select and the start.
        s.recorder().clearLogs();
        hooks.abortRequested = {};
        hooks.beforeStart = [] { return false; };
        QVERIFY(!kvp::deleteStoredFile(&s.master, 3, hooks));
        QCOMPARE(requests(s.recorder()), (std::vector<std::pair<int, int>> {{11, 3}}));
        QVERIFY(s.recorder().file(3));

        // Nothing to delete.
        QTest::ignoreMessage(QtDebugMsg, "failed to select file to delete");
        QVERIFY(!kvp::deleteStoredFile(&s.master, 9, {}));
    }

    void abortDuringTheSelectForWritingStopsTheWrite()
    {
        SimSetup s({withFiles()});
        s.recorder().setRequestObserver([&](const sim::Frame& f) {
            if (f.command == mzt500::CmdSelectWrite)
                s.master.requestAbort();
        });
        QVERIFY(!kvp::writeStoredFile(&s.master, 7, sim::makeFile(7, 1, 700, 1234)));
        s.recorder().setRequestObserver({});
        // No data went out, and the recorder was told the write ended.
        QCOMPARE(requests(s.recorder()),
                 (std::vector<std::pair<int, int>> {{mzt500::CmdSelectWrite, 7},
                                                    {mzt500::CmdEndFailedWrite, 0}}));
        QVERIFY(!s.recorder().file(7));
    }
};

QTEST_GUILESS_MAIN(TestProtocolFileOps)
#include "tst_protocol_fileops.moc"
