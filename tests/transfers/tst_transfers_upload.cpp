// The upload check and the upload from the archive to the simulated
// recorder, through the window's command and through the workers.
#include "transferstest.h"

#include "mztfilesuploader.h"
#include "mztfileuploadchecker.h"

#include <QSignalSpy>
#include <QtEndian>

Q_DECLARE_METATYPE(sim::RepeatedFrames)

using namespace transfers;

namespace {

const QString uploadFailed = QStringLiteral("Upload has failed.");
const QString overwriteQuestion = QStringLiteral("Do you want to overwrite the\nfollowing files?");

quint32 word(const QByteArray& content, int index)
{
    return qFromLittleEndian<quint32>(content.constData() + 4 * index);
}

// A recorder at the line's own speed holding sequence 2: slow enough to
// act, or to follow the bars, while files are written.
sim::DeviceConfig wireTimedRecorder(std::uint16_t frameSize)
{
    sim::DeviceConfig c = recorderHolding({{2, 100}});
    c.maxFrameSize = frameSize;
    c.timing = sim::Timing::Wire;
    return c;
}

} // namespace

class TestUpload : public QObject {
    Q_OBJECT

private slots:
    void checkListsWhatTheUploadWouldOverwrite();
    void uploadsNewFilesAfterTheSettingsQuestion();
    void replacingDeletesFirstAndSharesTheBar();
    void answeringNoWritesNothing();
    void deletionPollBudgets_data();
    void deletionPollBudgets();
    void deletionErrorFailsWithTheUsualTimeout();
    void renumberedEntryIsWrittenUnderItsNewNumber();
    void busyRecorderIsReported();
    void cancelStopsTheUpload();
    void unplugDuringUploadKeepsFilesWrittenBefore();
    void damagedAcknowledgementsNeverLeaveAWrongFile_data();
    void damagedAcknowledgementsNeverLeaveAWrongFile();
    void anAbortRightAfterTheStartIsKept();
};

void TestUpload::checkListsWhatTheUploadWouldOverwrite()
{
    WindowFixture f(recorderHolding({{5, 100}, {7, 100}})); // the recorder holds no settings
    QVERIFY(f.waitReady());
    f.addEntries({makeEntry(0, 0, settingsFile(), QStringLiteral("SETTINGS")),
                  makeEntry(5, 1, sequenceFile(5, 40), QStringLiteral("SEQUENCE 05")),
                  makeEntry(6, 1, sequenceFile(6, 40), QStringLiteral("SEQUENCE 06")),
                  // Same id twice: the upload writes the last, a sequence
                  // the recorder holds, so the check must list it.
                  makeEntry(7, 2, sequenceFile(7, 40), QStringLiteral("UNKNOWN")),
                  makeEntry(7, 1, sequenceFile(7, 40), QStringLiteral("SEQUENCE 07"))});

    f.window->enterBusy();
    MZTFileUpLoadChecker checker;
    checker.setMainWindow(f.window.get());
    // Recorded in the checker's thread when it reports; read once it ended.
    struct Result {
        bool ok = false;
        bool overwrites = false;
        QStringList files;
        int timeout = 0;
    };
    std::vector<Result> results;
    QObject::connect(
        &checker, &MZTFileUpLoadChecker::done, &checker,
        [&](bool ok, bool overwrites, QStringList* files) {
            results.push_back({ok, overwrites,
                               files ? *files : QStringList {QStringLiteral("<null>")},
                               f.master()->getTimeout()});
        },
        Qt::DirectConnection);
    const auto check = [&](const QList<int>& ids) -> Result {
        if (ids.isEmpty())
            f.archTable()->clearSelection();
        else
            WindowFixture::selectIds(f.archTable(), ids);
        results.clear();
        checker.start();
        if (!QTest::qWaitFor([&] { return checker.isFinished(); }, 10000))
            return {};
        checker.acquireResults();
        return results.size() == 1 ? results.front() : Result {};
    };

    Result r = check({0, 5, 6, 7});
    QCOMPARE(r.ok, true);
    QCOMPARE(r.overwrites, true);
    r.files.sort();
    QCOMPARE(r.files,
             (QStringList {QStringLiteral("SEQUENCE 05"), QStringLiteral("SEQUENCE 07"),
                           QStringLiteral("SETTINGS")}));
    // Every result comes with the window's own reply time-out back in place.
    QCOMPARE(r.timeout, 1000);

    // Nothing the recorder holds: checked, nothing to overwrite.
    r = check({6});
    QCOMPARE(r.ok, true);
    QCOMPARE(r.overwrites, false);
    QCOMPARE(r.files, QStringList {});

    r = check({});
    QCOMPARE(r.ok, true);
    QCOMPARE(r.overwrites, false);
    QCOMPARE(r.timeout, 1000);

    // An existence request that gets no answer stops the check.
    sim::Faults silent;
    silent.silentCommand = 13;
    f.recorder->setFaults(silent);
    r = check({5});
    QCOMPARE(r.ok, false);
    QCOMPARE(r.timeout, 1000);
    f.recorder->clearFaults();
    f.window->operationDone();
}

