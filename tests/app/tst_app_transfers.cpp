// What the window shows and offers around its transfers: the lines beside
// the progress bars and the overwrite question's "Skip existing".
#include "apptest.h"

#include "mztarchive.h"
#include "simbus.h"
#include "transferprogresspanel.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QSettings>
#include <QStatusBar>

using namespace apptest;

namespace {

using Stage = core::Progress::Stage;
using Kind = TransferProgressPanel::Kind;
constexpr quint64 KiB = 1024;

core::Progress step(Stage stage, const QString& name, int index, int count, quint64 done = 0,
                    quint64 total = 0)
{
    core::Progress p;
    p.stage = stage;
    p.file = {index, name};
    p.fileIndex = index;
    p.fileCount = count;
    p.bytesDone = done;
    p.bytesTotal = total;
    return p;
}

// An archive entry whose content differs from what the simulated recorder
// holds under the same number, so a write shows in the recorder's file.
ArchiveEntry* differingEntry(int id)
{
    return sequenceEntryWith(id,
                             record(quint32(id), 1, 4096, 1000u * quint32(id))
                                 + QByteArray(64 * id, char(0x30 + id)));
}

using testcommon::clickInNextBox;

} // namespace

class TestTransfers : public SimBusTest {
    Q_OBJECT

private slots:
    void init() { clearSettings(); }

    void textsPeopleRead();
    void linesFollowFedProgress();
    void deletionAndReplacingLines();
    void linesDuringAWindowTransferFit800x600();
    void skipExistingUploadsOnlyMissingFiles();
};

void TestTransfers::textsPeopleRead()
{
    QCOMPARE(TransferProgressPanel::bytesText(512), QStringLiteral("512 B"));
    QCOMPARE(TransferProgressPanel::bytesText(102 * KiB + 410), QStringLiteral("102.4 KB"));
    QCOMPARE(TransferProgressPanel::bytesText(1288490), QStringLiteral("1.2 MB"));
    QCOMPARE(TransferProgressPanel::rateText(12595.2), QStringLiteral("12.3 KB/s"));
    QCOMPARE(TransferProgressPanel::timeLeftText(4000), QStringLiteral("a few seconds left"));
    QCOMPARE(TransferProgressPanel::timeLeftText(41000), QStringLiteral("about 45 s left"));
    QCOMPARE(TransferProgressPanel::timeLeftText(57000), QStringLiteral("about 1 min left"));
    QCOMPARE(TransferProgressPanel::timeLeftText(80000), QStringLiteral("about 1 min 20 s left"));
    QCOMPARE(TransferProgressPanel::timeLeftText(3599000), QStringLiteral("about 1 h left"));
    QCOMPARE(TransferProgressPanel::timeLeftText(5000000), QStringLiteral("about 1 h 24 min left"));
}

