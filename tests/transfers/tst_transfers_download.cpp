// Download from the simulated recorder into the archive, through the
// window's command and its worker.
#include "transferstest.h"

#include "mztfilesdownloader.h"

#include <QtEndian>

Q_DECLARE_METATYPE(sim::RepeatedFrames)

using namespace transfers;

namespace {

sim::DeviceConfig threeFiles()
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.files[120] = settingsFile(1000);
    c.files[3] = sequenceFile(3, 5000, 3725400);
    c.files[7] = sequenceFile(7, 16, 0);
    return c;
}

} // namespace

class TestDownload : public QObject {
    Q_OBJECT

private slots:
    void copiesSelectedFilesIntoEmptyArchive();
    void replaceQuestionNamesTheEntryTheDownloadRefills();
    void answeringYesRefillsEntryAndMarksNamedArchive();
    void damagedFilesFailWithoutTouchingTheArchive_data();
    void damagedFilesFailWithoutTouchingTheArchive();
    void fileTheRecorderLostIsSkipped();
    void oversizedAnnouncementFails();
    void workerRestoresTimeoutAndCountsLargeFiles();
    void busyRecorderIsReported();
    void cancelStopsTheDownload();
    void unplugDuringDownloadEndsCleanly();
    void recorderLostWhileQuestionIsOpenStartsNothing();
    void corruptedRepliesNeverReachTheArchive_data();
    void corruptedRepliesNeverReachTheArchive();
    void anAbortRightAfterTheStartIsKept();
};

void TestDownload::copiesSelectedFilesIntoEmptyArchive()
{
    WindowFixture f(threeFiles());
    QVERIFY(f.waitReady());
    f.recordProgress();
    MessageBoxDriver boxes;
    f.recorder->clearLogs();

    WindowFixture::selectIds(f.devTable(), {0, 3, 7});
    f.window->ui()->toArchive->click();
    QVERIFY(f.window->isBusy());
    QVERIFY(f.waitIdle());

    QVERIFY2(boxes.seen().empty(), qPrintable(boxes.texts().join(QLatin1Char('|'))));
    const QList<ArchiveEntry*>& entries = f.archive()->entries();
    QCOMPARE(entries.size(), 3);
    for (const ArchiveEntry* e : entries) {
        const int number = e->id() == 0 ? 120 : e->id();
        QCOMPARE(e->content(), *f.recorder->file(std::uint16_t(number)));
        QCOMPARE(e->type(), e->id() == 0 ? 0 : 1);
        QCOMPARE(e->duration(), qFromLittleEndian<quint32>(e->content().constData() + 12));
    }
    QStringList names;
    for (const ArchiveEntry* e : entries)
        names << e->name();
    QVERIFY(names.contains(QStringLiteral("SETTINGS")));
    QVERIFY(names.contains(QStringLiteral("SEQUENCE 03")));
    QVERIFY(names.contains(QStringLiteral("SEQUENCE 07")));
    QVERIFY(f.archive()->isModified());

    // The settings are file number 120 on the recorder.
    QList<int> sizeRequests;
    for (const sim::Frame& frame : framesOf(*f.recorder, 9))
        sizeRequests << frame.parameter;
    std::sort(sizeRequests.begin(), sizeRequests.end());
    QCOMPARE(sizeRequests, (QList<int> {3, 7, 120}));

    // One overall step per file, ending at 100; the current-file bar ends
    // each file at 100.
    QCOMPARE(f.totalValues, (QList<int> {33, 66, 100}));
    QVERIFY(f.currentValues.contains(100));
    for (int v : f.currentValues)
        QVERIFY(v >= 0 && v <= 100);
    QVERIFY(f.window->ui()->progrBarCurrent->isHidden());
    QCOMPARE(f.archTable()->rowCount(), 3);
}

void TestDownload::replaceQuestionNamesTheEntryTheDownloadRefills()
{
    WindowFixture f(threeFiles());
    QVERIFY(f.waitReady());
    // Two entries share id 3: the download refills the last, so the
    // question must name that one.
    const QByteArray oldContent = sequenceFile(3, 100);
    f.addEntries({makeEntry(3, 1, oldContent, QStringLiteral("FIRST COPY")),
                  makeEntry(3, 1, oldContent, QStringLiteral("SECOND COPY"))});
    f.archive()->setModified(false);
    f.recorder->clearLogs();
    MessageBoxDriver boxes;
    boxes.plan(QMessageBox::Abort);

    WindowFixture::selectIds(f.devTable(), {3, 7});
    f.window->save_in_arch();

    QCOMPARE(int(boxes.seen().size()), 1);
    QCOMPARE(boxes.seen()[0].text,
             QStringLiteral("Do you want to replace the folowing\nfiles? \nSECOND COPY"));
    QCOMPARE(boxes.seen()[0].defaultButton, QMessageBox::Abort);
    // Abort starts nothing and leaves the command available.
    QVERIFY(!f.window->isBusy());
    QVERIFY(f.window->ui()->toArchive->isEnabled());
    QVERIFY(framesOf(*f.recorder, 9).empty());
    QCOMPARE(f.archive()->entries().size(), 2);
    QCOMPARE(f.archive()->entries()[1]->content(), oldContent);
    QVERIFY(!f.archive()->isModified());
}