void TestUpload::uploadsNewFilesAfterTheSettingsQuestion()
{
    WindowFixture f(wireTimedRecorder(256));
    QVERIFY(f.waitReady());
    const QByteArray settings = settingsFile(600);
    const QByteArray seq3 = sequenceFile(3, 4000);
    f.addEntries({makeEntry(0, 0, settings, QStringLiteral("SETTINGS")),
                  makeEntry(3, 1, seq3, QStringLiteral("SEQUENCE 03")),
                  // Not a file the recorder keeps: passed over.
                  makeEntry(5, 2, sequenceFile(5, 40), QStringLiteral("UNKNOWN"))});
    f.recordProgress();
    MessageBoxDriver boxes;
    boxes.plan(QMessageBox::Ok);

    WindowFixture::selectIds(f.archTable(), {0, 3, 5});
    f.window->ui()->toDevice->click();
    QVERIFY(f.waitIdle());

    // The settings are always asked about, even when the recorder has none.
    QCOMPARE(int(boxes.seen().size()), 1);
    QCOMPARE(boxes.seen()[0].text, overwriteQuestion + QStringLiteral("\nSETTINGS"));
    QCOMPARE(boxes.seen()[0].defaultButton, QMessageBox::No);
    QCOMPARE(*f.recorder->file(120), settings);
    QCOMPARE(*f.recorder->file(3), seq3);
    QVERIFY(!f.recorder->file(5));
    QVERIFY(framesOf(*f.recorder, 11).empty()); // nothing had to be deleted
    // Three rows: each advances the overall bar, the passed-over one too.
    QCOMPARE(f.totalValues, (QList<int> {33, 66, 100}));
    // The write's last share can arrive after the worker ended and is then
    // dropped; what arrives stays within the bar.
    QVERIFY(!f.currentValues.isEmpty());
    for (int v : f.currentValues)
        QVERIFY(v >= 0 && v <= 100);
    QCOMPARE(f.devTable()->rowCount(), 3); // the recorder's content again
    QVERIFY(f.window->ui()->abortButton->isHidden());
}

void TestUpload::replacingDeletesFirstAndSharesTheBar()
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.maxFrameSize = 256;
    c.timing = sim::Timing::Wire;
    c.deleteDurationMs = 350;
    c.files[120] = settingsFile(500);
    c.files[5] = sequenceFile(5, 3000);
    WindowFixture f(c);
    QVERIFY(f.waitReady());
    QByteArray replacement = sequenceFile(5, 5000);
    replacement[100] = 'x';
    const QByteArray settings = settingsFile(800);
    f.addEntries({makeEntry(5, 1, replacement, QStringLiteral("SEQUENCE 05")),
                  makeEntry(0, 0, settings, QStringLiteral("SETTINGS"))});
    MessageBoxDriver boxes;
    boxes.plan(QMessageBox::Ok);

    WindowFixture::selectIds(f.archTable(), {5});
    f.recordProgress();
    f.window->transfer_to_dev();
    QVERIFY(f.waitIdle());

    QCOMPARE(boxes.texts(), QStringList {overwriteQuestion + QStringLiteral("\nSEQUENCE 05")});
    QCOMPARE(*f.recorder->file(5), replacement);
    // The deletion fills the bar up to 30, the write from 30 to 100.
    const QList<int> v = f.currentValues;
    const qsizetype firstWrite = v.indexOf(30);
    QVERIFY2(firstWrite > 0, qPrintable(QString::number(v.size())));
    for (qsizetype i = 0; i < firstWrite; ++i)
        QVERIFY(v[i] >= 0 && v[i] < 30);
    QVERIFY(std::any_of(v.begin(), v.begin() + firstWrite, [](int x) { return x > 0; }));
    for (qsizetype i = firstWrite; i < v.size() - 1; ++i)
        QVERIFY(v[i] >= 30 && v[i] <= 100);
    QVERIFY(std::any_of(v.begin() + firstWrite, v.end(), [](int x) { return x > 30; }));

    // The settings are checked, deleted and written as file number 120.
    boxes.clear();
    boxes.plan(QMessageBox::Ok);
    f.recorder->clearLogs();
    QVERIFY(f.uploadIds({0}));
    QCOMPARE(*f.recorder->file(120), settings);
    QCOMPARE(framesOf(*f.recorder, 11).size(), std::size_t(1));
    QCOMPARE(framesOf(*f.recorder, 11)[0].parameter, 120);
    QCOMPARE(framesOf(*f.recorder, 14)[0].parameter, 120);
}

