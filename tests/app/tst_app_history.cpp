// The backup history in the window: backups made by "Back up recorder" from
// a simulated recorder whose files change between them, listed with what
// changed; a file's history from the tables' menus; opening a backup and
// restoring an old version to the recorder; keeping old backups.
#include "apptest.h"

#include "historyview.h"
#include "recorder_backup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTreeWidget>

using namespace apptest;

namespace {

const QString kSerial = QStringLiteral("KV000042");

QSettings windowSettings()
{
    return {QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvant"),
            QStringLiteral("MZT-500 Data Backup Tool")};
}

// Sequence id as the recorder holds it in one of its versions: same record
// and length, other bytes.
QByteArray sequenceVersion(int id, char fill)
{
    return testcommon::recorderFile(qint32(id), 1, 2048u * quint32(id), 1000u * quint32(id),
                                    QByteArray(32, fill));
}

// "Back up recorder", to its end; the new backup's path, which it shows as
// the current archive.
QString backUp(MainWindow& w)
{
    w.backUpRecorder();
    if (!waitIdleAndConnected(w) || !QFileInfo::exists(w.currentArchivePath()))
        return QString();
    return w.currentArchivePath();
}

// The window lists the recorder again after its files were changed.
bool relist(MainWindow& w, int rows)
{
    w.updateMZTContent();
    return waitSettled(w, rows) && waitIdleAndConnected(w);
}

HistoryView* openedView(MainWindow& w)
{
    HistoryView* view = w.historyWindow();
    if (!view || !QTest::qWaitFor([view] { return !view->isReading(); }, 20000))
        return nullptr;
    return view;
}

QStringList column(const QTableWidget* table, int c)
{
    QStringList texts;
    for (int r = 0; r < table->rowCount(); ++r)
        texts << table->item(r, c)->text();
    return texts;
}

QStringList treeRows(const QTreeWidget* tree)
{
    QStringList rows;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        rows << tree->topLevelItem(i)->text(0) + QStringLiteral(": ")
                + tree->topLevelItem(i)->text(1);
    return rows;
}

void selectInTree(QTreeWidget* tree, const QString& name)
{
    tree->clearSelection();
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        if (tree->topLevelItem(i)->text(0) == name)
            tree->topLevelItem(i)->setSelected(true);
}

// Opens a table's menu at row and chooses the entry with this text; false
// when the menu had none.
bool chooseInRowMenu(MainWindow& w, QTableWidget* table, int row, const QString& text)
{
    bool found = false;
    QTimer::singleShot(0, [&found, text] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        QAction* chosen = nullptr;
        for (QAction* a : menu->actions())
            if (shownText(a->text()) == text)
                chosen = a;
        menu->close();
        if (chosen) {
            found = true;
            chosen->trigger();
        }
    });
    const QPoint at = table->visualItemRect(table->item(row, 0)).center();
    if (table == w.ui()->devTable)
        w.ctxMenuDev(at);
    else
        w.ctxMenuArch(at);
    return found;
}

// SETTINGS and SEQUENCE 01 to 03, with a serial number.
sim::DeviceConfig recorderOfThree()
{
    sim::DeviceConfig config = recorderWithFiles(3);
    config.serial = kSerial.toStdString();
    return config;
}

QStringList backupsIn(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("*.mzt")}, QDir::Files, QDir::Name);
}

} // namespace

class TestAppHistory : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void backupsListedWithWhatChanged();
    void historyOfOneFileFromEitherTable();
    void openAndRestoreAnOldBackup();
    void oldBackupsRemovedOnlyAfterASavedBackup();

private:
    // Makes three backups through the window while the recorder changes:
    // the first holds SETTINGS and SEQUENCE 01 to 03; before the second,
    // SEQUENCE 02 is recorded again, SEQUENCE 04 added and SEQUENCE 01
    // deleted; before the third, SEQUENCE 03 is recorded again.
    void makeThreeBackups(MainWindow& w, sim::Recorder& recorder);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_folder;
    QStringList m_backups; // oldest first
};

void TestAppHistory::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
}

void TestAppHistory::init()
{
    clearSettings();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->path();
    QSettings settings = windowSettings();
    backup::setFolder(settings, m_folder);
    m_backups.clear();
}

void TestAppHistory::cleanup()
{
    sim::Bus::instance().uninstall();
    MZTArchive::setSaveFaults({});
    QLoggingCategory::setFilterRules(QString());
}

