// What the window says is safe: the state column of both tables, "Verify
// with recorder" and "Select differences", against the simulated recorder.
#include "apptest.h"

#include "comparisoncolumn.h"
#include "mztarchive.h"
#include "transfers.h"

#include <QAction>
#include <QHeaderView>
#include <QSettings>
#include <QStatusBar>

using namespace apptest;
using comparison::RowState;

namespace {

QByteArray settingsFile()
{
    return file(0, 0, 1024, 0);
}

ArchiveEntry* settingsEntry()
{
    auto* e = new ArchiveEntry;
    e->setId(0);
    e->setType(0);
    e->setName(QStringLiteral("SETTINGS"));
    const QByteArray content = settingsFile();
    e->appendContent(content.constData(), content.size());
    return e;
}

// Sequence id with the simulated recorder's record but other bytes.
QByteArray sameRecordOtherBytes(int id)
{
    return testcommon::recorderFile(id, 1, 2048u * quint32(id), 1000u * quint32(id),
                                    QByteArray(32, '\x33'));
}

struct Row {
    RowState state = RowState::Unknown;
    QString words;
};

// The state the column shows for the row of name, and its tooltip.
Row rowState(const QTableWidget* table, const QString& name)
{
    const int row = rowOfName(table, name);
    if (row < 0)
        return {};
    const QModelIndex index = table->model()->index(row, 0);
    return {RowState(index.data(comparison::stateRole).toInt()),
            index.data(comparison::wordsRole).toString()};
}

QMap<QString, RowState> states(const QTableWidget* table)
{
    QMap<QString, RowState> all;
    for (int r = 0; r < table->rowCount(); ++r)
        all.insert(table->item(r, 0)->text(),
                   RowState(table->item(r, 0)->data(comparison::stateRole).toInt()));
    return all;
}

QAction* action(MainWindow& w, const char* name)
{
    return w.findChild<QAction*>(QLatin1String(name));
}

// The recorder holds the settings and sequences 1 to 3; the archive the
// settings, sequence 1 as the recorder has it, sequence 2 with another
// record and sequence 5.
void mixedArchive(MainWindow& w)
{
    w.archive()->addEntry(settingsEntry());
    w.archive()->addEntry(sequenceEntry(1));
    w.archive()->addEntry(
        sequenceEntryWith(2, testcommon::recorderFile(2, 1, 9999, 2000, QByteArray(40, 'x'))));
    w.archive()->addEntry(sequenceEntry(5));
    w.fillArchiveTable(w.archive(), w.ui()->archTable);
}

// Waits until the window has listed recorderWithFiles(sequences), then gives
// it an archive that holds the same.
bool listedBesideAnArchiveLikeIt(MainWindow& w, int sequences)
{
    if (!waitSettled(w, sequences + 1) || !waitIdleAndConnected(w))
        return false;
    w.archive()->addEntry(settingsEntry());
    for (int id = 1; id <= sequences; ++id)
        w.archive()->addEntry(sequenceEntry(id));
    w.fillArchiveTable(w.archive(), w.ui()->archTable);
    return true;
}

// Runs a command that asks one question, answers it, and waits until the
// window has listed the recorder's rows again.
bool answeredAndListed(MainWindow& w, QMessageBox::StandardButton answer,
                       const std::function<void()>& command, int rows)
{
    auto seen = answerNextBox(answer);
    command();
    return QTest::qWaitFor([&] { return !seen->text.isEmpty(); }, 20000) && waitSettled(w, rows)
        && waitIdleAndConnected(w);
}

constexpr RowState Listed = RowState::Listed;
constexpr RowState Differs = RowState::Differs;
constexpr RowState Missing = RowState::Missing;
constexpr RowState Identical = RowState::Identical;

} // namespace

class TestComparison : public QObject {
    Q_OBJECT

private slots:
    void init() { clearSettings(); }
    void cleanup() { sim::Bus::instance().uninstall(); }

    void columnFollowsListingDownloadAndRenumbering();
    void verifyFindsAChangedFileTheListCannotSee();
    void verifyOfSelectedFilesAllIdentical();
    void cancelledVerificationProvesOnlyWhatItRead();
    void selectDifferencesPreparesOneArrowPress();
    void replaceQuestionsShowBothSizesAndTheComparison();
    void onlyNewCopiesWhatTheArchiveLacks();
};