void TestDownload::answeringYesRefillsEntryAndMarksNamedArchive()
{
    WindowFixture f(threeFiles(), /*namedArchive=*/true);
    QVERIFY(f.waitReady());
    const QByteArray oldContent = sequenceFile(3, 100);
    f.addEntries({makeEntry(3, 1, oldContent, QStringLiteral("FIRST COPY")),
                  makeEntry(9, 1, sequenceFile(9, 40), QStringLiteral("SEQUENCE 09")),
                  makeEntry(3, 1, oldContent, QStringLiteral("SECOND COPY"))});
    f.archive()->setModified(false);
    f.window->updateArchLabel();
    QVERIFY(!f.window->ui()->archLabel->text().contains(QStringLiteral(" *")));
    MessageBoxDriver boxes;
    boxes.plan(QMessageBox::Yes);

    QVERIFY(f.downloadIds({3}));

    const QList<ArchiveEntry*>& entries = f.archive()->entries();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries[0]->content(), oldContent); // the first copy stays
    QCOMPARE(entries[0]->name(), QStringLiteral("FIRST COPY"));
    QCOMPARE(entries[2]->content(), *f.recorder->file(3)); // refilled in place
    QCOMPARE(entries[2]->name(), QStringLiteral("SEQUENCE 03"));
    QVERIFY(f.archive()->isModified());
    QVERIFY(f.window->ui()->archLabel->text().contains(QStringLiteral("backup.mzt *")));
}

void TestDownload::damagedFilesFailWithoutTouchingTheArchive_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("header only") << 16 << true;
    QTest::newRow("15 bytes") << 15 << false;
    QTest::newRow("17 bytes") << 17 << false;
}

void TestDownload::damagedFilesFailWithoutTouchingTheArchive()
{
    QFETCH(int, length);
    QFETCH(bool, accepted);
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.files[4] = sequenceFile(4, 18).left(length); // replaces an entry
    c.files[6] = sequenceFile(6, 18).left(length); // would be a new entry
    WindowFixture f(c);
    QVERIFY(f.waitReady());
    const QByteArray kept = f.addSequence(4, 300);
    MessageBoxDriver boxes;
    boxes.plan(QMessageBox::Yes);

    // The new file first, so both paths are taken when the file is good.
    QVERIFY(f.downloadIds({6, 4}));

    const QList<ArchiveEntry*>& entries = f.archive()->entries();
    const QString failure =
        QStringLiteral("An error has ocurred while trying to download data\nform a device.");
    if (accepted) {
        QVERIFY(!boxes.texts().contains(failure));
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries[0]->content(), *f.recorder->file(4));
        QCOMPARE(entries[1]->content(), *f.recorder->file(6));
        return;
    }
    QVERIFY(boxes.texts().contains(failure));
    QCOMPARE(boxes.seen().back().icon, QMessageBox::Warning);
    // The failing new file added nothing, and the download stopped before
    // the entry that was already there, which is exactly as it was.
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries[0]->id(), 4);
    QCOMPARE(entries[0]->content(), kept);
    QCOMPARE(entries[0]->name(), QStringLiteral("SEQUENCE 04"));

    // The same file replacing an entry fails with the entry untouched.
    boxes.clear();
    boxes.plan(QMessageBox::Yes);
    QVERIFY(f.downloadIds({4}));
    QVERIFY(boxes.texts().contains(failure));
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries[0]->content(), kept);
    QCOMPARE(entries[0]->duration(), qFromLittleEndian<quint32>(kept.constData() + 12));
}

void TestDownload::fileTheRecorderLostIsSkipped()
{
    WindowFixture f(threeFiles());
    QVERIFY(f.waitReady());
    MessageBoxDriver boxes;
    // Listed, but gone by the time it is asked for.
    f.recorder->removeFile(3);

    QVERIFY(f.downloadIds({3, 7}));

    QVERIFY2(boxes.seen().empty(), qPrintable(boxes.texts().join(QLatin1Char('|'))));
    QCOMPARE(f.archive()->entries().size(), 1);
    QCOMPARE(f.archive()->entries()[0]->id(), 7);
    QCOMPARE(f.archive()->entries()[0]->content(), *f.recorder->file(7));
    QCOMPARE(f.devTable()->rowCount(), 2); // refreshed after the command
}

