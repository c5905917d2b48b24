// Backing up a whole recorder into a dated archive, and the commands that
// drag and drop start: rows between the tables and archives dropped on the
// window.
#include "apptest.h"

#include "mztarchive.h"
#include "recorder_backup.h"
#include "transfertable.h"

#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

using namespace apptest;
using testcommon::acceptNextFileDialog;
using testcommon::clickInNextBox;

namespace {

QSettings windowSettings()
{
    return {QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvant"),
            QStringLiteral("MZT-500 Data Backup Tool")};
}

// Saves an archive holding sequence 7 at path.
bool saveArchiveOfSeven(const QString& path)
{
    MZTArchive archive(path, nullptr);
    archive.addEntry(sequenceEntry(7));
    return archive.save();
}

QList<int> entryIds(const MZTArchive& archive)
{
    QList<int> ids;
    for (const ArchiveEntry* e : archive.entries())
        ids << e->id();
    std::sort(ids.begin(), ids.end());
    return ids;
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

// The rows' own drag data, as the view makes it when they are dragged.
QMimeData* dragData(QTableWidget* table, const QList<int>& rows)
{
    selectRows(table, rows);
    return table->model()->mimeData(table->selectionModel()->selectedIndexes());
}

// Drops data on a table as its view does; the command the drop starts
// begins once the drop has returned to the event loop.
bool drop(QTableWidget* onto, const QMimeData* data)
{
    const bool taken = onto->model()->dropMimeData(data, Qt::CopyAction, -1, -1, QModelIndex());
    QCoreApplication::processEvents();
    return taken;
}

// The same through the view's own drag events, as a mouse drag ends.
bool dropOnView(QTableWidget* onto, QMimeData* data)
{
    QWidget* viewport = onto->viewport();
    const QPoint at = viewport->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QDragMoveEvent move(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &move);
    if (!move.isAccepted())
        return false;
    QDropEvent dropped(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &dropped);
    QCoreApplication::processEvents();
    return dropped.isAccepted();
}

QMimeData* fileDrop(const QString& path)
{
    auto* data = new QMimeData;
    data->setUrls({QUrl::fromLocalFile(path)});
    return data;
}

// Drags data over the window and drops it there; true when the window took
// the drag.
bool dropOnWindow(MainWindow& w, QMimeData* data)
{
    const QPoint at = w.rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent dropped(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &dropped);
    return dropped.isAccepted();
}

// Backs the recorder up onto a disk with 100 bytes left, so that the save
// fails: the message box the window then shows, or null when none came.
QMessageBox* backUpOntoAFullDisk(MainWindow& w)
{
    MZTArchive::SaveFaults faults;
    faults.spaceLeft = 100;
    MZTArchive::setSaveFaults(faults);
    w.backUpRecorder();
    if (!QTest::qWaitFor([&w] { return w.findChild<QMessageBox*>() != nullptr; }, 20000))
        return nullptr;
    return w.findChild<QMessageBox*>();
}

} // namespace

class TestBackupAndDrop : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        windowSettings().clear();
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    }
    void cleanup()
    {
        sim::Bus::instance().uninstall();
        MZTArchive::setSaveFaults({});
    }

    void backupNamesAndFolder();
    void backupOfTheWholeRecorder();
    void aDatedBackupStaysAsItWasMade();
    void cancelledOrUnsavableBackupLeavesNothing();
    void rowsDraggedBetweenTables();
    void archiveFileDroppedOnTheWindow();
    void backupFolderOrSerialThatCannotBeUsed();
    void backupThatCannotBeSavedIsKeptForSaveAs();
    void droppedFilesThatAreNoArchives();
    void skipExistingWhenTheRecorderChangedMeanwhile();
};