void TestUpload::answeringNoWritesNothing()
{
    WindowFixture f(recorderHolding({{5, 300}}));
    QVERIFY(f.waitReady());
    f.addSequence(5, 900);
    MessageBoxDriver boxes;
    boxes.plan(QMessageBox::No);
    f.recorder->clearLogs();

    QVERIFY(f.uploadIds({5}));

    QCOMPARE(boxes.texts(), QStringList {overwriteQuestion + QStringLiteral("\nSEQUENCE 05")});
    QCOMPARE(*f.recorder->file(5), sequenceFile(5, 300));
    QVERIFY(framesOf(*f.recorder, 11).empty());
    QVERIFY(framesOf(*f.recorder, 14).empty());
    QVERIFY(f.window->ui()->progrBarCurrent->isHidden());
    QVERIFY(f.window->ui()->archTable->isEnabled());

    // The window is free for the next command: a second upload runs.
    boxes.plan(QMessageBox::Ok);
    QVERIFY(f.uploadIds({5}));
    QCOMPARE(*f.recorder->file(5), sequenceFile(5, 900));
}

void TestUpload::deletionPollBudgets_data()
{
    QTest::addColumn<int>("budget");
    QTest::addColumn<int>("deleteMs");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<int>("progressPolls");
    // The budget counts the polls that did not report the end.
    QTest::newRow("done at the first poll") << 1 << 0 << true << 1;
    QTest::newRow("budget 1, slower deletion") << 1 << 400 << false << 1;
    // A budget of 0 is used up at once instead of wrapping into no limit.
    QTest::newRow("budget 0, slower deletion") << 0 << 400 << false << 1;
}

void TestUpload::deletionPollBudgets()
{
    QFETCH(int, budget);
    QFETCH(int, deleteMs);
    QFETCH(bool, succeeds);
    QFETCH(int, progressPolls);
    sim::DeviceConfig c = recorderHolding({{9, 300}});
    c.pollBudget = std::uint32_t(budget);
    c.deleteDurationMs = deleteMs;
    WindowFixture f(c);
    QVERIFY(f.waitReady());
    const QByteArray replacement = f.addSequence(9, 700);
    MessageBoxDriver boxes;
    boxes.plan(QMessageBox::Ok);
    f.recorder->clearLogs();

    QVERIFY(f.uploadIds({9}));

    int polls = 0;
    for (const sim::Frame& frame : framesOf(*f.recorder, 12))
        polls += frame.parameter == 1 ? 1 : 0;
    QCOMPARE(polls, progressPolls);
    if (succeeds) {
        QCOMPARE(boxes.seen().size(), std::size_t(1));
        QCOMPARE(*f.recorder->file(9), replacement);
    } else {
        QCOMPARE(boxes.texts().last(), uploadFailed);
        QVERIFY(framesOf(*f.recorder, 14).empty());
    }
    QCOMPARE(f.master()->getTimeout(), 1000);
}

