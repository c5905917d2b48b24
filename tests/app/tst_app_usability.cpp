// The window as people use it: questions that fit small screens, status
// lines after each command, keys, remembered state between runs, recent
// archives, telling recorders apart and a window that fits 800 x 600.
#include "apptest.h"

#include "filelistquestion.h"
#include "mztarchive.h"
#include "simbus.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolButton>

using namespace apptest;

namespace {

QString status(MainWindow& w)
{
    return w.statusBar()->currentMessage();
}

bool writeArchive(const QString& path, std::initializer_list<int> ids)
{
    MZTArchive a(path, nullptr);
    for (int id : ids)
        a.addEntry(sequenceEntry(id));
    return a.save();
}

} // namespace

class TestUsability : public SimBusTest {
    Q_OBJECT

private slots:
    void init() { clearSettings(); }

    void questionsAboutManyFilesFitTheScreen();
    void statusLinesSayWhatWasDone();
    void keysReachTheCommands();
    void archiveEditsAreUndoneAndRedone();
    void sizesWidthsAndSortOrderAreRemembered();
    void recentArchives();
    void recordersAreToldApart();
    void aRecorderOnASerialPortShowsItsPath();
    void anArchiveFromAnotherRecorderSaysWhose();
    void noRecorderFoundPointsToHelp();
    void windowWorksAt800x600();
    void firstStartFitsTheScreen();
    void statusLineFollowsTheOpenArchive();
    void everythingIsReachedWithTheKeyboard();
};

void TestUsability::questionsAboutManyFilesFitTheScreen()
{
    install({recorderWithFiles(64)});
    MainWindow w;
    w.show();
    QVERIFY(waitSettled(w, 65));
    QVERIFY(waitIdleAndConnected(w));
    // Every recorder file is in the archive, so a download of all of them
    // asks about all 65.
    w.archive()->addEntry(sequenceEntry(0));
    w.archive()->entries().last()->setName(QStringLiteral("SETTINGS"));
    for (int id = 1; id <= 64; ++id)
        w.archive()->addEntry(sequenceEntry(id));
    w.select_all_dev();
    auto seen = answerNextBox(QMessageBox::Abort);
    w.save_in_arch();
    QCOMPARE(seen->text, QStringLiteral("Do you want to replace the folowing\nfiles? "));
    QCOMPARE(seen->files.size(), 65);
    QVERIFY(seen->files.contains(QStringLiteral("SEQUENCE 64")));
    QVERIFY2(seen->fitsScreen, "the question's buttons are off the screen");
    QVERIFY(!w.isBusy());

    // The same list on a screen's worth of questions: few names make a
    // short list, and no list at all when there are none.
    QStringList few {QStringLiteral("SEQUENCE 01"), QStringLiteral("SEQUENCE 02")};
    seen = answerNextBox(QMessageBox::No);
    QCOMPARE(askAboutFiles(&w, QStringLiteral("t"), QStringLiteral("q?"), few,
                           QMessageBox::Ok | QMessageBox::No, QMessageBox::No),
             QMessageBox::No);
    QCOMPARE(seen->files, few);
    QVERIFY(seen->fitsScreen);
}