void TestTransfers::linesFollowFedProgress()
{
    QWidget host;
    auto* grid = new QGridLayout(&host);
    TransferProgressPanel panel(grid, 1, 3, 1);
    auto* fileLabel = host.findChild<QLabel*>(TransferProgressPanel::fileLineName);
    auto* totalLabel = host.findChild<QLabel*>(TransferProgressPanel::totalLineName);
    QVERIFY(fileLabel && totalLabel);
    host.show();

    // Three files listed at 100, 200 and 50 KiB, moving at 10 KiB/s.
    panel.begin(Kind::Download, 3, {100 * KiB, 200 * KiB, 50 * KiB});
    panel.showAt(step(Stage::FileStarted, "SEQUENCE 01", 1, 3), 0);
    QCOMPARE(panel.fileLine(), QStringLiteral("SEQUENCE 01"));
    QCOMPARE(panel.totalLine(), QStringLiteral("File 1 of 3, 0 B of 350.0 KB"));
    QVERIFY(fileLabel->isVisible() && totalLabel->isVisible());

    // Too early for a speed.
    panel.showAt(step(Stage::Transferring, "SEQUENCE 01", 1, 3, 1 * KiB, 100 * KiB), 100);
    QCOMPARE(panel.fileLine(), QStringLiteral("SEQUENCE 01: 1.0 KB of 100.0 KB"));
    QCOMPARE(panel.totalLine(), QStringLiteral("File 1 of 3, 1.0 KB of 350.0 KB"));

    // A speed, but still too little to guess the time left from.
    panel.showAt(step(Stage::Transferring, "SEQUENCE 01", 1, 3, 5 * KiB, 100 * KiB), 500);
    QCOMPARE(panel.totalLine(), QStringLiteral("File 1 of 3, 5.0 KB of 350.0 KB, 10.0 KB/s"));

    // After a second the time left appears: 340 KiB at 10 KiB/s.
    panel.showAt(step(Stage::Transferring, "SEQUENCE 01", 1, 3, 10 * KiB, 100 * KiB), 1000);
    QCOMPARE(panel.totalLine(),
             QStringLiteral("File 1 of 3, 10.0 KB of 350.0 KB, 10.0 KB/s, about 35 s left"));

    // The second file turns out smaller than listed: the total follows it.
    panel.showAt(step(Stage::FileDone, "SEQUENCE 01", 1, 3), 10000);
    panel.showAt(step(Stage::FileStarted, "SEQUENCE 02", 2, 3), 10000);
    QCOMPARE(panel.fileLine(), QStringLiteral("SEQUENCE 02"));
    panel.showAt(step(Stage::Transferring, "SEQUENCE 02", 2, 3, 0, 190 * KiB), 10000);
    panel.showAt(step(Stage::Transferring, "SEQUENCE 02", 2, 3, 20 * KiB, 190 * KiB), 12000);
    QCOMPARE(panel.fileLine(), QStringLiteral("SEQUENCE 02: 20.0 KB of 190.0 KB"));
    QCOMPARE(panel.totalLine(),
             QStringLiteral("File 2 of 3, 120.0 KB of 340.0 KB, 10.0 KB/s, about 25 s left"));

    // A pause slows the speed shown only as far as the last seconds reach.
    panel.showAt(step(Stage::Transferring, "SEQUENCE 02", 2, 3, 20 * KiB, 190 * KiB), 15000);
    QCOMPARE(panel.totalLine(),
             QStringLiteral("File 2 of 3, 120.0 KB of 340.0 KB, 4.0 KB/s, about 55 s left"));
    panel.showAt(step(Stage::Transferring, "SEQUENCE 02", 2, 3, 70 * KiB, 190 * KiB), 20000);
    QCOMPARE(panel.totalLine(),
             QStringLiteral("File 2 of 3, 170.0 KB of 340.0 KB, 10.0 KB/s, about 20 s left"));

    // Ended: empty and hidden; late progress from the run changes nothing.
    panel.end();
    panel.showAt(step(Stage::FileStarted, "SEQUENCE 03", 3, 3), 23000);
    QVERIFY(panel.fileLine().isEmpty() && panel.totalLine().isEmpty());
    QVERIFY(!fileLabel->isVisible() && !totalLabel->isVisible());

    // Without listed sizes the time left waits for the last file, whose
    // own size is then all that is left.
    panel.begin(Kind::Download, 2);
    panel.showAt(step(Stage::FileStarted, "SEQUENCE 01", 1, 2), 0);
    panel.showAt(step(Stage::Transferring, "SEQUENCE 01", 1, 2, 20 * KiB, 40 * KiB), 2000);
    QCOMPARE(panel.totalLine(), QStringLiteral("File 1 of 2, 20.0 KB done, 10.0 KB/s"));
    panel.showAt(step(Stage::FileDone, "SEQUENCE 01", 1, 2), 4000);
    panel.showAt(step(Stage::FileStarted, "SEQUENCE 02", 2, 2), 4000);
    panel.showAt(step(Stage::Transferring, "SEQUENCE 02", 2, 2, 10 * KiB, 110 * KiB), 5000);
    QCOMPARE(panel.totalLine(),
             QStringLiteral("File 2 of 2, 50.0 KB done, 10.0 KB/s, about 10 s left"));
}