void TestAppHistory::makeThreeBackups(MainWindow& w, sim::Recorder& recorder)
{
    QVERIFY(waitSettled(w, 4));
    QVERIFY(waitIdleAndConnected(w));
    m_backups << backUp(w);
    recorder.putFile(sim::fileNumberOf(2), sequenceVersion(2, 'b'));
    recorder.putFile(sim::fileNumberOf(4), sequenceVersion(4, 'd'));
    recorder.removeFile(sim::fileNumberOf(1));
    QVERIFY(relist(w, 4));
    m_backups << backUp(w);
    recorder.putFile(sim::fileNumberOf(3), sequenceVersion(3, 'c'));
    QVERIFY(relist(w, 4));
    m_backups << backUp(w);
    QVERIFY2(!m_backups.contains(QString()) && m_backups.removeDuplicates() == 0,
             qPrintable(m_backups.join(QLatin1Char('\n'))));
}

void TestAppHistory::backupsListedWithWhatChanged()
{
    auto recorders = install({recorderOfThree()});
    MainWindow w;
    w.show();
    makeThreeBackups(w, *recorders[0]);
    // A file named like an archive that is none: listed, never touched.
    QFile notes(QDir(m_folder).filePath(QStringLiteral("notes.mzt")));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("not an archive\n");
    notes.close();

    // The link beside "Back up recorder", and the File menu's entry.
    auto* link = w.findChild<QPushButton*>(QStringLiteral("historyLink"));
    QVERIFY(link && link->isVisible());
    auto* action = w.findChild<QAction*>(QStringLiteral("actionHistory"));
    QVERIFY(action && w.ui()->menuFile->actions().contains(action));
    link->click();
    HistoryView* view = openedView(w);
    QVERIFY(view);
    QVERIFY(view->isVisible());
    auto* recorderList = view->findChild<QComboBox*>(QStringLiteral("historyRecorders"));
    QCOMPARE(comboTexts(recorderList), QStringList {QStringLiteral("KV000042 (3 backups)")});
    const QString status = view->findChild<QLabel*>(QStringLiteral("historyStatus"))->text();
    QVERIFY2(status.contains(QLatin1String("Unreadable, skipped and left alone: notes.mzt")),
             qPrintable(status));
    QVERIFY(notes.exists());

    // Newest first: date, number of files, what changed since the one before.
    auto* backups = view->findChild<QTableWidget*>(QStringLiteral("historyBackups"));
    QCOMPARE(column(backups, 1), (QStringList {"4", "4", "4"}));
    QCOMPARE(column(backups, 2), (QStringList {"+0 ~1 -0", "+1 ~1 -1", "first"}));
    QStringList names;
    for (const QString& path : std::as_const(m_backups))
        names.prepend(QFileInfo(path).fileName());
    QCOMPARE(column(backups, 3), names);
    const QRegularExpression date(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d$"));
    for (const QString& text : column(backups, 0))
        QVERIFY2(date.match(text).hasMatch(), qPrintable(text));

    // On selection the changed names, then the files that stayed the same.
    auto* files = view->findChild<QTreeWidget*>(QStringLiteral("historyFiles"));
    backups->selectRow(1);
    QCOMPARE(
        treeRows(files),
        (QStringList {"SEQUENCE 04: added", "SEQUENCE 02: changed",
                      "SEQUENCE 01: removed (not in this backup)", "SETTINGS: ", "SEQUENCE 03: "}));
    backups->selectRow(0);
    QCOMPARE(treeRows(files).first(), QStringLiteral("SEQUENCE 03: changed"));
    // A removed file is not in the backup: nothing to restore from it.
    backups->selectRow(1);
    auto* restore = view->findChild<QPushButton*>(QStringLiteral("historyRestore"));
    selectInTree(files, QStringLiteral("SEQUENCE 01"));
    QVERIFY(!restore->isEnabled());
    selectInTree(files, QStringLiteral("SEQUENCE 02"));
    QVERIFY(restore->isEnabled());

    // A recorder without backups gets the list of those that have some.
    recorders[0]->vanish();
    QVERIFY(QTest::qWaitFor([&w] { return !w.isConnected(); }, 20000));
    w.showHistory();
    view = openedView(w);
    QVERIFY(view);
    QCOMPARE(recorderList->currentText(), QStringLiteral("KV000042 (3 backups)"));
    QCOMPARE(backups->rowCount(), 3);
}

void TestAppHistory::historyOfOneFileFromEitherTable()
{
    auto recorders = install({recorderOfThree()});
    MainWindow w;
    w.show();
    makeThreeBackups(w, *recorders[0]);

    QTableWidget* dev = w.ui()->devTable;
    QVERIFY(chooseInRowMenu(w, dev, rowOfName(dev, QStringLiteral("SEQUENCE 02")),
                            QStringLiteral("History of SEQUENCE 02")));
    HistoryView* view = openedView(w);
    QVERIFY(view);
    QCOMPARE(view->windowTitle(), QStringLiteral("History of SEQUENCE 02"));
    QVERIFY(view->findChild<QLabel*>(QStringLiteral("historyStatus"))
                ->text()
                .startsWith(QLatin1String("History of SEQUENCE 02. 3 backups in ")));
    auto* changes = view->findChild<QTableWidget*>(QStringLiteral("historyFileChanges"));
    QVERIFY(changes->isVisible());
    QCOMPARE(column(changes, 1), (QStringList {"changed", "added"}));
    QCOMPARE(
        column(changes, 2),
        (QStringList {QFileInfo(m_backups[1]).fileName(), QFileInfo(m_backups[0]).fileName()}));

    // From the archive table (the newest backup is the current archive);
    // a file the recorder deleted shows that too.
    QTableWidget* arch = w.ui()->archTable;
    QVERIFY(chooseInRowMenu(w, arch, rowOfName(arch, QStringLiteral("SEQUENCE 03")),
                            QStringLiteral("History of SEQUENCE 03")));
    view = openedView(w);
    QCOMPARE(column(changes, 1), (QStringList {"changed", "added"}));
    QCOMPARE(column(changes, 2).first(), QFileInfo(m_backups[2]).fileName());
    // Sequence 1 is only in the oldest backup's archive.
    w.openRecentArchive(m_backups[0]);
    QVERIFY(chooseInRowMenu(w, arch, rowOfName(arch, QStringLiteral("SEQUENCE 01")),
                            QStringLiteral("History of SEQUENCE 01")));
    view = openedView(w);
    QCOMPARE(column(changes, 1), (QStringList {"removed", "added"}));
    // The removal's backup does not hold the file: nothing to restore there.
    changes->selectRow(0);
    QVERIFY(!view->findChild<QPushButton*>(QStringLiteral("historyRestore"))->isEnabled());
    changes->selectRow(1);
    QVERIFY(view->findChild<QPushButton*>(QStringLiteral("historyRestore"))->isEnabled());
}

void TestAppHistory::openAndRestoreAnOldBackup()
{
    auto recorders = install({recorderOfThree()});
    MainWindow w;
    w.show();
    makeThreeBackups(w, *recorders[0]);
    // The recorder gets back what the oldest backup holds.
    const QByteArray oldSequence2 = testcommon::archivedContent(m_backups[0], 2);
    QVERIFY(!oldSequence2.isEmpty());
    QVERIFY(*recorders[0]->file(sim::fileNumberOf(2)) != oldSequence2);

    w.showHistory();
    HistoryView* view = openedView(w);
    QVERIFY(view);
    auto* backups = view->findChild<QTableWidget*>(QStringLiteral("historyBackups"));
    auto* files = view->findChild<QTreeWidget*>(QStringLiteral("historyFiles"));
    auto* open = view->findChild<QPushButton*>(QStringLiteral("historyOpen"));
    auto* restore = view->findChild<QPushButton*>(QStringLiteral("historyRestore"));

    // Open: the usual question about unsaved changes comes first.
    w.archive()->addEntry(sequenceEntry(30));
    backups->selectRow(2);
    auto question = answerNextBox(QMessageBox::No);
    open->click();
    QCOMPARE(
        question->text,
        QStringLiteral("The current archive has been modified\nDo you want to save the changes?"));
    QCOMPARE(w.currentArchivePath(), m_backups[0]);
    QCOMPARE(w.ui()->archTable->rowCount(), 4);

    // Restore SEQUENCE 02 from the oldest backup: the recorder holds a newer
    // version, so the usual question names it; OK writes the old bytes.
    w.openRecentArchive(m_backups[2]);
    backups->selectRow(2);
    selectInTree(files, QStringLiteral("SEQUENCE 02"));
    auto overwrite = answerNextBox(QMessageBox::Ok);
    restore->click();
    QVERIFY(waitIdleAndConnected(w));
    QCOMPARE(overwrite->files, QStringList {QStringLiteral("SEQUENCE 02")});
    QCOMPARE(w.currentArchivePath(), m_backups[0]);
    QCOMPARE(*recorders[0]->file(sim::fileNumberOf(2)), oldSequence2);
    // Nothing else was written.
    QCOMPARE(*recorders[0]->file(sim::fileNumberOf(3)), sequenceVersion(3, 'c'));
    QVERIFY(!recorders[0]->file(sim::fileNumberOf(1)));

    // Without a recorder nothing is opened or asked but that it is missing.
    w.openRecentArchive(m_backups[2]);
    recorders[0]->vanish();
    QVERIFY(QTest::qWaitFor([&w] { return !w.isConnected() && !w.isBusy(); }, 20000));
    backups->selectRow(2);
    selectInTree(files, QStringLiteral("SEQUENCE 03"));
    auto missing = answerNextBox(QMessageBox::Ok);
    restore->click();
    QCOMPARE(
        missing->text,
        QStringLiteral("No recorder is ready: connect one and wait until its files are listed."));
    QCOMPARE(w.currentArchivePath(), m_backups[2]);
}

void TestAppHistory::oldBackupsRemovedOnlyAfterASavedBackup()
{
    auto recorders = install({recorderOfThree()});
    MainWindow w;
    w.show();
    QVERIFY(waitSettled(w, 4));
    QVERIFY(waitIdleAndConnected(w));

    // Keeping every backup is the default: seven backups stay seven. They
    // are then dated into one past month, a day apart.
    for (int n = 1; n <= 7; ++n) {
        const QString made = backUp(w);
        QVERIFY(!made.isEmpty());
        // Renamed while no longer the window's archive.
        w.on_actionNew_Archive_triggered();
        const QString dated = QDir(m_folder).filePath(
            backup::fileName(kSerial, QDateTime(QDate(2026, 3, n), QTime(10, 0))));
        QVERIFY(QFile::rename(made, dated));
    }
    QCOMPARE(backupsIn(m_folder).size(), 7);

    // The setting, in the history view.
    w.showHistory();
    HistoryView* view = openedView(w);
    QVERIFY(view);
    auto* keep = view->findChild<QComboBox*>(QStringLiteral("historyKeep"));
    QCOMPARE(keep->currentText(), QStringLiteral("Keep every backup"));
    keep->setCurrentIndex(keep->findData(5));
    QCOMPARE(keep->currentText(), QStringLiteral("Keep the last 5 and the first of each month"));
    QCOMPARE(keeping::keepLast(windowSettings()), 5);

    // A backup whose save fails removes nothing.
    MZTArchive::SaveFaults faults;
    faults.spaceLeft = 100;
    MZTArchive::setSaveFaults(faults);
    w.backUpRecorder();
    QVERIFY(QTest::qWaitFor([&w] { return w.findChild<QMessageBox*>() != nullptr; }, 20000));
    w.findChild<QMessageBox*>()->accept();
    QVERIFY(waitIdleAndConnected(w));
    MZTArchive::setSaveFaults({});
    QTest::qWait(200);
    QCOMPARE(backupsIn(m_folder).size(), 7);

    // A saved one removes what the setting lets go, and logs it: of March,
    // the first is the first of its month, the 4th to the 7th are among the
    // last five with the new one (a month of its own, and the newest).
    QLoggingCategory::setFilterRules(QStringLiteral("mzt.app.info=true"));
    for (int day : {2, 3})
        QTest::ignoreMessage(
            QtInfoMsg,
            QRegularExpression(QStringLiteral("removed old backup .*2026-03-0%1").arg(day)));
    const QString newest = backUp(w);
    QVERIFY(!newest.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(backupsIn(m_folder).size(), 6, 20000);
    QStringList expected;
    for (int day : {1, 4, 5, 6, 7})
        expected << backup::fileName(kSerial, QDateTime(QDate(2026, 3, day), QTime(10, 0)));
    expected << QFileInfo(newest).fileName();
    expected.sort();
    QCOMPARE(backupsIn(m_folder), expected);
    QTRY_VERIFY(w.statusBar()->currentMessage().endsWith(QLatin1String("Removed 2 old backups.")));
    // The open history view shows what is left.
    QTRY_COMPARE(view->findChild<QTableWidget*>(QStringLiteral("historyBackups"))->rowCount(), 6);
}

QTEST_MAIN(TestAppHistory)
#include "tst_app_history.moc"