void TestUpload::deletionErrorFailsWithTheUsualTimeout()
{
    WindowFixture f(recorderHolding({{4, 300}, {6, 300}}));
    QVERIFY(f.waitReady());
    f.addEntries({makeEntry(4, 1, sequenceFile(4, 500), QStringLiteral("SEQUENCE 04")),
                  makeEntry(6, 1, sequenceFile(6, 500), QStringLiteral("SEQUENCE 06"))});
    sim::Faults faults;
    faults.deletionError = 3;
    f.recorder->setFaults(faults);

    f.window->enterBusy();
    MZTFilesUpLoader uploader;
    uploader.setMainWindow(f.window.get());
    QList<int> timeoutAtResult;
    QObject::connect(
        &uploader, &MZTFilesUpLoader::failed, &uploader,
        [&] { timeoutAtResult << f.master()->getTimeout(); }, Qt::DirectConnection);
    QSignalSpy total(&uploader, &MZTFilesUpLoader::progress_total);
    WindowFixture::selectIds(f.archTable(), {4, 6});
    uploader.start();
    QVERIFY(QTest::qWaitFor([&] { return uploader.isFinished(); }, 20000));
    uploader.acquireResults();
    f.window->operationDone();

    QCOMPARE(timeoutAtResult, QList<int> {1000});
    QCOMPARE(total.size(), 0);
    // The failed deletion stopped the upload before anything was written.
    QCOMPARE(*f.recorder->file(4), sequenceFile(4, 300));
    QCOMPARE(*f.recorder->file(6), sequenceFile(6, 300));
    QVERIFY(framesOf(*f.recorder, 14).empty());
}

void TestUpload::renumberedEntryIsWrittenUnderItsNewNumber()
{
    WindowFixture f(recorderHolding({{5, 400}}));
    QVERIFY(f.waitReady());
    // Read from the recorder as sequence 5, then renumbered to 9 in the
    // archive and not saved since: its record still says 5.
    const QByteArray original = sequenceFile(5, 640, 4000);
    ArchiveEntry* entry = makeEntry(5, 1, original, QStringLiteral("SEQUENCE 05"));
    entry->setId(9);
    entry->setName(QStringLiteral("SEQUENCE 09"));
    entry->setDuration(12345);
    f.addEntries({entry});
    MessageBoxDriver boxes;

    QVERIFY(f.uploadIds({9}));

    QVERIFY2(boxes.seen().empty(), qPrintable(boxes.texts().join(QLatin1Char('|'))));
    QCOMPARE(*f.recorder->file(5), sequenceFile(5, 400)); // untouched
    const QByteArray written = *f.recorder->file(9);
    QCOMPARE(written.size(), original.size());
    QCOMPARE(word(written, 0), 9u);
    QCOMPARE(word(written, 1), 1u);
    QCOMPARE(word(written, 2), word(original, 2));
    QCOMPARE(word(written, 3), 12345u);
    QCOMPARE(written.mid(16), original.mid(16));
    // The archive itself is not changed by an upload.
    QCOMPARE(entry->content(), original);
    // The recorder now lists the file under its new number.
    QVERIFY(WindowFixture::rowOfId(f.devTable(), 9) >= 0);
}

void TestUpload::busyRecorderIsReported()
{
    WindowFixture f(recorderHolding({{2, 100}}));
    QVERIFY(f.waitReady());
    f.addSequence(3, 100);
    f.recorder->setTransferMode(false);
    f.recorder->setRefuseTransferMode(true);
    MessageBoxDriver boxes;

    QVERIFY(f.uploadIds({3}));

    QCOMPARE(boxes.texts(), QStringList {QStringLiteral("The device is currently busy.")});
    QVERIFY(!f.recorder->file(3));
    QCOMPARE(f.master()->getTimeout(), 1000);
}

void TestUpload::cancelStopsTheUpload()
{
    WindowFixture f(wireTimedRecorder(512));
    QVERIFY(f.waitReady());
    f.addEntries({makeEntry(8, 1, sequenceFile(8, 120000), QStringLiteral("SEQUENCE 08")),
                  makeEntry(9, 1, sequenceFile(9, 100), QStringLiteral("SEQUENCE 09"))});
    MessageBoxDriver boxes;

    WindowFixture::selectIds(f.archTable(), {8, 9});
    f.window->transfer_to_dev();
    QVERIFY(QTest::qWaitFor([&] { return f.window->ui()->progrBarCurrent->value() >= 10; }, 30000));
    f.window->ui()->abortButton->click();
    QVERIFY(f.waitIdle());

    QCOMPARE(boxes.texts(),
             QStringList {QStringLiteral(
                 "The upload was cancelled; 0 files had been written to the recorder before.")});
    QVERIFY(f.recorder->file(8) != sequenceFile(8, 120000));
    QVERIFY(!f.recorder->file(9));
    QCOMPARE(f.master()->getTimeout(), 1000);
}