void TestComparison::columnFollowsListingDownloadAndRenumbering()
{
    install({recorderWithFiles(3)});
    MainWindow w;
    QVERIFY(waitSettled(w, 4));
    QVERIFY(waitIdleAndConnected(w));
    QTableWidget* dev = w.ui()->devTable;
    QTableWidget* arch = w.ui()->archTable;
    QVERIFY(qobject_cast<comparison::StateColumn*>(dev->verticalHeader()));
    QVERIFY(!dev->verticalHeader()->isHidden());
    // The empty archive holds nothing of the recorder's.
    QCOMPARE(states(dev),
             (QMap<QString, RowState> {{"SETTINGS", Missing},
                                       {"SEQUENCE 01", Missing},
                                       {"SEQUENCE 02", Missing},
                                       {"SEQUENCE 03", Missing}}));

    mixedArchive(w);
    QCOMPARE(states(dev),
             (QMap<QString, RowState> {{"SETTINGS", Listed},
                                       {"SEQUENCE 01", Listed},
                                       {"SEQUENCE 02", Differs},
                                       {"SEQUENCE 03", Missing}}));
    QCOMPARE(states(arch),
             (QMap<QString, RowState> {{"SETTINGS", Listed},
                                       {"SEQUENCE 01", Listed},
                                       {"SEQUENCE 02", Differs},
                                       {"SEQUENCE 05", Missing}}));
    QCOMPARE(rowState(dev, "SEQUENCE 01").words, QStringLiteral("in the archive"));
    QCOMPARE(rowState(dev, "SEQUENCE 02").words, QStringLiteral("differs from the archive"));
    QCOMPARE(rowState(dev, "SEQUENCE 03").words, QStringLiteral("not in the archive"));
    QCOMPARE(rowState(arch, "SEQUENCE 01").words, QStringLiteral("on the recorder"));
    QCOMPARE(rowState(arch, "SEQUENCE 02").words, QStringLiteral("differs"));
    QCOMPARE(rowState(arch, "SEQUENCE 05").words, QStringLiteral("not on the recorder"));

    // The state belongs to the file, not to the row's place.
    dev->sortItems(0, Qt::DescendingOrder);
    QCOMPARE(rowState(dev, "SEQUENCE 03").state, Missing);
    QCOMPARE(rowState(dev, "SEQUENCE 02").state, Differs);

    // A download brings sequences 2 and 3 over: the list matches, yet it
    // proves nothing byte for byte.
    selectRows(dev, {rowOfName(dev, "SEQUENCE 02"), rowOfName(dev, "SEQUENCE 03")});
    QVERIFY(answeredAndListed(
        w, QMessageBox::Yes, [&] { w.on_toArchive_clicked(); }, 4));
    QCOMPARE(states(dev).values(), QList<RowState>(4, Listed));
    QCOMPARE(states(arch),
             (QMap<QString, RowState> {{"SETTINGS", Listed},
                                       {"SEQUENCE 01", Listed},
                                       {"SEQUENCE 02", Listed},
                                       {"SEQUENCE 03", Listed},
                                       {"SEQUENCE 05", Missing}}));

    // Renumbering 5 to 4 keeps it off the recorder; 3 to 6 takes sequence 3
    // out of the archive as far as the recorder's table is concerned.
    w.renumberSequence(rowOfName(arch, "SEQUENCE 05"), 0, 5, 4);
    QCOMPARE(rowState(arch, "SEQUENCE 04").state, Missing);
    w.renumberSequence(rowOfName(arch, "SEQUENCE 03"), 0, 3, 6);
    QCOMPARE(rowState(dev, "SEQUENCE 03").state, Missing);
    QCOMPARE(rowState(arch, "SEQUENCE 06").state, Missing);
    // 6 back to 3: the same record again.
    w.renumberSequence(rowOfName(arch, "SEQUENCE 06"), 0, 6, 3);
    QCOMPARE(rowState(dev, "SEQUENCE 03").state, Listed);

    // Removing an entry and opening a new archive are archive changes too.
    selectRows(arch, {rowOfName(arch, "SEQUENCE 01")});
    auto removal = answerNextBox(QMessageBox::Yes);
    w.delete_from_arch();
    QCOMPARE(rowState(dev, "SEQUENCE 01").state, Missing);
    w.archive()->setModified(false);
    w.on_newArchive_clicked();
    QCOMPARE(states(dev).values(), QList<RowState>(4, Missing));
}