void TestBackupAndDrop::backupNamesAndFolder()
{
    const QDateTime when(QDate(2026, 12, 8), QTime(14, 5, 59));
    QCOMPARE(backup::fileName(QStringLiteral("KV000001"), when),
             QStringLiteral("MZT-500 KV000001 2026-12-08 14-05.mzt"));
    // A serial is the device's word: nothing in it may leave the folder.
    QCOMPARE(backup::fileName(QStringLiteral("../a/b:c"), when),
             QStringLiteral("MZT-500 ___a_b_c 2026-12-08 14-05.mzt"));
    QCOMPARE(backup::fileName(QString(), when), QStringLiteral("MZT-500 2026-12-08 14-05.mzt"));

    QTemporaryDir dir;
    const QString name = QStringLiteral("MZT-500 KV1 2026-12-08 14-05.mzt");
    QCOMPARE(backup::freePath(dir.path(), name), dir.filePath(name));
    QFile(dir.filePath(name)).open(QIODevice::WriteOnly);
    QCOMPARE(backup::freePath(dir.path(), name),
             dir.filePath(QStringLiteral("MZT-500 KV1 2026-12-08 14-05 (2).mzt")));
    QFile(dir.filePath(QStringLiteral("MZT-500 KV1 2026-12-08 14-05 (2).mzt")))
        .open(QIODevice::WriteOnly);
    QCOMPARE(backup::freePath(dir.path(), name),
             dir.filePath(QStringLiteral("MZT-500 KV1 2026-12-08 14-05 (3).mzt")));

    QSettings settings = windowSettings();
    QVERIFY(backup::folder(settings).endsWith(QLatin1String("/MZT-500 backups")));
    backup::setFolder(settings, dir.path());
    QCOMPARE(backup::folder(settings), dir.path());
    // What the command line takes for the window's folder.
    settings.sync();
    QCOMPARE(backup::windowFolder(), dir.path());

    // The history reads back what the names say, and nothing from other names.
    const std::optional<backup::NameParts> parts =
        backup::parseFileName(QStringLiteral("MZT-500 KV1 2026-12-08 14-05 (3).mzt"));
    QVERIFY(parts);
    QCOMPARE(parts->serial, QStringLiteral("KV1"));
    QCOMPARE(parts->when, QDateTime(QDate(2026, 12, 8), QTime(14, 5)));
    QCOMPARE(parts->copy, 3);
    QCOMPARE(backup::parseFileName(backup::fileName(QString(), when))->serial, QString());
    // A backup that lacks files says so in its name and is still the
    // recorder's backup.
    const QString incomplete =
        backup::fileName(QStringLiteral("KV1"), when, backup::Completeness::Incomplete);
    QCOMPARE(incomplete, QStringLiteral("MZT-500 KV1 2026-12-08 14-05 incomplete.mzt"));
    for (const QString& name : {incomplete,
                                QStringLiteral("MZT-500 KV1 2026-12-08 14-05 "
                                               "incomplete (2).mzt")}) {
        const std::optional<backup::NameParts> marked = backup::parseFileName(name);
        QVERIFY2(marked, qPrintable(name));
        QCOMPARE(marked->serial, QStringLiteral("KV1"));
        QCOMPARE(marked->when, QDateTime(QDate(2026, 12, 8), QTime(14, 5)));
        QVERIFY(marked->incomplete);
    }
    QCOMPARE(backup::parseFileName(incomplete.chopped(4) + QStringLiteral(" (2).mzt"))->copy, 2);
    QVERIFY(!parts->incomplete);
    QVERIFY(!backup::parseFileName(QStringLiteral("show.mzt")));
    QVERIFY(!backup::parseFileName(QStringLiteral("MZT-500 KV1 2026-13-40 14-05.mzt")));
}