void TestUpload::unplugDuringUploadKeepsFilesWrittenBefore()
{
    WindowFixture f(wireTimedRecorder(512));
    QVERIFY(f.waitReady());
    const QByteArray first = sequenceFile(3, 200);
    f.addEntries({makeEntry(3, 1, first, QStringLiteral("SEQUENCE 03")),
                  makeEntry(4, 1, sequenceFile(4, 60000), QStringLiteral("SEQUENCE 04"))});
    MessageBoxDriver boxes;

    WindowFixture::selectIds(f.archTable(), {3, 4});
    f.window->transfer_to_dev();
    // Unplug in the middle of the second file.
    QVERIFY(QTest::qWaitFor(
        [&] { return f.recorder->file(3) && f.window->ui()->progrBarCurrent->value() >= 20; },
        30000));
    f.recorder->vanish();
    QVERIFY(f.waitIdle());

    QVERIFY(boxes.texts().contains(uploadFailed));
    QCOMPARE(*f.recorder->file(3), first);
    QVERIFY(!f.recorder->file(4));
    QCOMPARE(f.master()->getTimeout(), 1000);
    QVERIFY(QTest::qWaitFor([&] { return f.devTable()->rowCount() == 0 && !f.window->isBusy(); },
                            10000));
}

void TestUpload::damagedAcknowledgementsNeverLeaveAWrongFile_data()
{
    QTest::addColumn<int>("frame");
    QTest::addColumn<int>("offset");
    QTest::addColumn<bool>("repeatRequested");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<sim::RepeatedFrames>("repeated");
    // Frames counted from the check's existence query; then the upload's
    // transfer-mode query, existence query, selection for writing and the
    // written frames. A check whose answer is spoilt cannot say what would
    // be overwritten: the upload does not start. A spoilt acknowledgement
    // costs the file another write from its start.
    for (sim::RepeatedFrames repeated : sim::kRepeatedFrameBehaviours) {
        const char* name = sim::nameOf(repeated);
        QTest::addRow("check reply, %s", name) << 0 << 11 << false << true << repeated;
        QTest::addRow("upload reply header, %s", name) << 2 << 3 << false << false << repeated;
        QTest::addRow("write ack checksum, %s", name) << 5 << 11 << false << false << repeated;
        QTest::addRow("write ack trailer, %s", name) << 7 << 12 << false << false << repeated;
        QTest::addRow("last write ack, %s", name) << 16 << 11 << false << false << repeated;
        QTest::addRow("write repeated, %s", name) << 6 << 0 << true << false << repeated;
    }
}

void TestUpload::damagedAcknowledgementsNeverLeaveAWrongFile()
{
    QFETCH(int, frame);
    QFETCH(int, offset);
    QFETCH(bool, repeatRequested);
    QFETCH(bool, fails);
    QFETCH(sim::RepeatedFrames, repeated);
    sim::DeviceConfig c = recorderHolding({{2, 100}});
    c.maxFrameSize = 256;
    c.repeatedFrames = repeated;
    WindowFixture f(c);
    QVERIFY(f.waitReady());
    const QByteArray content = f.addSequence(6, 3000);
    MessageBoxDriver boxes;
    const sim::Faults faults = replyFault(frame, offset, repeatRequested);

    WindowFixture::selectIds(f.archTable(), {6});
    // Set right before the command: the connection poll sends nothing
    // while the window is busy, so the frames are the command's own.
    f.recorder->setFaults(faults);
    f.window->transfer_to_dev();
    QVERIFY(f.waitIdle());

    if (fails) {
        QVERIFY2(!boxes.seen().empty(), "the failed check is not reported");
        QVERIFY(!f.recorder->file(6));
    } else {
        QVERIFY2(boxes.seen().empty(), qPrintable(boxes.texts().join(QLatin1Char('|'))));
        QCOMPARE(f.recorder->file(6), std::optional<QByteArray>(content));
    }
}

void TestUpload::anAbortRightAfterTheStartIsKept()
{
    WindowFixture f(sim::DeviceConfig::recorder());
    QVERIFY(f.waitReady());
    f.addSequence(5, 500);
    WindowFixture::selectIds(f.archTable(), {5});
    MZTFilesUpLoader uploader;
    startAndAbortAtOnce(f, uploader, [](const sim::Frame& frame) { return frame.command == 14; });
    QVERIFY(!f.recorder->file(5));
}

QTEST_MAIN(TestUpload)
#include "tst_transfers_upload.moc"