void TestDownload::oversizedAnnouncementFails()
{
    sim::DeviceConfig c = recorderHolding({{2, 64}});
    c.files[5] = sequenceFile(5, 64 * 1024 * 1024 + 2);
    WindowFixture f(c);
    QVERIFY(f.waitReady());
    MessageBoxDriver boxes;

    QVERIFY(f.downloadIds({5, 2}));

    QCOMPARE(boxes.texts(),
             QStringList {QStringLiteral(
                 "An error has ocurred while trying to download data\nform a device.")});
    // The size is refused before any data is asked for; what came before stays.
    QVERIFY(framesOf(*f.recorder, 10).size() == 1);
    QCOMPARE(f.archive()->entries().size(), 1);
    QCOMPARE(f.archive()->entries()[0]->id(), 2);
}

void TestDownload::workerRestoresTimeoutAndCountsLargeFiles()
{
    // 45 MB: its byte count times 100 does not fit in 32 bits.
    constexpr int bigSize = 45 * 1000 * 1000;
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.files[1] = sequenceFile(1, bigSize);
    c.timing = sim::Timing::Wire;
    WindowFixture f(c);
    QVERIFY(f.waitReady(60000));
    QCOMPARE(f.master()->getTimeout(), 1000);

    f.window->enterBusy();
    MZTFilesDownLoader worker;
    worker.setMainWindow(f.window.get());
    QList<int> timeoutAtResult;
    QObject::connect(
        &worker, &MZTFilesDownLoader::failed, &worker,
        [&] { timeoutAtResult << f.master()->getTimeout(); }, Qt::DirectConnection);
    // Recorded in this thread: emissions from the worker arrive queued.
    QList<int> current;
    QObject::connect(&worker, &MZTFilesDownLoader::progress_current, qApp,
                     [&](int v) { current << v; });
    WindowFixture::selectIds(f.devTable(), {1});

    worker.start();
    // Wait until the data of the big file is being read, then feed the
    // counter a late byte count as the master would report it.
    QVERIFY(QTest::qWaitFor([&] { return !framesOf(*f.recorder, 10).empty(); }, 20000));
    QTest::qWait(50);
    current.clear();
    worker.onBytesReceived(bigSize - 450000);
    QCOMPARE(current, QList<int> {99});

    worker.abort();
    QVERIFY(QTest::qWaitFor([&] { return worker.isFinished(); }, 20000));
    worker.acquireResults();
    QTest::qWait(20); // let queued progress of the run arrive before clearing
    // The failure is emitted only once the usual time-out is back.
    QCOMPARE(timeoutAtResult, QList<int> {1000});
    QCOMPARE(f.master()->getTimeout(), 1000);
    QVERIFY(f.archive()->entries().isEmpty());

    // Counts arriving after the run are ignored.
    current.clear();
    worker.onBytesReceived(0xFFFFFFFFu);
    QCOMPARE(current.size(), 0);
    f.window->operationDone();
}

void TestDownload::busyRecorderIsReported()
{
    WindowFixture f(threeFiles());
    QVERIFY(f.waitReady());
    f.recorder->setTransferMode(false);
    f.recorder->setRefuseTransferMode(true);
    MessageBoxDriver boxes;

    QVERIFY(f.downloadIds({3}));

    QCOMPARE(int(boxes.seen().size()), 1);
    QCOMPARE(boxes.seen()[0].text, QStringLiteral("The device is currently busy."));
    QCOMPARE(boxes.seen()[0].icon, QMessageBox::Information);
    QVERIFY(f.archive()->entries().isEmpty());
    QCOMPARE(f.master()->getTimeout(), 1000);
}

void TestDownload::cancelStopsTheDownload()
{
    sim::DeviceConfig c = threeFiles();
    c.files[9] = sequenceFile(9, 200000);
    c.timing = sim::Timing::Wire;
    WindowFixture f(c);
    QVERIFY(f.waitReady());
    MessageBoxDriver boxes;

    WindowFixture::selectIds(f.devTable(), {3, 9});
    f.window->save_in_arch();
    QVERIFY(!f.window->ui()->abortButton->isHidden());
    // Cancel once the big file's data is on its way (the small one is then
    // in the archive; the archive itself is the worker's until it ends).
    // The small file takes three data requests at this frame size.
    QVERIFY(QTest::qWaitFor(
        [&] {
            const auto sizes = framesOf(*f.recorder, 9);
            return !sizes.empty() && sizes.back().parameter == 9
                && framesOf(*f.recorder, 10).size() >= 5;
        },
        20000));
    f.window->ui()->abortButton->click();
    QVERIFY(f.waitIdle());

    QCOMPARE(boxes.texts(),
             QStringList {QStringLiteral("The download was cancelled; 1 file had been copied "
                                         "into the archive before.")});
    QCOMPARE(f.archive()->entries().size(), 1); // the file copied before stays
    QCOMPARE(f.archive()->entries()[0]->id(), 3);
    QVERIFY(f.window->ui()->abortButton->isHidden());
    QCOMPARE(f.devTable()->rowCount(), 4); // content refreshed
    QCOMPARE(f.master()->getTimeout(), 1000);
}