void TestBackupAndDrop::backupOfTheWholeRecorder()
{
    QTemporaryDir dir;
    // The folder does not exist yet: the backup makes it.
    const QString folder = dir.filePath(QStringLiteral("backups/MZT-500"));
    QSettings settings = windowSettings();
    backup::setFolder(settings, folder);
    sim::DeviceConfig config = recorderWithFiles(3);
    config.serial = "KV000042";
    install({config});
    MainWindow w;
    w.show();
    QVERIFY(waitSettled(w, 4));
    QVERIFY(waitIdleAndConnected(w));

    // Reachable from the File menu and from the window.
    auto* action = w.findChild<QAction*>(QStringLiteral("actionBackUpRecorder"));
    QVERIFY(action);
    QVERIFY(w.ui()->menuFile->actions().contains(action));
    QVERIFY(w.ui()->backUpRecorder->isVisible());
    // Quit stays last, after a separator.
    const QList<QAction*> file = w.ui()->menuFile->actions();
    QCOMPARE(file.last(), w.ui()->actionQuit);
    QVERIFY(file[file.size() - 2]->isSeparator());

    // Unsaved changes are offered for saving first; the answer No drops
    // them.
    w.archive()->addEntry(sequenceEntry(30));
    auto question = answerNextBox(QMessageBox::No);
    const QDateTime before = QDateTime::currentDateTime();
    w.ui()->backUpRecorder->click();
    QCOMPARE(
        question->text,
        QStringLiteral("The current archive has been modified\nDo you want to save the changes?"));
    QVERIFY(waitIdleAndConnected(w));
    const QDateTime after = QDateTime::currentDateTime();

    const QStringList saved = filesIn(folder);
    QCOMPARE(saved.size(), 1);
    QVERIFY2(saved.first() == backup::fileName(QStringLiteral("KV000042"), before)
                 || saved.first() == backup::fileName(QStringLiteral("KV000042"), after),
             qPrintable(saved.first()));
    const QString path = QDir(folder).filePath(saved.first());
    MZTArchive loaded(path, nullptr);
    QVERIFY(loaded.load());
    QCOMPARE(entryIds(loaded), (QList<int> {0, 1, 2, 3}));
    // The archive records its recorder, for the backup history.
    QCOMPARE(loaded.recorder().serial, QStringLiteral("KV000042"));

    // It is now the current archive, named and without changes.
    QCOMPARE(w.archive()->fileName(), path);
    QVERIFY(!w.archive()->isModified());
    QCOMPARE(entryIds(*w.archive()), (QList<int> {0, 1, 2, 3}));
    QCOMPARE(w.ui()->archTable->rowCount(), 4);
    QVERIFY(!w.ui()->archLabel->text().contains(QLatin1Char('*')));
    QCOMPARE(w.recentArchives().first(), path);
    QVERIFY2(w.statusBar()->currentMessage().startsWith(
                 QStringLiteral("Backed up 4 files from the recorder into ") + saved.first()),
             qPrintable(w.statusBar()->currentMessage()));

    // A second backup in the same minute gets a name of its own.
    action->trigger();
    QVERIFY(waitIdleAndConnected(w));
    QCOMPARE(filesIn(folder).size(), 2);
    QVERIFY(w.archive()->fileName() != path);
    QVERIFY(!w.archive()->isModified());
}

void TestBackupAndDrop::aDatedBackupStaysAsItWasMade()
{
    QTemporaryDir dir;
    useBackupFolder(dir.path());
    install({recorderWithFiles(2)});
    MainWindow w;
    QVERIFY(shownAndBackedUp(w, 3));
    const QString backupPath = w.archive()->fileName();
    QFile backupFile(backupPath);
    QVERIFY(backupFile.open(QIODevice::ReadOnly));
    const QByteArray asMade = backupFile.readAll();
    backupFile.close();

    // Removing an entry says that only the archive changes.
    selectRows(w.ui()->archTable, {1});
    auto removal = answerNextBox(QMessageBox::Yes);
    w.delete_from_arch();
    QCOMPARE(removal->text, QStringLiteral("Do you really want to delete this files?"));
    QCOMPARE(removal->detail,
             QStringLiteral("Only the archive changes; the recorder keeps its files."));
    QCOMPARE(w.archive()->entries().size(), 2);

    // Save asks first; Cancel leaves the backup as it was.
    QString asked;
    auto cancelled =
        clickInNextBox(QStringLiteral("Cancel"), [&](QMessageBox* box) { asked = box->text(); });
    w.on_saveArchive_clicked();
    QCOMPARE(cancelled->last(), QStringLiteral("clicked"));
    QCOMPARE(asked,
             QFileInfo(backupPath).fileName()
                 + QStringLiteral(" is a dated backup of the recorder."));
    QVERIFY(w.archive()->isModified());

    // Save as keeps the backup and names the changed archive anew.
    const QString edited = dir.filePath(QStringLiteral("edited.mzt"));
    auto saveAs = clickInNextBox(QStringLiteral("Save as..."));
    acceptNextFileDialog(edited);
    w.on_saveArchive_clicked();
    QCOMPARE(saveAs->last(), QStringLiteral("clicked"));
    QCOMPARE(w.archive()->fileName(), edited);
    QVERIFY(!w.archive()->isModified());
    QVERIFY(backupFile.open(QIODevice::ReadOnly));
    QCOMPARE(backupFile.readAll(), asMade);
    MZTArchive saved(edited, nullptr);
    QVERIFY(saved.load());
    QCOMPARE(saved.entries().size(), 2);

    // An archive of another name is saved without the question.
    selectRows(w.ui()->archTable, {1});
    auto again = answerNextBox(QMessageBox::Yes);
    w.delete_from_arch();
    w.on_saveArchive_clicked();
    QVERIFY(!w.archive()->isModified());
    MZTArchive savedAgain(edited, nullptr);
    QVERIFY(savedAgain.load());
    QCOMPARE(savedAgain.entries().size(), 1);
}