void TestUsability::statusLinesSayWhatWasDone()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("backup.mzt"));
    QVERIFY(writeArchive(path, {}));
    auto recs = install({recorderWithFiles(3)});
    MainWindow w(path);
    QVERIFY(waitSettled(w, 4));
    QVERIFY(waitIdleAndConnected(w));
    QVERIFY(status(w).isEmpty());

    selectRows(w.ui()->devTable,
               {rowOfName(w.ui()->devTable, QStringLiteral("SEQUENCE 01")),
                rowOfName(w.ui()->devTable, QStringLiteral("SEQUENCE 02"))});
    w.save_in_arch();
    QVERIFY(waitIdleAndConnected(w));
    QVERIFY2(status(w).startsWith(
                 QStringLiteral("Downloaded 2 files from the recorder into the archive in ")),
             qPrintable(status(w)));
    QVERIFY(status(w).contains(
        QRegularExpression(QStringLiteral(" in [0-9]+ ms\\.$|[0-9]\\.[0-9] s\\.$"))));

    w.on_saveArchive_clicked();
    QVERIFY2(status(w).startsWith(QStringLiteral("Saved backup.mzt (2 files) in ")),
             qPrintable(status(w)));

    selectRows(w.ui()->devTable, {rowOfName(w.ui()->devTable, QStringLiteral("SEQUENCE 03"))});
    auto question = answerNextBox(QMessageBox::Yes);
    w.delete_on_dev();
    QCOMPARE(question->files, QStringList {QStringLiteral("SEQUENCE 03")});
    QVERIFY(waitIdleAndConnected(w));
    QVERIFY2(status(w).startsWith(QStringLiteral("Deleted 1 file on the recorder in ")),
             qPrintable(status(w)));
    QVERIFY(!recs[0]->file(3));

    // Declining the overwrite question reports nothing done.
    selectRows(w.ui()->archTable, {rowOfName(w.ui()->archTable, QStringLiteral("SEQUENCE 01"))});
    question = answerNextBox(QMessageBox::No);
    w.transfer_to_dev();
    QTRY_VERIFY_WITH_TIMEOUT(!question->text.isEmpty(), 20000);
    QVERIFY(waitIdleAndConnected(w));
    QVERIFY(status(w).isEmpty());

    selectRows(w.ui()->archTable, {rowOfName(w.ui()->archTable, QStringLiteral("SEQUENCE 01"))});
    question = answerNextBox(QMessageBox::Ok);
    w.transfer_to_dev();
    QTRY_VERIFY_WITH_TIMEOUT(!question->text.isEmpty(), 20000);
    QVERIFY(waitIdleAndConnected(w));
    QVERIFY2(status(w).startsWith(
                 QStringLiteral("Uploaded 1 file from the archive to the recorder in ")),
             qPrintable(status(w)));

    // A failed download says so in its message and gets no success line.
    sim::Faults faults;
    faults.silentCommand = 10;
    recs[0]->setFaults(faults);
    selectRows(w.ui()->devTable, {rowOfName(w.ui()->devTable, QStringLiteral("SEQUENCE 02"))});
    question = answerNextBox(QMessageBox::Yes);
    w.save_in_arch();
    QCOMPARE(question->files, QStringList {QStringLiteral("SEQUENCE 02")});
    auto failure = answerNextBox(QMessageBox::Ok);
    QTRY_VERIFY_WITH_TIMEOUT(!failure->text.isEmpty(), 30000);
    QCOMPARE(failure->text,
             QStringLiteral("An error has ocurred while trying to download data\nform a device."));
    // The message names the file and the cause.
    QVERIFY2(failure->detail.startsWith(QLatin1String("SEQUENCE 02: ")),
             qPrintable(failure->detail));
    recs[0]->clearFaults();
    QVERIFY(waitIdleAndConnected(w));
    QVERIFY2(status(w).isEmpty(), qPrintable(status(w)));
}