void TestComparison::verifyFindsAChangedFileTheListCannotSee()
{
    sim::DeviceConfig config = recorderWithFiles(3);
    config.files[2] = sameRecordOtherBytes(2);
    install({config});
    MainWindow w;
    QVERIFY(listedBesideAnArchiveLikeIt(w, 3));
    QTableWidget* dev = w.ui()->devTable;
    QTableWidget* arch = w.ui()->archTable;
    // Same records: the list cannot tell sequence 2 apart.
    QCOMPARE(states(dev).values(), QList<RowState>(4, Listed));

    auto box = answerNextBox(QMessageBox::Ok);
    action(w, "actionVerifyWithRecorder")->trigger();
    QVERIFY(w.isBusy());
    QVERIFY(QTest::qWaitFor([&] { return !box->text.isEmpty(); }, 30000));
    QVERIFY(waitIdleAndConnected(w));
    QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral("1 of 4 files differ"));
    QCOMPARE(box->text, QStringLiteral("1 of 4 files differ:"));
    QCOMPARE(box->files,
             QStringList {"SEQUENCE 02: differs from the archive (first difference at "
                          "byte 16)"});
    QCOMPARE(w.lastVerification().count(core::FileState::Identical), 3);

    const QString at = w.lastVerification().finishedAt.toLocalTime().toString("HH:mm");
    for (QTableWidget* table : {dev, arch}) {
        QCOMPARE(rowState(table, "SEQUENCE 01").state, Identical);
        QCOMPARE(rowState(table, "SEQUENCE 01").words, "identical (verified " + at + ")");
        QCOMPARE(rowState(table, "SEQUENCE 02").state, RowState::DiffersByte);
    }
    QCOMPARE(rowState(dev, "SEQUENCE 02").words, "differs from the archive (verified " + at + ")");
    QCOMPARE(rowState(arch, "SEQUENCE 02").words, "differs (verified " + at + ")");

    // Uploading the archive's copy of sequence 2 ends what was proved for
    // it; the others stay proved.
    selectRows(arch, {rowOfName(arch, "SEQUENCE 02")});
    QVERIFY(answeredAndListed(
        w, QMessageBox::Ok, [&] { w.transfer_to_dev(); }, 4));
    QCOMPARE(rowState(dev, "SEQUENCE 02").state, Listed);
    QCOMPARE(rowState(dev, "SEQUENCE 01").state, Identical);

    // An archive entry changed under the same number is not the one proved.
    selectRows(arch, {rowOfName(arch, "SEQUENCE 01")});
    auto removal = answerNextBox(QMessageBox::Yes);
    w.delete_from_arch();
    w.archive()->addEntry(
        sequenceEntryWith(1, testcommon::recorderFile(1, 1, 2048, 1000, QByteArray(32, '\x01'))));
    w.fillArchiveTable(w.archive(), arch);
    QCOMPARE(rowState(dev, "SEQUENCE 01").state, Listed);
}

void TestComparison::verifyOfSelectedFilesAllIdentical()
{
    auto recs = install({recorderWithFiles(3)});
    MainWindow w;
    QVERIFY(listedBesideAnArchiveLikeIt(w, 3));
    QTableWidget* dev = w.ui()->devTable;
    QTableWidget* arch = w.ui()->archTable;

    // One row selected in each table: those two files only, and no box.
    selectRows(dev, {rowOfName(dev, "SEQUENCE 01")});
    selectRows(arch, {rowOfName(arch, "SEQUENCE 03")});
    w.ui()->verifyRecorder->click();
    QVERIFY(w.isBusy());
    QVERIFY(QTest::qWaitFor([&] { return !w.isBusy(); }, 30000));
    QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral("All 2 files identical"));
    QVERIFY(!w.findChild<QMessageBox*>());
    QCOMPARE(states(dev),
             (QMap<QString, RowState> {{"SETTINGS", Listed},
                                       {"SEQUENCE 01", Identical},
                                       {"SEQUENCE 02", Listed},
                                       {"SEQUENCE 03", Identical}}));
    QVERIFY(waitIdleAndConnected(w));

    // A new listing of the same recorder keeps the proof.
    w.updateMZTContent();
    QVERIFY(waitSettled(w, 4));
    QCOMPARE(rowState(dev, "SEQUENCE 03").state, Identical);
    QVERIFY(w.ui()->progBarTotal->isHidden());

    // Deleting sequence 3 on the recorder: nothing proved remains for it.
    selectRows(dev, {rowOfName(dev, "SEQUENCE 03")});
    QVERIFY(answeredAndListed(
        w, QMessageBox::Yes, [&] { w.delete_on_dev(); }, 3));
    QCOMPARE(rowState(arch, "SEQUENCE 03").state, Missing);
    QVERIFY(!recs[0]->file(3));
}