void TestBackupAndDrop::cancelledOrUnsavableBackupLeavesNothing()
{
    QTemporaryDir dir;
    QSettings settings = windowSettings();
    backup::setFolder(settings, dir.path());
    auto recs = install({recorderWithFiles(8)});
    const QString current = dir.filePath(QStringLiteral("current.mzt"));
    MainWindow w(current);
    w.show();
    QVERIFY(waitSettled(w, 9));
    QVERIFY(waitIdleAndConnected(w));
    w.archive()->addEntry(sequenceEntry(30));
    w.archive()->setModified(false);

    // Slow replies, so that the backup can be caught between files.
    recs[0]->setTiming(sim::Timing::Wire, 20000);
    w.backUpRecorder();
    QVERIFY(w.isBusy());
    QTRY_VERIFY_WITH_TIMEOUT(w.ui()->progBarTotal->value() > 0, 20000);
    auto seen = answerNextBox(QMessageBox::Ok);
    w.on_abortButton_clicked();
    QTRY_VERIFY_WITH_TIMEOUT(!seen->text.isEmpty(), 20000);
    QCOMPARE(seen->text, QStringLiteral("The backup was cancelled; no archive was saved."));
    QVERIFY(waitIdleAndConnected(w));
    QCOMPARE(filesIn(dir.path()), QStringList());
    QCOMPARE(w.archive()->fileName(), current);
    QCOMPARE(entryIds(*w.archive()), QList<int> {30});

    // A save that fails says why and leaves no file either.
    recs[0]->setTiming(sim::Timing::Instant, 0);
    QMessageBox* box = backUpOntoAFullDisk(w);
    QVERIFY(box);
    QVERIFY2(box->text().startsWith(QLatin1String("The backup could not be saved as ")),
             qPrintable(box->text()));
    QVERIFY2(box->text().size() > QStringLiteral("The backup could not be saved as : .").size()
                     + dir.path().size() + 30,
             qPrintable(box->text()));
    box->accept();
    QVERIFY(waitIdleAndConnected(w));
    QCOMPARE(filesIn(dir.path()), QStringList());
    QCOMPARE(w.archive()->fileName(), current);
}

void TestBackupAndDrop::rowsDraggedBetweenTables()
{
    auto recs = install({recorderWithFiles(3)});
    MainWindow w;
    w.show();
    QVERIFY(waitSettled(w, 4));
    QVERIFY(waitIdleAndConnected(w));
    QTableWidget* dev = w.ui()->devTable;
    QTableWidget* arch = w.ui()->archTable;

    // Recorder rows dropped on the archive table download them.
    std::unique_ptr<QMimeData> rows(dragData(dev,
                                             {rowOfName(dev, QStringLiteral("SEQUENCE 01")),
                                              rowOfName(dev, QStringLiteral("SEQUENCE 03"))}));
    QVERIFY(rows);
    QVERIFY(rows->hasFormat(QLatin1String(TransferTable::rowsMimeType)));
    // Not on the table they came from.
    QVERIFY(!drop(dev, rows.get()));
    QVERIFY(!dropOnView(dev, rows.get()));
    QVERIFY(dropOnView(arch, rows.get()));
    QVERIFY(waitIdleAndConnected(w));
    QCOMPARE(entryIds(*w.archive()), (QList<int> {1, 3}));

    // Again: the same question as the arrow asks about what is replaced.
    dev->clearSelection();
    rows.reset(dragData(dev, {rowOfName(dev, QStringLiteral("SEQUENCE 03"))}));
    auto question = answerNextBox(QMessageBox::Abort);
    QVERIFY(drop(arch, rows.get()));
    QTRY_VERIFY_WITH_TIMEOUT(!question->text.isEmpty(), 10000);
    QCOMPARE(question->files, QStringList {QStringLiteral("SEQUENCE 03")});
    QVERIFY(!w.isBusy());

    // Archive rows dropped on the recorder table upload them, after the
    // overwrite question.
    recs[0]->removeFile(3);
    rows.reset(dragData(arch,
                        {rowOfName(arch, QStringLiteral("SEQUENCE 01")),
                         rowOfName(arch, QStringLiteral("SEQUENCE 03"))}));
    QVERIFY(!drop(arch, rows.get()));
    question = answerNextBox(QMessageBox::Ok);
    QVERIFY(drop(dev, rows.get()));
    QTRY_VERIFY_WITH_TIMEOUT(!question->text.isEmpty(), 20000);
    QCOMPARE(question->files, QStringList {QStringLiteral("SEQUENCE 01")});
    QVERIFY(waitIdleAndConnected(w));
    QVERIFY(recs[0]->file(3));

    // Rows of another running copy of the program are refused.
    QByteArray foreign;
    QDataStream out(&foreign, QIODevice::WriteOnly);
    out << qint64(QCoreApplication::applicationPid() + 1) << qint32(TransferTable::Recorder)
        << QList<int> {2};
    QMimeData other;
    other.setData(QLatin1String(TransferTable::rowsMimeType), foreign);
    QVERIFY(!drop(arch, &other));
}