void TestUsability::keysReachTheCommands()
{
    install({recorderWithFiles(2)});
    MainWindow w;
    QVERIFY(shownActiveAndSettled(w, 3));

    // Ctrl+N: a new archive in place of the unchanged one.
    const MZTArchive* before = w.archive();
    QTest::keyClick(&w, Qt::Key_N, Qt::ControlModifier);
    QVERIFY(w.archive() != before);

    // Delete in the archive table asks the archive question...
    w.archive()->addEntry(sequenceEntry(2));
    w.fillArchiveTable(w.archive(), w.ui()->archTable);
    w.ui()->archTable->setFocus();
    selectRows(w.ui()->archTable, {0});
    auto seen = answerNextBox(QMessageBox::No);
    QTest::keyClick(w.ui()->archTable, Qt::Key_Delete);
    QCOMPARE(seen->text, QStringLiteral("Do you really want to delete this files?"));
    QCOMPARE(seen->files, QStringList {QStringLiteral("SEQUENCE 02")});
    QCOMPARE(w.archive()->entries().size(), 1);

    // ...and in the recorder table the recorder's; the settings file alone
    // cannot be deleted, so it asks nothing.
    QTableWidget* dev = w.ui()->devTable;
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    dev->setFocus();
    QTRY_VERIFY(dev->hasFocus());
    selectRows(dev, {rowOfName(dev, QStringLiteral("SETTINGS"))});
    QTest::keyClick(dev, Qt::Key_Delete);
    QTest::qWait(100);
    QVERIFY(!QApplication::activeModalWidget());
    selectRows(dev, {rowOfName(dev, QStringLiteral("SEQUENCE 01"))});
    seen = answerNextBox(QMessageBox::No);
    QTest::keyClick(dev, Qt::Key_Delete);
    QCOMPARE(seen->text, QStringLiteral("Do you really want to delete these sequences?"));

    // Tab leaves the table instead of walking its cells.
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    dev->setFocus();
    QTest::keyClick(dev, Qt::Key_Tab);
    QVERIFY(!dev->hasFocus());

    // F5 discovers again.
    QTest::keyClick(&w, Qt::Key_F5);
    QVERIFY(w.isBusy());
    QVERIFY(waitSettled(w, 3));
}

void TestUsability::archiveEditsAreUndoneAndRedone()
{
    auto recorders = install({recorderWithFiles(3)});
    QTemporaryDir dir;
    MainWindow w;
    QVERIFY(shownActiveAndSettled(w, 4));
    const auto ids = [&w] {
        QList<int> all;
        for (const ArchiveEntry* entry : w.archive()->entries())
            all << entry->id();
        return all;
    };
    auto* undo = w.findChild<QAction*>(QStringLiteral("actionUndo"));
    auto* redo = w.findChild<QAction*>(QStringLiteral("actionRedo"));
    QVERIFY(undo && redo);
    QCOMPARE(w.ui()->menuEdit->actions().first(), undo);
    QVERIFY(!undo->isEnabled() && !redo->isEnabled());

    // A download, saved; then a removal and a renumbering.
    selectRows(w.ui()->devTable, {1, 2, 3});
    w.save_in_arch();
    QVERIFY(waitIdleAndConnected(w));
    QCOMPARE(ids(), (QList<int> {1, 2, 3}));
    w.archive()->setFileName(dir.filePath(QStringLiteral("edits.mzt")));
    QVERIFY(w.archive()->save());
    w.rememberArchiveOnDisk();
    QVERIFY(!w.archive()->isModified());
    selectRows(w.ui()->archTable, {1});
    auto removal = answerNextBox(QMessageBox::Yes);
    w.delete_from_arch();
    QCOMPARE(ids(), (QList<int> {1, 3}));
    w.renumberSequence(1, 0, 3, 9);
    QCOMPARE(ids(), (QList<int> {1, 9}));
    QCOMPARE(undo->text(), QStringLiteral("&Undo renumbering"));

    // Ctrl+Z takes them back one by one; back where it was saved, the
    // archive is unmodified again.
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(ids(), (QList<int> {1, 3}));
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(ids(), (QList<int> {1, 2, 3}));
    QCOMPARE(w.ui()->archTable->rowCount(), 3);
    QVERIFY(!w.archive()->isModified());
    QVERIFY(!w.ui()->archLabel->text().contains(QLatin1Char('*')));
    // The restored entry is the recorder's file, byte for byte.
    QCOMPARE(w.archive()->entries().at(1)->content(), *recorders[0]->file(2));

    // Ctrl+Shift+Z makes the removal again.
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(ids(), (QList<int> {1, 3}));
    QVERIFY(w.archive()->isModified());
    QCOMPARE(redo->text(), QStringLiteral("&Redo renumbering"));

    // Undoing the download empties the archive; another archive starts
    // with nothing to undo.
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    QVERIFY(ids().isEmpty());
    QVERIFY(!undo->isEnabled());
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(ids(), (QList<int> {1, 2, 3}));
    QVERIFY(!w.archive()->isModified());
    QTest::keyClick(&w, Qt::Key_N, Qt::ControlModifier);
    QVERIFY(w.archive()->entries().isEmpty());
    QVERIFY(!undo->isEnabled() && !redo->isEnabled());
}