void TestComparison::cancelledVerificationProvesOnlyWhatItRead()
{
    sim::DeviceConfig config = recorderWithFiles(0);
    for (int id = 1; id <= 4; ++id)
        config.files[std::uint16_t(id)] = testcommon::recorderFile(
            id, 1, 2048u * quint32(id), 1000u * quint32(id), QByteArray(16 * 1024, char(id)));
    auto recs = install({config});
    MainWindow w;
    QVERIFY(waitSettled(w, 5));
    QVERIFY(waitIdleAndConnected(w));
    for (int id = 1; id <= 4; ++id)
        w.archive()->addEntry(sequenceEntryWith(id, *recs[0]->file(std::uint16_t(id))));
    w.fillArchiveTable(w.archive(), w.ui()->archTable);
    w.archive()->setModified(false);

    recs[0]->setTiming(sim::Timing::Wire, 20000);
    w.verifyRecorderFiles();
    QTRY_VERIFY_WITH_TIMEOUT(w.ui()->progBarTotal->value() > 0, 30000);
    QVERIFY(!w.ui()->abortButton->isHidden());
    w.on_abortButton_clicked();
    QVERIFY(QTest::qWaitFor([&] { return !w.isBusy(); }, 30000));
    recs[0]->setTiming(sim::Timing::Instant, 0);
    QVERIFY(waitIdleAndConnected(w));
    QVERIFY2(w.statusBar()->currentMessage().startsWith("Verification cancelled; "),
             qPrintable(w.statusBar()->currentMessage()));
    QVERIFY(!w.findChild<QMessageBox*>());
    QCOMPARE(w.lastVerification().result.code, core::ResultCode::Cancelled);

    // What was read before the cancel is proved, nothing else; no file
    // changed on either side.
    const int proved = w.lastVerification().count(core::FileState::Identical);
    QVERIFY(proved >= 1 && proved < 4);
    const QList<RowState> shown = states(w.ui()->devTable).values();
    QCOMPARE(int(shown.count(Identical)), proved);
    QCOMPARE(int(shown.count(Listed)), 4 - proved);
    QCOMPARE(rowState(w.ui()->devTable, "SETTINGS").state, Missing);
    QCOMPARE(int(w.archive()->entries().size()), 4);
    QVERIFY(!w.archive()->isModified());
    QVERIFY(w.ui()->abortButton->isHidden());
}

void TestComparison::selectDifferencesPreparesOneArrowPress()
{
    install({recorderWithFiles(3)});
    MainWindow w;
    QVERIFY(waitSettled(w, 4));
    QVERIFY(waitIdleAndConnected(w));
    mixedArchive(w);
    QTableWidget* dev = w.ui()->devTable;
    QTableWidget* arch = w.ui()->archTable;
    selectRows(dev, {rowOfName(dev, "SEQUENCE 01")});

    action(w, "actionSelectDifferences")->trigger();
    QCOMPARE(selectedNames(dev), (QStringList {"SEQUENCE 02", "SEQUENCE 03"}));
    QCOMPARE(selectedNames(arch), (QStringList {"SEQUENCE 02", "SEQUENCE 05"}));
    QVERIFY(w.ui()->toArchive->isEnabled());
    QVERIFY(w.ui()->toDevice->isEnabled());
    QCOMPARE(w.statusBar()->currentMessage(),
             QStringLiteral("Selected 4 files that differ or are missing on the other side."));

    // One press of the upload arrow makes the recorder hold the archive.
    QVERIFY(answeredAndListed(
        w, QMessageBox::Ok, [&] { w.on_toDevice_clicked(); }, 5));
    QCOMPARE(states(arch).values(), QList<RowState>(4, Listed));
    QCOMPARE(rowState(dev, "SEQUENCE 03").state, Missing);

    // With nothing left to copy it selects nothing and says so.
    selectRows(arch, {0});
    w.selectDifferences();
    QVERIFY(arch->selectedItems().isEmpty());
    QCOMPARE(selectedNames(dev), QStringList {"SEQUENCE 03"});
}