void TestBackupAndDrop::archiveFileDroppedOnTheWindow()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("dropped.mzt"));
    QVERIFY(saveArchiveOfSeven(path));
    const QString text = dir.filePath(QStringLiteral("notes.txt"));
    QFile(text).open(QIODevice::WriteOnly);

    install({});
    MainWindow w;
    w.show();
    QVERIFY(waitSettled(w, 0));

    // Other files are refused while they are dragged: no message at all.
    std::unique_ptr<QMimeData> other(fileDrop(text));
    QVERIFY(!dropOnWindow(w, other.get()));
    std::unique_ptr<QMimeData> two(new QMimeData);
    two->setUrls({QUrl::fromLocalFile(path), QUrl::fromLocalFile(text)});
    QVERIFY(!dropOnWindow(w, two.get()));
    QTest::qWait(50);
    QVERIFY(!QApplication::activeModalWidget());

    // Over a table the window takes the archive: the tables leave files
    // to it.
    std::unique_ptr<QMimeData> archive(fileDrop(path));
    QWidget* viewport = w.ui()->archTable->viewport();
    QDragEnterEvent overTable(viewport->rect().center(), Qt::CopyAction, archive.get(),
                              Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &overTable);
    QVERIFY(overTable.isAccepted());

    // An archive opens, after the question about unsaved changes.
    w.archive()->addEntry(sequenceEntry(30));
    auto question = answerNextBox(QMessageBox::No);
    QVERIFY(dropOnWindow(w, archive.get()));
    QTRY_COMPARE_WITH_TIMEOUT(w.archive()->fileName(), path, 10000);
    QCOMPARE(
        question->text,
        QStringLiteral("The current archive has been modified\nDo you want to save the changes?"));
    QCOMPARE(entryIds(*w.archive()), QList<int> {7});
    QCOMPARE(w.ui()->archTable->rowCount(), 1);

    // Without a recorder a backup says so, before any question, and
    // neither makes its folder nor touches the open archive.
    QSettings settings = windowSettings();
    backup::setFolder(settings, dir.filePath(QStringLiteral("backups")));
    w.archive()->addEntry(sequenceEntry(31));
    question = answerNextBox(QMessageBox::Ok);
    w.backUpRecorder();
    QCOMPARE(question->text,
             QStringLiteral("No recorder is ready: connect one and wait until its "
                            "files are listed."));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("backups"))));
    QCOMPARE(w.archive()->fileName(), path);
}