void TestTransfers::deletionAndReplacingLines()
{
    QWidget host;
    TransferProgressPanel panel(new QGridLayout(&host), 1, 3, 1);

    // A deletion has no bytes: the file, its place and, once a file is
    // done, the time per file.
    panel.begin(Kind::Deletion, 3);
    core::Progress p = step(Stage::FileStarted, "SEQUENCE 05", 2, 4);
    panel.showAt(p, 0);
    QCOMPARE(panel.fileLine(), QStringLiteral("Deleting SEQUENCE 05"));
    QCOMPARE(panel.totalLine(), QStringLiteral("File 1 of 3"));
    p.stage = Stage::Deleting;
    p.deletion = 128;
    panel.showAt(p, 5000);
    QCOMPARE(panel.totalLine(), QStringLiteral("File 1 of 3"));
    panel.showAt(step(Stage::FileDone, "SEQUENCE 05", 2, 4), 20000);
    panel.showAt(step(Stage::FileStarted, "SEQUENCE 06", 3, 4), 20000);
    QCOMPARE(panel.fileLine(), QStringLiteral("Deleting SEQUENCE 06"));
    QCOMPARE(panel.totalLine(), QStringLiteral("File 2 of 3, about 40 s left"));

    // An upload that replaces a file deletes the old copy first.
    panel.begin(Kind::Upload, 1, {4 * KiB});
    panel.showAt(step(Stage::FileStarted, "SEQUENCE 09", 1, 1), 0);
    p = step(Stage::Deleting, "SEQUENCE 09", 1, 1);
    panel.showAt(p, 100);
    QCOMPARE(panel.fileLine(),
             QStringLiteral("SEQUENCE 09: deleting the copy on the recorder first"));
    panel.showAt(step(Stage::Transferring, "SEQUENCE 09", 1, 1, 2 * KiB, 4 * KiB), 1500);
    QCOMPARE(panel.fileLine(), QStringLiteral("SEQUENCE 09: 2.0 KB of 4.0 KB"));

    // A long name is shortened in the middle rather than widening the window.
    panel.showAt(step(Stage::FileStarted, QString(80, QLatin1Char('N')) + "END", 1, 1), 1600);
    QVERIFY2(panel.fileLine().size() <= 40 && panel.fileLine().endsWith("END"),
             qPrintable(panel.fileLine()));
}

void TestTransfers::linesDuringAWindowTransferFit800x600()
{
    install({recorderWithSlowTransfers()});
    MainWindow w;
    w.resize(800, 600);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(waitSettled(w, 4, 30000));
    QVERIFY(QTest::qWaitFor([&] { return !w.isBusy() && w.isConnected(); }, 20000));
    auto* fileLabel = w.findChild<QLabel*>(TransferProgressPanel::fileLineName);
    auto* totalLabel = w.findChild<QLabel*>(TransferProgressPanel::totalLineName);
    QVERIFY(fileLabel && totalLabel);
    QVERIFY(fileLabel->isHidden() && totalLabel->isHidden());

    startSlowDownload(w);
    QVERIFY(w.isBusy());

    // Every text the lines took while the download ran, and whether each
    // was shown whole.
    QSet<QString> seen;
    QStringList clipped;
    QElapsedTimer deadline;
    deadline.start();
    while (w.isBusy() && deadline.elapsed() < 60000) {
        for (QLabel* line : {fileLabel, totalLabel}) {
            if (!line->isVisible())
                continue;
            seen.insert(line->text());
            if (line->height() < line->heightForWidth(line->width())
                || line->geometry().right() > w.centralWidget()->width())
                clipped << line->text();
        }
        QTest::qWait(5);
    }
    QVERIFY(!w.isBusy());
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(" | ")));
    QVERIFY2(w.width() <= 800 && w.height() <= 600,
             qPrintable(QStringLiteral("%1 x %2").arg(w.width()).arg(w.height())));
    const QString all = QStringList(seen.values()).join(QLatin1Char('\n'));
    for (const char* expected :
         {"File 1 of 3", "File 3 of 3", "SEQUENCE 02: ", " of 70.3 KB", "KB/s"})
        QVERIFY2(all.contains(QLatin1String(expected)), qPrintable(expected + ("\n" + all)));
    // Finished: the lines go with the bars.
    QVERIFY(fileLabel->isHidden() && totalLabel->isHidden());
}