void TestUsability::sizesWidthsAndSortOrderAreRemembered()
{
    install({});
    QSize chosen;
    {
        MainWindow w;
        w.show();
        QVERIFY(waitSettled(w, 0));
        // The size hints follow the labels' texts once the layouts have run.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        // Any size that fits the screen, at least as large as the window can be.
        chosen = QSize(760, 520).expandedTo(w.minimumSizeHint());
        w.resize(chosen);
        w.ui()->archTable->setColumnWidth(0, 211);
        w.ui()->devTable->sortItems(1, Qt::DescendingOrder);
        QVERIFY(w.close());
    }
    MainWindow w;
    w.show();
    QVERIFY(waitSettled(w, 0));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    // As it was left, unless its content now needs more room.
    QCOMPARE(w.size(), chosen.expandedTo(w.minimumSizeHint()));
    QCOMPARE(w.ui()->archTable->columnWidth(0), 211);
    QCOMPARE(w.ui()->devTable->horizontalHeader()->sortIndicatorSection(), 1);
    QCOMPARE(w.ui()->devTable->horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
}

void TestUsability::recentArchives()
{
    QTemporaryDir dir;
    QStringList paths;
    for (int n = 1; n <= 9; ++n) {
        paths << dir.filePath(QStringLiteral("a%1.mzt").arg(n));
        QVERIFY(writeArchive(paths.last(), {n}));
    }
    install({});
    {
        MainWindow w;
        QVERIFY(waitSettled(w, 0));
        auto* recent = w.findChild<QMenu*>(QStringLiteral("menuRecent"));
        QVERIFY(recent);
        QVERIFY(!recent->isEnabled());
        for (const QString& p : paths)
            w.openRecentArchive(p);
        QCOMPARE(w.archive()->fileName(), paths.last());
        QCOMPARE(w.archive()->entries().first()->id(), 9);
        // Newest first, eight of them.
        QStringList expected;
        for (int n = 9; n >= 2; --n)
            expected << paths[n - 1];
        QCOMPARE(w.recentArchives(), expected);
        QCOMPARE(recent->actions().size(), 8);
        QCOMPARE(recent->actions().first()->text(), QStringLiteral("&1 a9.mzt"));
        // The File menu keeps its order; the submenu sits after Open.
        const QList<QAction*> file = w.ui()->menuFile->actions();
        QCOMPARE(file.indexOf(recent->menuAction()), file.indexOf(w.ui()->action_Open_Archive) + 1);

        // Opening one again moves it to the top.
        recent->actions().at(3)->trigger();
        QCOMPARE(w.archive()->fileName(), paths[5]);
        QCOMPARE(w.recentArchives().first(), paths[5]);

        // A vanished archive is reported and the open one stays.
        QFile::remove(paths[8]);
        auto seen = answerNextBox(QMessageBox::Ok);
        w.openRecentArchive(paths[8]);
        QCOMPARE(seen->text, QStringLiteral("Failed to open the archive."));
        QCOMPARE(seen->detail, paths[8] + QStringLiteral(": no such file."));
        QCOMPARE(w.archive()->fileName(), paths[5]);

        // Unsaved changes are offered for saving first.
        w.archive()->addEntry(sequenceEntry(30));
        seen = answerNextBox(QMessageBox::No);
        w.openRecentArchive(paths[2]);
        QCOMPARE(seen->text,
                 QStringLiteral(
                     "The current archive has been modified\nDo you want to save the changes?"));
        QCOMPARE(w.archive()->fileName(), paths[2]);
    }
    MainWindow w;
    QVERIFY(waitSettled(w, 0));
    QCOMPARE(w.recentArchives().size(), 8);
    QCOMPARE(w.recentArchives().first(), paths[2]);
}

void TestUsability::recordersAreToldApart()
{
    sim::DeviceConfig first = recorderWithFiles(1);
    first.serial = "KV000011";
    sim::DeviceConfig second = recorderWithFiles(2);
    second.serial = "KV000022";
    install({first, second});
    MainWindow w;
    QVERIFY(waitSettled(w, 2));
    QComboBox* combo = w.ui()->devicesCombo;
    QCOMPARE(comboTexts(combo), (QStringList {"MZT-500 #1", "MZT-500 #2"}));
    const QString tip1 = combo->itemData(0, Qt::ToolTipRole).toString();
    const QString tip2 = combo->itemData(1, Qt::ToolTipRole).toString();
    QVERIFY2(tip1.contains(QLatin1String("serial number KV000011"))
                 && tip1.contains(QLatin1String("port 0x")),
             qPrintable(tip1));
    QVERIFY2(tip2.contains(QLatin1String("KV000022")), qPrintable(tip2));
    QVERIFY(tip1 != tip2);
    // The label names the recorder whose files the table shows.
    QVERIFY(w.ui()->devLabel->text().startsWith(QLatin1String("<b>MZT-500</b>")));
    QVERIFY(w.ui()->devLabel->text().contains(QLatin1String("KV000011")));
    combo->setCurrentIndex(1);
    QVERIFY(waitSettled(w, 3));
    QVERIFY(w.ui()->devLabel->text().contains(QLatin1String("KV000022")));
}

void TestUsability::aRecorderOnASerialPortShowsItsPath()
{
    sim::Bus::instance().uninstall();
    const QByteArray simulatorBefore = qgetenv("MZT500_SIMULATOR");
    qunsetenv("MZT500_SIMULATOR");
    qputenv("MZT500_NO_HARDWARE", "1");
    QProcess simulator;
    simulator.setProgram(QStringLiteral(MZT500_SIM_PATH));
    simulator.setArguments({QStringLiteral("--pty")});
    simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    simulator.start();
    QVERIFY2(simulator.waitForStarted(5000), qPrintable(simulator.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(simulator.canReadLine(), 20000);
    const QString pty = QString::fromLocal8Bit(simulator.readLine()).trimmed();
    QVERIFY2(pty.startsWith(QLatin1Char('/')), qPrintable(pty));
    qputenv("MZT500_PORTS", (pty + QStringLiteral("=KORVANT KVP-DEV")).toLocal8Bit());
    {
        MainWindow w;
        QVERIFY(QTest::qWaitFor(
            [&] { return settled(w) && w.isConnected() && w.ui()->devTable->rowCount() > 0; },
            30000));
        const QString label = w.ui()->devLabel->text();
        QVERIFY2(label.contains(QStringLiteral("port ") + pty), qPrintable(label));
        const QString tip = w.ui()->devicesCombo->itemData(0, Qt::ToolTipRole).toString();
        QVERIFY2(tip.contains(QStringLiteral("port ") + pty), qPrintable(tip));
    }
    qunsetenv("MZT500_PORTS");
    if (!simulatorBefore.isNull())
        qputenv("MZT500_SIMULATOR", simulatorBefore);
    simulator.terminate();
    QVERIFY(simulator.waitForFinished(5000));
}

void TestUsability::anArchiveFromAnotherRecorderSaysWhose()
{
    sim::DeviceConfig listed = recorderWithFiles(1);
    listed.serial = "KV000011";
    install({listed});
    QTemporaryDir dir;
    const auto backupOf = [&](const RecorderIdentity& recorder, const QString& name) {
        MZTArchive archive(dir.filePath(name), nullptr);
        archive.setRecorder(recorder);
        archive.addEntry(sequenceEntry(1));
        return archive.save() ? archive.fileName() : QString();
    };
    const QString demo = backupOf({QStringLiteral("KVDEMO01"), {}}, QStringLiteral("demo.mzt"));
    const QString own = backupOf({QStringLiteral("KV000011"), {}}, QStringLiteral("own.mzt"));
    QVERIFY(!demo.isEmpty() && !own.isEmpty());

    // One window at a time: each holds the recorder while it is open.
    for (const auto& [path, expectedFrom] :
         {std::pair {demo, QStringLiteral("from KVDEMO01")}, std::pair {own, QString()}}) {
        MainWindow w(path);
        QVERIFY(waitSettled(w, 2));
        QVERIFY(QTest::qWaitFor([&] { return w.isConnected(); }, 20000));
        const QString label = w.ui()->archLabel->text();
        QVERIFY2(label.contains(QFileInfo(path).fileName()), qPrintable(label));
        QVERIFY2(expectedFrom.isEmpty() ? !label.contains(QLatin1String("from "))
                                        : label.contains(expectedFrom),
                 qPrintable(label));
    }
}

void TestUsability::noRecorderFoundPointsToHelp()
{
    install({});
    MainWindow w;
    QVERIFY(waitSettled(w, 0));
    const QString text = w.ui()->devLabel->text();
    QVERIFY2(text.startsWith(QLatin1String("No recorder found.")), qPrintable(text));
    QVERIFY(text.contains(
        QStringLiteral("href=\"%1\"").arg(QLatin1String(MainWindow::recorderNotFoundLink))));
    // A recorder plugged in later is found by the next discovery.
    install({recorderWithFiles(1)});
    w.on_discoverDevice_clicked();
    QVERIFY(waitSettled(w, 2));
    QVERIFY(w.ui()->devLabel->text().startsWith(QLatin1String("<b>MZT-500</b>")));
}

void TestUsability::windowWorksAt800x600()
{
    sim::DeviceConfig recorder = recorderWithFiles(64);
    recorder.serial = "KV000064";
    install({recorder});
    MainWindow w;
    w.resize(800, 600);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(waitSettled(w, 65));
    QVERIFY2(w.width() <= 800 && w.height() <= 600,
             qPrintable(QStringLiteral("%1 x %2").arg(w.width()).arg(w.height())));
    // Every button shows its whole text, the tables their names.
    for (QPushButton* b : w.findChildren<QPushButton*>()) {
        if (b->isVisible())
            QVERIFY2(b->width() >= b->minimumSizeHint().width(), qPrintable(b->objectName()));
    }
    QTableWidget* dev = w.ui()->devTable;
    const int nameWidth = dev->fontMetrics().horizontalAdvance(QStringLiteral("SEQUENCE 64"));
    QVERIFY(dev->columnWidth(0) > nameWidth);
    QVERIFY(dev->isVisible() && w.ui()->archTable->isVisible());
    QVERIFY(w.ui()->toArchive->isVisible());
}

void TestUsability::firstStartFitsTheScreen()
{
    install({recorderWithFiles(3)});
    // Every part of the window, the progress area of a transfer included.
    const auto offScreen = [](MainWindow& w) {
        const QRect available = w.screen()->availableGeometry();
        QStringList outside;
        if (!available.contains(w.frameGeometry()))
            outside << QStringLiteral("window");
        for (QWidget* part : std::initializer_list<QWidget*> {
                 w.ui()->saveArchive, w.ui()->saveArchiveAs, w.ui()->abortButton,
                 w.ui()->progBarTotal, w.ui()->archTable, w.statusBar()})
            if (!part->isVisible()
                || !available.contains(QRect(part->mapToGlobal(QPoint(0, 0)), part->size())))
                outside << part->objectName();
        return outside.join(QLatin1Char(' '));
    };
    QRect available;
    {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(waitSettled(w, 4));
        available = w.screen()->availableGeometry();
        w.showProgress();
        QTest::qWait(50);
        QCOMPARE(offScreen(w), QString());
        w.hideProgress();
        // The place it is left at lies on a monitor that is gone next time.
        w.setGeometry(QRect(available.right() + 400, available.bottom() + 300, 700, 500));
        QVERIFY(w.close());
    }
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(waitSettled(w, 4));
    QCOMPARE(w.size(), QSize(700, 500).expandedTo(w.minimumSizeHint()));
    w.showProgress();
    QTest::qWait(50);
    QCOMPARE(offScreen(w), QString());
}

void TestUsability::statusLineFollowsTheOpenArchive()
{
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first.mzt"));
    const QString second = dir.filePath(QStringLiteral("second.mzt"));
    QVERIFY(writeArchive(first, {1, 2}));
    QVERIFY(writeArchive(second, {3}));
    install({});
    MainWindow w(first);
    QVERIFY(waitSettled(w, 0));
    w.archive()->addEntry(sequenceEntry(4));
    w.on_saveArchive_clicked();
    QVERIFY2(status(w).startsWith(QStringLiteral("Saved first.mzt")), qPrintable(status(w)));

    // The line about the first archive does not stay under the second.
    w.openRecentArchive(second);
    QCOMPARE(status(w), QStringLiteral("Opened second.mzt (1 entry)."));
    w.on_newArchive_clicked();
    QCOMPARE(status(w), QString());
}

QTEST_MAIN(TestUsability)
#include "tst_app_usability.moc"

namespace {

// The object names of the controls Tab visits, from the first one on, once
// round.
QStringList tabChain(QWidget* first)
{
    QStringList names;
    first->setFocus(Qt::TabFocusReason);
    if (!QTest::qWaitFor([first] { return first->hasFocus(); }, 2000))
        return names;
    for (int i = 0; i < 40; ++i) {
        QWidget* focused = QApplication::focusWidget();
        if (!focused || names.contains(focused->objectName()))
            break;
        names << focused->objectName();
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    return names;
}

// Whether every text has a mnemonic and no two share one.
bool mnemonicsAreUnique(const QStringList& texts)
{
    QSet<QChar> used;
    for (const QString& text : texts) {
        if (text.isEmpty())
            continue; // a separator
        const qsizetype at = text.indexOf(QLatin1Char('&'));
        if (at < 0 || at + 1 >= text.size() || used.contains(text[at + 1].toLower())) {
            qWarning() << "no mnemonic of its own:" << text << "among" << texts;
            return false;
        }
        used.insert(text[at + 1].toLower());
    }
    return true;
}

QList<QAction*> menuActions(const QList<QAction*>& actions)
{
    QList<QAction*> all;
    for (QAction* action : actions) {
        all << action;
        if (action->menu())
            all << menuActions(action->menu()->actions());
    }
    return all;
}

} // namespace

void TestUsability::everythingIsReachedWithTheKeyboard()
{
    // Without a recorder, the label's help link is a stop of its own.
    install({});
    {
        MainWindow w;
        QVERIFY(shownActiveAndSettled(w, 0));
        QVERIFY(tabChain(w.ui()->discoverDevice).contains(QStringLiteral("devLabel")));
    }

    auto recorders = install({recorderWithFiles(2)});
    QTemporaryDir dir;
    MainWindow w;
    QVERIFY(shownActiveAndSettled(w, 3));

    // The recorder's side, then the archive's; plain text is never a stop.
    const QStringList recorderSide {"discoverDevice", "devicesCombo", "backUpRecorder",
                                    "verifyRecorder", "devTable"};
    const QStringList archiveSide {"newArchive",    "openArchive", "saveArchive",
                                   "saveArchiveAs", "historyLink", "archTable"};
    QCOMPARE(tabChain(w.ui()->discoverDevice), recorderSide + archiveSide);

    // A copy started from the keyboard gives the focus back: to its button,
    // which the command disabled meanwhile, or while the button stays
    // disabled (the list read again has no selection), to its table.
    QTableWidget* dev = w.ui()->devTable;
    selectRows(dev, {rowOfName(dev, QStringLiteral("SEQUENCE 01"))});
    QToolButton* toArchive = w.ui()->toArchive;
    QVERIFY(toArchive->isEnabled());
    toArchive->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(toArchive->hasFocus());
    QTest::keyClick(toArchive, Qt::Key_Space);
    QTRY_VERIFY(w.isBusy());
    QVERIFY(QTest::qWaitFor([&] { return !w.isBusy(); }, 20000));
    QCOMPARE(w.archive()->entries().size(), 1);
    QTRY_COMPARE(QApplication::focusWidget(),
                 toArchive->isEnabled() ? static_cast<QWidget*>(toArchive) : dev);

    // Once the archive is on disk, the status bar's "Show in folder" is the
    // last stop; the copy arrows come between the tables.
    w.archive()->setFileName(dir.filePath(QStringLiteral("keys.mzt")));
    QVERIFY(w.archive()->save());
    w.updateArchLabel();
    selectRows(dev, {rowOfName(dev, QStringLiteral("SEQUENCE 01"))});
    const QStringList chain = tabChain(w.ui()->discoverDevice);
    QCOMPARE(chain.last(), QStringLiteral("showInFolderLink"));
    QVERIFY(chain.indexOf(QStringLiteral("toArchive")) > chain.indexOf(QStringLiteral("devTable")));
    QVERIFY(chain.indexOf(QStringLiteral("toArchive"))
            < chain.indexOf(QStringLiteral("newArchive")));

    // Context menus and the questions' buttons can be used with Alt.
    QVERIFY(mnemonicsAreUnique(
        menuTexts([&] { w.ctxMenuDev(dev->visualItemRect(dev->item(0, 0)).center()); }, true)));
    QTableWidget* arch = w.ui()->archTable;
    selectRows(arch, {0});
    QVERIFY(mnemonicsAreUnique(
        menuTexts([&] { w.ctxMenuArch(arch->visualItemRect(arch->item(0, 0)).center()); }, true)));
    QStringList buttons;
    auto listed = clickInNextBox(QStringLiteral("No"), [&buttons](QMessageBox* box) {
        for (const QAbstractButton* button : box->buttons())
            buttons << button->text();
    });
    w.transfer_to_dev();
    QVERIFY(QTest::qWaitFor([&] { return !listed->isEmpty(); }, 20000));
    QVERIFY(QTest::qWaitFor([&] { return !w.isBusy(); }, 20000));
    QCOMPARE(buttons.size(), 3);
    QVERIFY(mnemonicsAreUnique(buttons));

    // The manual's Keys section lists every key the menus show.
    QFile manual(QStringLiteral(":/manual/html/UserManual.html"));
    QVERIFY(manual.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(manual.readAll());
    const QString keys = page.mid(page.indexOf(QLatin1String("id=\"keys\"")));
    QStringList missing;
    for (const QAction* action : menuActions(w.menuBar()->actions())) {
        for (const QKeySequence& key : action->shortcuts()) {
            const QString written = key.toString(QKeySequence::PortableText);
            if (!keys.contains(QStringLiteral("<code>%1</code>").arg(written)))
                missing << written + QStringLiteral(" (") + shownText(action->text())
                        + QLatin1Char(')');
        }
    }
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QStringLiteral(", "))));
}
