// Deleting files on the simulated recorder, through the window's command
// and through the worker.
#include "transferstest.h"

#include "mztfilesdeleter.h"

#include <QSignalSpy>

using namespace transfers;

namespace {

const QString deleteFailed =
    QStringLiteral("An error has ocurred while trying to delete data\non a device.");
const QString deleteQuestion = QStringLiteral("Do you really want to delete these sequences?");

sim::DeviceConfig settingsAndTwo()
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.files[120] = settingsFile();
    c.files[3] = sequenceFile(3, 500);
    c.files[4] = sequenceFile(4, 500);
    return c;
}

// Deletions that take three seconds each: long enough to act during one.
sim::DeviceConfig slowDeletions()
{
    sim::DeviceConfig c = settingsAndTwo();
    c.deleteDurationMs = 3000;
    return c;
}

// Deletes ids through the window's command, answering its question with
// Yes, and returns once the recorder is deleting (false if it never began).
bool deletionUnderWay(WindowFixture& f, MessageBoxDriver& boxes, const QList<int>& ids)
{
    boxes.plan(QMessageBox::Yes);
    WindowFixture::selectIds(f.devTable(), ids);
    f.window->delete_on_dev();
    return QTest::qWaitFor([&f] { return f.window->ui()->progrBarCurrent->value() > 0; }, 10000);
}

std::vector<int> deletionSelections(const sim::Recorder& recorder)
{
    std::vector<int> numbers;
    for (const sim::Frame& f : framesOf(recorder, 11))
        numbers.push_back(f.parameter);
    return numbers;
}

} // namespace

class TestDelete : public QObject {
    Q_OBJECT

private slots:
    void deletesSequencesButNeverTheSettings();
    void selectionsThatDeleteNothing();
    void recorderErrorAndPollBudgetFail_data();
    void recorderErrorAndPollBudgetFail();
    void abortBeforeTheDeletionStopsAfterItsStart();
    void cancelDuringADeletion();
    void unplugDuringADeletion();
    void recorderLostWhileQuestionIsOpenStartsNothing();
    void anAbortRightAfterTheStartIsKept();
};

void TestDelete::deletesSequencesButNeverTheSettings()
{
    sim::DeviceConfig c = settingsAndTwo();
    c.deleteDurationMs = 250;
    WindowFixture f(c);
    QVERIFY(f.waitReady());
    f.recordProgress();
    MessageBoxDriver boxes;
    boxes.plan(QMessageBox::No);
    f.recorder->clearLogs();

    WindowFixture::selectIds(f.devTable(), {0, 3, 4});
    f.window->delete_on_dev();
    QVERIFY(!f.window->isBusy());
    QVERIFY(deletionSelections(*f.recorder).empty());
    QCOMPARE(int(boxes.seen().size()), 1);
    // The question lists only what will be deleted.
    const QString text = boxes.seen()[0].text;
    QVERIFY(text == deleteQuestion + QStringLiteral("\nSEQUENCE 03\nSEQUENCE 04")
            || text == deleteQuestion + QStringLiteral("\nSEQUENCE 04\nSEQUENCE 03"));
    QCOMPARE(boxes.seen()[0].defaultButton, QMessageBox::No);

    boxes.plan(QMessageBox::Yes);
    f.window->delete_on_dev();
    QVERIFY(f.waitIdle());

    QCOMPARE(int(boxes.seen().size()), 2);
    QVERIFY(f.recorder->file(120));
    QVERIFY(!f.recorder->file(3));
    QVERIFY(!f.recorder->file(4));
    std::vector<int> selected = deletionSelections(*f.recorder);
    std::sort(selected.begin(), selected.end());
    QCOMPARE(selected, (std::vector<int> {3, 4}));
    // Each deletion runs the current bar up to 100; one overall step per
    // deleted file, none for the settings.
    QVERIFY(f.currentValues.contains(100));
    for (int v : f.currentValues)
        QVERIFY(v >= 0 && v <= 100);
    QCOMPARE(f.totalValues.size(), 2);
    QVERIFY(f.totalValues[0] < f.totalValues[1] && f.totalValues[1] <= 100);
    QCOMPARE(f.devTable()->rowCount(), 1);
    QVERIFY(f.window->ui()->abortButton->isHidden());
}

void TestDelete::selectionsThatDeleteNothing()
{
    WindowFixture f(settingsAndTwo());
    QVERIFY(f.waitReady());
    f.recordProgress();
    MessageBoxDriver boxes;
    f.recorder->clearLogs();

    // The settings row alone.
    boxes.plan(QMessageBox::Yes);
    WindowFixture::selectIds(f.devTable(), {0});
    f.window->delete_on_dev();
    QVERIFY(f.waitIdle());
    // Only a row's size cell.
    boxes.plan(QMessageBox::Yes);
    WindowFixture::selectCell(f.devTable(), 3, 1);
    f.window->delete_on_dev();
    QVERIFY(f.waitIdle());

    QCOMPARE(boxes.texts(), (QStringList {deleteQuestion, deleteQuestion}));
    QVERIFY(deletionSelections(*f.recorder).empty());
    QCOMPARE(f.recorder->files().size(), std::size_t(3));
    QVERIFY(f.totalValues.isEmpty());
}

void TestDelete::recorderErrorAndPollBudgetFail_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("budget");
    QTest::newRow("file-system error 3") << 3 << 100;
    QTest::newRow("budget 1 used up") << 0 << 1;
}