void TestBackupAndDrop::backupFolderOrSerialThatCannotBeUsed()
{
    QTemporaryDir dir;
    const QString inTheWay = dir.filePath(QStringLiteral("in the way"));
    QVERIFY(QFile(inTheWay).open(QIODevice::WriteOnly));
    sim::DeviceConfig config = recorderWithFiles(2);
    config.serial = "../../KV/..";
    install({config});
    const QString current = dir.filePath(QStringLiteral("current.mzt"));
    MainWindow w(current);
    w.show();
    QVERIFY(waitSettled(w, 3));
    QVERIFY(waitIdleAndConnected(w));
    w.archive()->addEntry(sequenceEntry(30));
    w.archive()->setModified(false);

    // Each is refused before anything is read, with the reason.
    struct Case {
        QString folder;
        QString problem;
    };
    const QList<Case> cases = {
        {inTheWay, inTheWay + QStringLiteral(" is a file, not a folder.")},
        {inTheWay + QStringLiteral("/sub/backups"),
         inTheWay + QStringLiteral(" is a file, not a folder.")},
        // No file can be made there, not even by the administrator.
        {QStringLiteral("/proc"), QStringLiteral("no file can be made in it (")},
    };
    QSettings settings = windowSettings();
    for (const Case& c : cases) {
        backup::setFolder(settings, c.folder);
        auto seen = answerNextBox(QMessageBox::Ok);
        w.backUpRecorder();
        QVERIFY2(seen->text.startsWith(QStringLiteral("The backup cannot be saved in the folder ")
                                       + c.folder + QStringLiteral(": ") + c.problem),
                 qPrintable(seen->text));
        QCOMPARE(seen->detail,
                 QStringLiteral("Nothing was read or changed. Choose another "
                                "folder with File > Backup folder."));
        QVERIFY(!w.isBusy());
        QCOMPARE(w.archive()->fileName(), current);
        QCOMPARE(entryIds(*w.archive()), QList<int> {30});
    }
    QVERIFY(QFileInfo(inTheWay).isFile());

    // The recorder's serial is its own word: the backup stays in the folder.
    const QString folder = dir.filePath(QStringLiteral("backups"));
    backup::setFolder(settings, folder);
    const QStringList around = filesIn(dir.path());
    w.backUpRecorder();
    QVERIFY(waitIdleAndConnected(w));
    const QStringList saved = filesIn(folder);
    QCOMPARE(saved.size(), 1);
    QVERIFY2(saved.first().startsWith(QLatin1String("MZT-500 ______KV___ ")),
             qPrintable(saved.first()));
    QCOMPARE(filesIn(dir.path()), around);
    QCOMPARE(w.archive()->fileName(), QDir(folder).filePath(saved.first()));
}

void TestBackupAndDrop::backupThatCannotBeSavedIsKeptForSaveAs()
{
    QTemporaryDir dir;
    QSettings settings = windowSettings();
    backup::setFolder(settings, dir.filePath(QStringLiteral("backups")));
    install({recorderWithFiles(2)});
    MainWindow w;
    w.show();
    QVERIFY(waitSettled(w, 3));
    QVERIFY(waitIdleAndConnected(w));

    // The disk fills up during the save: the read files are not thrown away.
    QMessageBox* box = backUpOntoAFullDisk(w);
    QVERIFY(box);
    QVERIFY2(box->text().startsWith(QLatin1String("The backup could not be saved as ")),
             qPrintable(box->text()));
    MZTArchive::setSaveFaults({});
    QAbstractButton* saveAs = nullptr;
    for (QAbstractButton* button : box->buttons())
        if (button->text().remove(QLatin1Char('&')) == QLatin1String("Save as..."))
            saveAs = button;
    QVERIFY(saveAs);
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere.mzt"));
    acceptNextFileDialog(elsewhere);
    saveAs->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.archive()->fileName(), elsewhere, 10000);
    MZTArchive loaded(elsewhere, nullptr);
    QVERIFY(loaded.load());
    QCOMPARE(entryIds(loaded), (QList<int> {0, 1, 2}));
    QCOMPARE(entryIds(*w.archive()), (QList<int> {0, 1, 2}));
    QVERIFY(!w.archive()->isModified());
    QCOMPARE(filesIn(dir.filePath(QStringLiteral("backups"))), QStringList());
}