void TestDownload::unplugDuringDownloadEndsCleanly()
{
    sim::DeviceConfig c = threeFiles();
    c.files[9] = sequenceFile(9, 60000);
    WindowFixture f(c);
    QVERIFY(f.waitReady());
    MessageBoxDriver boxes;
    sim::Faults faults;
    // Gone halfway through the big file, after the small one arrived.
    faults.vanishAfterBytes = 5000 + 30000;
    f.recorder->setFaults(faults);

    QVERIFY(f.downloadIds({3, 9}));

    QVERIFY(boxes.texts().contains(
        QStringLiteral("An error has ocurred while trying to download data\nform a device.")));
    QCOMPARE(f.archive()->entries().size(), 1);
    QCOMPARE(f.archive()->entries()[0]->content(), *f.recorder->file(3));
    QCOMPARE(f.master()->getTimeout(), 1000);
    // The window noticed the loss and emptied the device table.
    QVERIFY(QTest::qWaitFor([&] { return f.devTable()->rowCount() == 0 && !f.window->isBusy(); },
                            10000));
}

void TestDownload::recorderLostWhileQuestionIsOpenStartsNothing()
{
    WindowFixture f(threeFiles());
    QVERIFY(f.waitReady());
    f.addSequence(3, 100);
    MessageBoxDriver boxes;
    bool unplugged = false;
    answerYesAfterUnplugging(boxes, f, &unplugged);

    WindowFixture::selectIds(f.devTable(), {3});
    f.recorder->clearLogs();
    f.window->save_in_arch();
    QVERIFY(unplugged);
    QVERIFY(f.waitIdle());

    QVERIFY(framesOf(*f.recorder, 9).empty());
    QCOMPARE(f.archive()->entries().size(), 1);
    QCOMPARE(f.archive()->entries()[0]->content(), sequenceFile(3, 100));
}

void TestDownload::corruptedRepliesNeverReachTheArchive_data()
{
    QTest::addColumn<int>("frame");
    QTest::addColumn<int>("offset");
    QTest::addColumn<bool>("repeatRequested");
    QTest::addColumn<sim::RepeatedFrames>("repeated");
    // Frames counted from the transfer-mode query: the size reply, then the
    // data replies of the file. A damaged byte in a header, the payload or
    // a trailer; or a reply asking for the frame again.
    for (sim::RepeatedFrames repeated : sim::kRepeatedFrameBehaviours) {
        const char* name = sim::nameOf(repeated);
        QTest::addRow("size reply header, %s", name) << 1 << 3 << false << repeated;
        QTest::addRow("size reply payload, %s", name) << 1 << 13 << false << repeated;
        QTest::addRow("data header checksum, %s", name) << 2 << 11 << false << repeated;
        QTest::addRow("data payload, %s", name) << 3 << 200 << false << repeated;
        QTest::addRow("data trailer, %s", name) << 4 << 12 + 498 << false << repeated;
        QTest::addRow("repeat asked, %s", name) << 3 << 0 << true << repeated;
    }
}

void TestDownload::corruptedRepliesNeverReachTheArchive()
{
    QFETCH(int, frame);
    QFETCH(int, offset);
    QFETCH(bool, repeatRequested);
    QFETCH(sim::RepeatedFrames, repeated);
    sim::DeviceConfig c = recorderHolding({{8, 3000}});
    c.maxFrameSize = 512;
    c.repeatedFrames = repeated;
    WindowFixture f(c);
    QVERIFY(f.waitReady());
    MessageBoxDriver boxes;
    const sim::Faults faults = replyFault(frame, offset, repeatRequested);
    f.recorder->setFaults(faults);

    QVERIFY(f.downloadIds({8}));

    // The damaged reply costs the file another read from its start: it
    // arrives whole, never with a block missing or twice.
    QVERIFY2(boxes.seen().empty(), qPrintable(boxes.texts().join(QLatin1Char('|'))));
    const QList<ArchiveEntry*>& entries = f.archive()->entries();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries[0]->content(), *f.recorder->file(8));
}

void TestDownload::anAbortRightAfterTheStartIsKept()
{
    WindowFixture f(threeFiles());
    QVERIFY(f.waitReady());
    WindowFixture::selectIds(f.devTable(), {3});
    MZTFilesDownLoader worker;
    startAndAbortAtOnce(f, worker, [](const sim::Frame& frame) { return frame.command == 10; });
    QVERIFY(f.archive()->entries().isEmpty());
}

QTEST_MAIN(TestDownload)
#include "tst_transfers_download.moc"