void TestDelete::recorderErrorAndPollBudgetFail()
{
    QFETCH(int, error);
    QFETCH(int, budget);
    sim::DeviceConfig c = settingsAndTwo();
    c.deleteDurationMs = 400;
    c.pollBudget = std::uint32_t(budget);
    WindowFixture f(c);
    QVERIFY(f.waitReady());
    sim::Faults faults;
    faults.deletionError = std::uint16_t(error);
    f.recorder->setFaults(faults);
    MessageBoxDriver boxes;
    boxes.plan(QMessageBox::Yes);

    WindowFixture::selectIds(f.devTable(), {3, 4});
    f.window->delete_on_dev();
    QVERIFY(f.waitIdle());

    QCOMPARE(boxes.texts().last(), deleteFailed);
    QCOMPARE(boxes.seen().back().icon, QMessageBox::Warning);
    // The run stopped at the first file.
    QCOMPARE(deletionSelections(*f.recorder).size(), std::size_t(1));
    QVERIFY(f.recorder->file(4) || f.recorder->file(3));
    QCOMPARE(f.devTable()->rowCount(), int(f.recorder->files().size()));
}

void TestDelete::abortBeforeTheDeletionStopsAfterItsStart()
{
    sim::DeviceConfig c = settingsAndTwo();
    c.timing = sim::Timing::Wire;
    WindowFixture f(c);
    QVERIFY(f.waitReady());
    // Slow replies, so the abort lands while the recorder is switched into
    // its transfer mode, before the deletion.
    f.recorder->setTiming(sim::Timing::Wire, 150000);
    f.recorder->clearLogs();

    f.window->enterBusy();
    MZTFilesDeleter deleter;
    deleter.setMainWindow(f.window.get());
    QSignalSpy failed(&deleter, &MZTFilesDeleter::failed);
    QSignalSpy current(&deleter, &MZTFilesDeleter::progress_current);
    WindowFixture::selectIds(f.devTable(), {3});
    deleter.start();
    QVERIFY(QTest::qWaitFor([&] { return !framesOf(*f.recorder, 18).empty(); }, 10000));
    deleter.abort();
    QVERIFY(QTest::qWaitFor([&] { return deleter.isFinished(); }, 10000));
    deleter.acquireResults();
    f.window->operationDone();

    QCOMPARE(failed.size(), 1);
    // The deletion was started on the recorder, then the worker gave up
    // before its first poll.
    QCOMPARE(deletionSelections(*f.recorder), std::vector<int> {3});
    int starts = 0;
    int polls = 0;
    for (const sim::Frame& frame : framesOf(*f.recorder, 12)) {
        starts += frame.parameter == 0 ? 1 : 0;
        polls += frame.parameter != 0 ? 1 : 0;
    }
    QCOMPARE(starts, 1);
    QCOMPARE(polls, 0);
    QCOMPARE(current.size(), 0);
}

void TestDelete::cancelDuringADeletion()
{
    WindowFixture f(slowDeletions());
    QVERIFY(f.waitReady());
    MessageBoxDriver boxes;
    f.recorder->clearLogs();

    QVERIFY(deletionUnderWay(f, boxes, {3, 4}));
    f.window->ui()->abortButton->click();
    QVERIFY(f.waitIdle());

    // A cancel is no failure: it says so, and what was done before it.
    QCOMPARE(boxes.texts().last(),
             QStringLiteral(
                 "The deletion was cancelled; 0 files had been deleted on the recorder before."));
    QCOMPARE(deletionSelections(*f.recorder).size(), std::size_t(1));
    QVERIFY(f.window->ui()->abortButton->isHidden());
}

void TestDelete::unplugDuringADeletion()
{
    WindowFixture f(slowDeletions());
    QVERIFY(f.waitReady());
    MessageBoxDriver boxes;

    QVERIFY(deletionUnderWay(f, boxes, {3}));
    f.recorder->vanish();
    QVERIFY(f.waitIdle());

    QCOMPARE(boxes.texts().last(), deleteFailed);
    QVERIFY(QTest::qWaitFor([&] { return f.devTable()->rowCount() == 0 && !f.window->isBusy(); },
                            10000));
    QCOMPARE(f.master()->getTimeout(), 1000);
}

void TestDelete::recorderLostWhileQuestionIsOpenStartsNothing()
{
    WindowFixture f(settingsAndTwo());
    QVERIFY(f.waitReady());
    MessageBoxDriver boxes;
    bool unplugged = false;
    answerYesAfterUnplugging(boxes, f, &unplugged);
    f.recorder->clearLogs();

    WindowFixture::selectIds(f.devTable(), {3});
    f.window->delete_on_dev();
    QVERIFY(unplugged);
    QVERIFY(f.waitIdle());

    QVERIFY(deletionSelections(*f.recorder).empty());
    QVERIFY(f.recorder->file(3));
}

void TestDelete::anAbortRightAfterTheStartIsKept()
{
    WindowFixture f(settingsAndTwo());
    QVERIFY(f.waitReady());
    WindowFixture::selectIds(f.devTable(), {3});
    MZTFilesDeleter deleter;
    // An abort before the deletion lets it start and stops before its
    // first poll: a deletion the recorder began is not left half-watched
    // for longer than that.
    startAndAbortAtOnce(f, deleter, [](const sim::Frame& frame) {
        return frame.command == 12 && frame.parameter != 0;
    });
}

QTEST_MAIN(TestDelete)
#include "tst_transfers_delete.moc"