void TestComparison::replaceQuestionsShowBothSizesAndTheComparison()
{
    sim::DeviceConfig config = recorderWithFiles(3);
    config.files[2] = sameRecordOtherBytes(2);
    install({config});
    MainWindow w;
    QVERIFY(waitSettled(w, 4) && waitIdleAndConnected(w));
    mixedArchive(w);
    QTableWidget* dev = w.ui()->devTable;
    QTableWidget* arch = w.ui()->archTable;
    const auto downloadQuestion = [&] {
        selectRows(dev, {rowOfName(dev, "SEQUENCE 01"), rowOfName(dev, "SEQUENCE 02")});
        auto seen = answerNextBox(QMessageBox::Abort);
        w.on_toArchive_clicked();
        return seen;
    };

    // From the lists alone: a matching record proves nothing more.
    auto listed = downloadQuestion();
    QCOMPARE(listed->text, QStringLiteral("Do you want to replace the folowing\nfiles? "));
    QCOMPARE(listed->fileRows,
             (QList<QStringList> {{"SEQUENCE 01", "2.00 KBytes", "2.00 KBytes", "same record"},
                                  {"SEQUENCE 02", "4.00 KBytes", "9.76 KBytes", "differs"}}));

    auto verified = answerNextBox(QMessageBox::Ok);
    action(w, "actionVerifyWithRecorder")->trigger();
    QVERIFY(QTest::qWaitFor([&] { return !verified->text.isEmpty(); }, 30000));
    QVERIFY(waitIdleAndConnected(w));
    auto proven = downloadQuestion();
    QCOMPARE(proven->fileRows.value(0).value(3), QStringLiteral("identical, verified"));
    QCOMPARE(proven->fileRows.value(1).value(3), QStringLiteral("differs, verified"));

    // The upload's question names the same details; nothing was written.
    selectRows(arch, {rowOfName(arch, "SEQUENCE 01"), rowOfName(arch, "SEQUENCE 05")});
    auto overwrite = answerNextBox(QMessageBox::No);
    w.transfer_to_dev();
    QVERIFY(QTest::qWaitFor([&] { return !overwrite->text.isEmpty(); }, 20000));
    QVERIFY(waitIdleAndConnected(w));
    QCOMPARE(overwrite->fileRows,
             (QList<QStringList> {
                 {"SEQUENCE 01", "2.00 KBytes", "2.00 KBytes", "identical, verified"}}));
}

void TestComparison::onlyNewCopiesWhatTheArchiveLacks()
{
    auto recorders = install({recorderWithFiles(3)});
    MainWindow w;
    QVERIFY(waitSettled(w, 4) && waitIdleAndConnected(w));
    mixedArchive(w);
    const QByteArray keptSequence2 = w.archive()->entries().at(2)->content();
    QTableWidget* dev = w.ui()->devTable;
    const QList<int> sequences {rowOfName(dev, "SEQUENCE 01"), rowOfName(dev, "SEQUENCE 02"),
                                rowOfName(dev, "SEQUENCE 03")};
    selectRows(dev, sequences);

    auto clicked = testcommon::clickInNextBox(QStringLiteral("Only new"));
    w.on_toArchive_clicked();
    QVERIFY(QTest::qWaitFor([&] { return !clicked->isEmpty(); }, 20000));
    QCOMPARE(*clicked, QStringList({"SEQUENCE 01", "SEQUENCE 02", "clicked"}));
    // The user's selection is as it was while the download runs.
    QCOMPARE(selectedNames(dev), QStringList({"SEQUENCE 01", "SEQUENCE 02", "SEQUENCE 03"}));
    QVERIFY(waitSettled(w, 4) && waitIdleAndConnected(w));
    // Sequence 3 came over; the archive's own sequence 2 was left alone.
    const ArchiveEntry* copied = core::lastEntryWithId(w.archive(), 3);
    QVERIFY(copied);
    QCOMPARE(copied->content(), *recorders[0]->file(3));
    QCOMPARE(core::lastEntryWithId(w.archive(), 2)->content(), keptSequence2);
    QCOMPARE(w.archive()->entries().size(), 5);

    // Everything selected is in the archive now: nothing starts.
    selectRows(dev, sequences);
    auto again = testcommon::clickInNextBox(QStringLiteral("Only new"));
    w.on_toArchive_clicked();
    QVERIFY(QTest::qWaitFor([&] { return !again->isEmpty(); }, 20000));
    QVERIFY(!w.isBusy());
    QCOMPARE(w.statusBar()->currentMessage(),
             QStringLiteral("Nothing copied: the archive already holds every selected file."));
    QCOMPARE(w.archive()->entries().size(), 5);
}

QTEST_MAIN(TestComparison)
#include "tst_app_comparison.moc"