void TestBackupAndDrop::droppedFilesThatAreNoArchives()
{
    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("good.mzt"));
    QVERIFY(saveArchiveOfSeven(good));
    QFile goodFile(good);
    QVERIFY(goodFile.open(QIODevice::ReadOnly));
    const QByteArray bytes = goodFile.readAll();
    goodFile.close();

    const QString damaged = dir.filePath(QStringLiteral("damaged.mzt"));
    QFile damagedFile(damaged);
    QVERIFY(damagedFile.open(QIODevice::WriteOnly));
    damagedFile.write(bytes.left(bytes.size() / 2));
    damagedFile.close();
    // Sparse: large on paper, nothing on the disk.
    const QString huge = dir.filePath(QStringLiteral("huge.mzt"));
    QFile hugeFile(huge);
    QVERIFY(hugeFile.open(QIODevice::WriteOnly));
    QVERIFY(hugeFile.resize(qint64(4) * 1024 * 1024 * 1024));
    hugeFile.close();
    const QString fifo = dir.filePath(QStringLiteral("pipe.mzt"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString dangling = dir.filePath(QStringLiteral("dangling.mzt"));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone.mzt")), dangling));
    const QString link = dir.filePath(QStringLiteral("link.mzt"));
    QVERIFY(QFile::link(good, link));

    install({});
    MainWindow w;
    w.show();
    QVERIFY(waitSettled(w, 0));
    w.archive()->addEntry(sequenceEntry(30));
    w.archive()->setModified(false);

    // Each ends in a message with the reason; the archive shown stays.
    for (const QString& bad : {damaged, huge, fifo, dangling}) {
        std::unique_ptr<QMimeData> data(fileDrop(bad));
        auto seen = answerNextBox(QMessageBox::Ok);
        QVERIFY2(dropOnWindow(w, data.get()), qPrintable(bad));
        QTRY_VERIFY_WITH_TIMEOUT(!seen->text.isEmpty(), 20000);
        QCOMPARE(seen->text, QStringLiteral("Failed to open the archive."));
        QVERIFY2(seen->detail.startsWith(bad + QStringLiteral(": "))
                     && seen->detail.size() > bad.size() + 4,
                 qPrintable(seen->detail));
        QVERIFY(w.archive()->fileName().isEmpty());
        QCOMPARE(entryIds(*w.archive()), QList<int> {30});
    }

    // A link opens what it points to; a save goes there and the link stays.
    std::unique_ptr<QMimeData> linked(fileDrop(link));
    QVERIFY(dropOnWindow(w, linked.get()));
    QTRY_COMPARE_WITH_TIMEOUT(w.archive()->fileName(), link, 10000);
    QCOMPARE(entryIds(*w.archive()), QList<int> {7});
    w.archive()->addEntry(sequenceEntry(8));
    w.on_saveArchive_clicked();
    QVERIFY(!w.archive()->isModified());
    QVERIFY(QFileInfo(link).isSymLink());
    MZTArchive target(good, nullptr);
    QVERIFY(target.load());
    QCOMPARE(entryIds(target), (QList<int> {7, 8}));
}

void TestBackupAndDrop::skipExistingWhenTheRecorderChangedMeanwhile()
{
    auto recs = install({recorderWithFiles(1)});
    MainWindow w;
    w.show();
    QVERIFY(waitSettled(w, 2));
    QVERIFY(waitIdleAndConnected(w));
    for (int id = 1; id <= 3; ++id)
        w.archive()->addEntry(sequenceEntryWith(id,
                                                record(quint32(id), 1, 4096, 1000u * quint32(id))
                                                    + QByteArray(64, char('A' + id))));
    w.fillArchiveTable(w.archive(), w.ui()->archTable);
    selectRows(w.ui()->archTable, {0, 1, 2});

    // While the question is open a file appears on the recorder (recorded
    // at its own keys): "Skip existing" must skip it too.
    const QByteArray appeared = file(2, 1, 4096, 2000) + QByteArray("recorded meanwhile");
    auto listed = clickInNextBox(QStringLiteral("Skip existing"),
                                 [&](QMessageBox*) { recs[0]->putFile(2, appeared); });
    w.transfer_to_dev();
    QVERIFY(QTest::qWaitFor([&] { return !listed->isEmpty(); }, 20000));
    QVERIFY(QTest::qWaitFor([&] { return !w.isBusy() && w.isConnected(); }, 30000));
    QCOMPARE(*listed, (QStringList {QStringLiteral("SEQUENCE 01"), QStringLiteral("clicked")}));
    QVERIFY(recs[0]->file(2).has_value());
    QCOMPARE(*recs[0]->file(2), appeared);
    QVERIFY(recs[0]->file(3).has_value());
    QCOMPARE(*recs[0]->file(3), w.archive()->entries().at(2)->refreshedContent());
    const QString line = w.statusBar()->currentMessage();
    QVERIFY2(
        line.startsWith(QLatin1String("Uploaded 1 file from the archive to the recorder in "))
            && line.endsWith(QLatin1String(" Kept 1 file the recorder held by then: SEQUENCE 02.")),
        qPrintable(line));
}

QTEST_MAIN(TestBackupAndDrop)
#include "tst_app_backup_and_drop.moc"