void TestTransfers::skipExistingUploadsOnlyMissingFiles()
{
    auto recs = install({recorderWithFiles(2)});
    const QByteArray held1 = *recs[0]->file(1);
    const QByteArray held2 = *recs[0]->file(2);
    MainWindow w;
    QVERIFY(waitSettled(w, 3));
    QVERIFY(QTest::qWaitFor([&] { return !w.isBusy() && w.isConnected(); }, 20000));
    for (int id = 1; id <= 4; ++id)
        w.archive()->addEntry(differingEntry(id));
    w.fillArchiveTable(w.archive(), w.ui()->archTable);
    QTableWidget* arch = w.ui()->archTable;
    selectRows(arch, {0, 1, 2, 3});

    auto listed = clickInNextBox(QStringLiteral("Skip existing"));
    w.transfer_to_dev();
    QVERIFY(QTest::qWaitFor([&] { return !listed->isEmpty(); }, 20000));
    // The user's selection is as it was while the upload runs.
    QCOMPARE(selectedNames(arch),
             QStringList({"SEQUENCE 01", "SEQUENCE 02", "SEQUENCE 03", "SEQUENCE 04"}));
    QVERIFY(QTest::qWaitFor([&] { return !w.isBusy() && w.isConnected(); }, 30000));
    QCOMPARE(*listed, QStringList({"SEQUENCE 01", "SEQUENCE 02", "clicked"}));
    // The files the recorder held are untouched; the others are written.
    QCOMPARE(*recs[0]->file(1), held1);
    QCOMPARE(*recs[0]->file(2), held2);
    QVERIFY(recs[0]->file(3).has_value() && recs[0]->file(4).has_value());
    QCOMPARE(*recs[0]->file(3), w.archive()->entries().at(2)->refreshedContent());
    QCOMPARE(*recs[0]->file(4), w.archive()->entries().at(3)->refreshedContent());
    QVERIFY2(w.statusBar()->currentMessage().startsWith(
                 "Uploaded 2 files from the archive to the recorder in "),
             qPrintable(w.statusBar()->currentMessage()));

    // Everything selected is on the recorder now: nothing starts.
    selectRows(arch, {0, 1, 2, 3});
    auto again = clickInNextBox(QStringLiteral("Skip existing"));
    w.transfer_to_dev();
    QVERIFY(QTest::qWaitFor([&] { return !again->isEmpty(); }, 20000));
    QVERIFY(QTest::qWaitFor([&] { return !w.isBusy(); }, 20000));
    QCOMPARE(again->size(), 5);
    QCOMPARE(w.statusBar()->currentMessage(),
             QStringLiteral("Nothing uploaded: the recorder already holds every selected file."));
    QCOMPARE(*recs[0]->file(1), held1);
    QVERIFY(w.ui()->progBarTotal->isHidden());

    // OK still overwrites them all, No still writes nothing.
    selectRows(arch, {0});
    auto refused = clickInNextBox(QStringLiteral("No"));
    w.transfer_to_dev();
    QVERIFY(QTest::qWaitFor([&] { return !refused->isEmpty(); }, 20000));
    QCOMPARE(refused->last(), QStringLiteral("clicked"));
    QVERIFY(QTest::qWaitFor([&] { return !w.isBusy(); }, 20000));
    QCOMPARE(*recs[0]->file(1), held1);
    selectRows(arch, {0});
    auto accepted = clickInNextBox(QStringLiteral("OK"));
    w.transfer_to_dev();
    QVERIFY(QTest::qWaitFor([&] { return !accepted->isEmpty(); }, 20000));
    QCOMPARE(accepted->last(), QStringLiteral("clicked"));
    QVERIFY(QTest::qWaitFor([&] { return !w.isBusy() && w.isConnected(); }, 30000));
    QCOMPARE(*recs[0]->file(1), w.archive()->entries().at(0)->refreshedContent());
}

QTEST_MAIN(TestTransfers)
#include "tst_app_transfers.moc"
