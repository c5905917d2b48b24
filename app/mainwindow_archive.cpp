// Archive file commands (New, Open, Save, Save as), the archive label, the
// start-up archive and the archive check at close.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "archiveedithistory.h"
#include "contenttext.h"
#include "kvpmaster.h"
#include "mztarchive.h"
#include "recorder_backup.h"
#include "recorder_vocabulary.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>

#include <memory>

namespace {

const QString archiveFileNameKey = QStringLiteral("archive_file_name");

QString messageTitle()
{
    return MainWindow::tr("MZT-500 Data Backup Tool");
}

QString archiveFilter()
{
    return MainWindow::tr("MZT-500 Archives (*.mzt)");
}

// Where the Save as dialog starts: a fixed place, not the archive's folder.
QString saveAsStartDirectory()
{
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\");
#else
    return QDir::homePath();
#endif
}

// Writes the archive to its own file if that file exists, otherwise (or if
// writing it fails) lets the user choose a name. Afterwards the archive is
// unmodified exactly when it was saved, since it is only called for an
// archive with changes or on the user's explicit request.
enum class BackupAnswer { Overwrite, SaveAsNew, Cancel };

// A dated backup is a snapshot of the recorder as it was: saving over it
// would quietly change what the history says the recorder held. Other
// archives are simply overwritten.
BackupAnswer askAboutChangingABackup(QWidget* window, const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    if (!backup::parseFileName(name))
        return BackupAnswer::Overwrite;
    QMessageBox box(QMessageBox::Question, messageTitle(),
                    MainWindow::tr("%1 is a dated backup of the recorder.").arg(name),
                    QMessageBox::Cancel, window);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(MainWindow::tr("Save the changes as a new archive, so that the "
                                          "backup stays as it was made?"));
    QPushButton* saveAs = box.addButton(MainWindow::tr("Save &as..."), QMessageBox::AcceptRole);
    QPushButton* overwrite =
        box.addButton(MainWindow::tr("&Change the backup"), QMessageBox::DestructiveRole);
    box.setDefaultButton(saveAs);
    box.exec();
    if (box.clickedButton() == saveAs)
        return BackupAnswer::SaveAsNew;
    return box.clickedButton() == overwrite ? BackupAnswer::Overwrite : BackupAnswer::Cancel;
}

void saveInPlaceOrChooseName(MainWindow& window)
{
    MZTArchive* archive = window.archive();
    // An unnamed archive resolves to the current directory, whose save fails,
    // and so ends in the dialog as well.
    const QString path = QDir::current().absoluteFilePath(archive->fileName());
    if (QFileInfo::exists(path)) {
        switch (askAboutChangingABackup(&window, path)) {
        case BackupAnswer::SaveAsNew:
            window.saveArchiveAsDialog();
            window.updateArchLabel();
            return;
        case BackupAnswer::Cancel:
            return;
        case BackupAnswer::Overwrite:
            break;
        }
        if (!window.mayWriteArchiveOver(path)) {
            window.updateArchLabel();
            return;
        }
        QElapsedTimer timer;
        timer.start();
        if (archive->save()) {
            window.rememberArchiveOnDisk();
            window.reportArchiveSaved(timer.elapsed());
            qCDebug(lcApp) << "Valid path";
            window.updateArchLabel();
            return;
        }
        qCDebug(lcApp) << "Invalid path";
    }
    window.saveArchiveAsDialog();
    window.updateArchLabel();
}

// Window-modal and without waiting: the start-up goes on behind the message.
void reportUnloadableArchive(QWidget* window, const QString& path, const QString& reason)
{
    auto* box = new QMessageBox(QMessageBox::Warning, messageTitle(),
                                MainWindow::tr("The archive %1 could not be loaded: %2.\n\nThe "
                                               "program starts with an unnamed archive; the file "
                                               "was not changed.")
                                    .arg(QDir::toNativeSeparators(path), reason),
                                QMessageBox::Ok, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

enum class ChangesOutcome { Saved, Discarded, KeptUnsaved };

// Offers to save the changes of a modified archive before it is dropped.
// KeptUnsaved means the user wanted the changes saved but they were not (the
// dialog was cancelled or the save failed): the caller must keep the archive,
// or the changes the user asked to keep would be lost.
ChangesOutcome offerToSaveChanges(MainWindow& window)
{
    const QMessageBox::StandardButton answer = QMessageBox::question(
        &window, messageTitle(),
        MainWindow::tr("The current archive has been modified\nDo you want to save the changes?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return ChangesOutcome::Discarded;
    saveInPlaceOrChooseName(window);
    return window.archive()->isModified() ? ChangesOutcome::KeptUnsaved : ChangesOutcome::Saved;
}

// The archive may be dropped: it has no changes, they were saved, or the user
// chose to lose them.
bool mayDropArchive(MainWindow& window)
{
    return !window.archive()->isModified()
        || offerToSaveChanges(window) != ChangesOutcome::KeptUnsaved;
}

QString entriesText(qsizetype count)
{
    return count == 1 ? MainWindow::tr("1 entry") : MainWindow::tr("%1 entries").arg(count);
}

// The status line belongs to the archive shown: another one replaces it.
void reportArchiveOpened(MainWindow& window, const QString& path)
{
    window.statusBar()->showMessage(
        MainWindow::tr("Opened %1 (%2).")
            .arg(QFileInfo(path).fileName(), entriesText(window.archive()->entries().size())));
}

enum class ProtectedAnswer { NotProtected, SaveAs, Cancel };

// A file of the user's that no one may write is never replaced: saving over
// it would take away the protection they gave it. offerSaveAs adds the way
// out; without it the caller is already asking for another name.
ProtectedAnswer refuseWriteProtected(QWidget* parent, const QString& path, bool offerSaveAs)
{
    if (!archivefile::isWriteProtected(path))
        return ProtectedAnswer::NotProtected;
    QMessageBox box(QMessageBox::Warning, messageTitle(),
                    MainWindow::tr("%1 is write-protected.").arg(QFileInfo(path).fileName()),
                    QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText);
    const QString kept = MainWindow::tr("The archive was not saved; the file was left as it is.");
    box.setInformativeText(kept + QLatin1Char('\n')
                           + (offerSaveAs ? MainWindow::tr("Save it under another name instead?")
                                          : MainWindow::tr("Choose another name.")));
    QPushButton* saveAs = offerSaveAs
        ? box.addButton(MainWindow::tr("Save &as..."), QMessageBox::AcceptRole)
        : nullptr;
    box.addButton(offerSaveAs ? QMessageBox::Cancel : QMessageBox::Ok);
    if (saveAs)
        box.setDefaultButton(saveAs);
    box.exec();
    return saveAs && box.clickedButton() == saveAs ? ProtectedAnswer::SaveAs
                                                   : ProtectedAnswer::Cancel;
}

} // namespace

void MainWindow::updateArchLabel()
{
    // Every archive shown passes here: an edit history is only ever undone
    // in the archive it was made in.
    if (archiveEdits)
        archiveEdits->follow(m_archive);
    if (showInFolderLink)
        showInFolderLink->setVisible(!archiveFileOnDisk().isEmpty());
    QLabel* label = m_ui->archLabel;
    label->setToolTip(QString());
    // The window refreshes the label as it leaves its busy state: the time
    // to ask about a change on disk that came while it was busy.
    if (archiveCheckPending && !isBusy())
        QTimer::singleShot(0, this, &MainWindow::checkArchiveOnDisk);
    const QString name = m_archive ? m_archive->fileName() : QString();
    if (name.isEmpty()) {
        // An unnamed archive with changes is as much at risk as a named one.
        label->setText(
            QStringLiteral("<b><i>") + tr("Unnamed archive")
            + (m_archive && m_archive->isModified() ? QStringLiteral("</i> *") : QString()));
        return;
    }
    label->setToolTip(name);
    // A backup of another recorder than the listed one says whose it is, so
    // that restoring it there is a choice made knowingly.
    const RecorderIdentity source = m_archive->recorder();
    const QString sourceName = source.serial.isEmpty() ? source.place : source.serial;
    const QString from = sourceName.isEmpty() || isListedRecorder(source)
        ? QString()
        : QStringLiteral(" <small>") + tr("from %1").arg(sourceName).toHtmlEscaped()
            + QStringLiteral("</small>");
    // The label shows rich text; a file name may contain '<' or '&'.
    label->setText(QStringLiteral("<b>") + QFileInfo(name).fileName().toHtmlEscaped()
                   + (m_archive->isModified() ? QStringLiteral(" *") : QString())
                   + QStringLiteral("</b>") + from);
}

void MainWindow::on_newArchive_clicked()
{
    if (isBusy())
        return;
    qCDebug(lcApp) << "New archive";
    if (m_archive && !mayDropArchive(*this))
        return;
    MZTArchive* previous = m_archive;
    m_archive = new MZTArchive(QString(), nullptr);
    fillArchiveTable(m_archive, m_ui->archTable);
    settings->setValue(archiveFileNameKey, QString());
    delete previous;
    rememberArchiveOnDisk();
    statusBar()->clearMessage();
    updateArchLabel();
}

void MainWindow::on_saveArchiveAs_clicked()
{
    if (isBusy())
        return;
    qCDebug(lcApp) << "Save archive as";
    saveArchiveAsDialog();
    updateArchLabel();
}

void MainWindow::on_saveArchive_clicked()
{
    if (isBusy())
        return;
    qCDebug(lcApp) << "Save archive";
    if (!m_archive)
        return;
    saveInPlaceOrChooseName(*this);
}

void MainWindow::on_openArchive_clicked()
{
    if (isBusy())
        return;
    qCDebug(lcApp) << "Open archive";
    openArchiveDialog();
    updateArchLabel();
}

void MainWindow::on_actionSave_archive_as_triggered()
{
    on_saveArchiveAs_clicked();
}

void MainWindow::on_actionSave_Archive_triggered()
{
    on_saveArchive_clicked();
}

void MainWindow::on_action_Open_Archive_triggered()
{
    on_openArchive_clicked();
}

void MainWindow::on_actionNew_Archive_triggered()
{
    on_newArchive_clicked();
}

void MainWindow::saveArchiveAsDialog()
{
    if (!m_archive)
        return;
    for (;;) {
        const QString name = QFileDialog::getSaveFileName(this, tr("Save Archive As"),
                                                          saveAsStartDirectory(), archiveFilter());
        if (name.isEmpty()) {
            qCDebug(lcApp) << "aborted";
            break;
        }
        qCDebug(lcApp) << "confirmed";
        if (refuseWriteProtected(this, name, false) != ProtectedAnswer::NotProtected)
            continue;
        // A rejected name stays with the archive until another one is chosen.
        m_archive->setFileName(name);
        QElapsedTimer timer;
        timer.start();
        if (m_archive->save()) {
            rememberArchiveOnDisk();
            reportArchiveSaved(timer.elapsed());
            settings->setValue(archiveFileNameKey, m_archive->fileName());
            rememberRecentArchive(m_archive->fileName());
            break;
        }
        QMessageBox::information(this, messageTitle(), tr("Failed to save the archive."),
                                 QMessageBox::Ok);
    }
    updateArchLabel();
}

bool MainWindow::mayReplaceArchive()
{
    return !m_archive || mayDropArchive(*this);
}

void MainWindow::askToSaveModified()
{
    if (m_archive)
        offerToSaveChanges(*this);
}

void MainWindow::openArchiveDialog()
{
    if (!m_archive || !mayDropArchive(*this))
        return;
    if (QFileInfo::exists(m_archive->fileName()))
        archivePath = m_archive->fileName();
    const QString dir = QFileInfo(archivePath).path();

    for (;;) {
        const QString name = QFileDialog::getOpenFileName(this, QStringLiteral("Open Archive"), dir,
                                                          archiveFilter());
        if (name.isEmpty())
            return;
        auto* opened = new MZTArchive(name, nullptr);
        if (opened->load()) {
            MZTArchive* previous = m_archive;
            m_archive = opened;
            fillArchiveTable(m_archive, m_ui->archTable);
            delete previous;
            rememberArchiveOnDisk();
            rememberRecentArchive(name);
            reportArchiveOpened(*this, name);
            return;
        }
        delete opened;
        QMessageBox::information(this, messageTitle(), tr("Failed to open the archive."),
                                 QMessageBox::Ok);
    }
}

void MainWindow::openRecentArchive(const QString& path)
{
    if (isBusy() || !m_archive)
        return;
    qCDebug(lcApp) << "Open recent archive" << path;
    if (!mayDropArchive(*this))
        return;
    auto* opened = new MZTArchive(path, nullptr);
    if (!opened->load()) {
        // The reason matters most for a file dropped from elsewhere: it may
        // be damaged, too large, or no file at all.
        QMessageBox box(QMessageBox::Information, messageTitle(), tr("Failed to open the archive."),
                        QMessageBox::Ok, this);
        box.setInformativeText(
            tr("%1: %2.").arg(QDir::toNativeSeparators(path), opened->errorString()));
        delete opened;
        box.exec();
        updateArchLabel();
        return;
    }
    MZTArchive* previous = m_archive;
    m_archive = opened;
    archivePath = path;
    fillArchiveTable(m_archive, m_ui->archTable);
    delete previous;
    rememberArchiveOnDisk();
    rememberRecentArchive(path);
    reportArchiveOpened(*this, path);
    updateArchLabel();
}

void MainWindow::loadStartUpArchive()
{
    m_archive = new MZTArchive(QString(), nullptr);
    // The path stays the archive's name when there is no such file yet, so
    // that the first save can create it (Save asks for the name to confirm).
    m_archive->setFileName(archivePath);
    if (m_archive->load()) {
        qCDebug(lcApp) << "successfully loaded archive";
    } else if (!archivePath.isEmpty() && QFileInfo::exists(archivePath)) {
        qCDebug(lcApp) << "failed to load archive";
        // A file that is there but does not load must never be replaced by a
        // plain Save of an empty archive under its name: the window starts
        // with an unnamed archive, so only Save as can write over that file.
        // The remembered name stays in the settings until another archive
        // is opened or saved, since an unnamed archive is not remembered.
        const QString reason = m_archive->errorString();
        delete m_archive;
        m_archive = new MZTArchive(QString(), nullptr);
        reportUnloadableArchive(this, archivePath, reason);
    } else {
        qCDebug(lcApp) << "failed to load archive";
    }
    fillArchiveTable(m_archive, m_ui->archTable);
    rememberArchiveOnDisk();
    // Discovery keeps the window busy at first; the name shows from the start.
    updateArchLabel();
}

void MainWindow::checkArchiveOnClose(QCloseEvent* event)
{
    if (!m_archive) {
        event->accept();
        return;
    }
    if (QFileInfo::exists(m_archive->fileName()))
        settings->setValue(archiveFileNameKey, m_archive->fileName());
    if (!m_archive->isModified()) {
        event->accept();
        return;
    }

    QMessageBox box;
    box.setText(QStringLiteral("The archive has been modified."));
    box.setInformativeText(QStringLiteral("Do you want to save your changes?"));
    box.setStandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Save);
    bool closing = false;
    switch (box.exec()) {
    case QMessageBox::Save:
        saveInPlaceOrChooseName(*this);
        // Closing after a save that did not happen would lose the changes
        // the user just asked to keep.
        closing = !m_archive->isModified();
        break;
    case QMessageBox::Discard:
        closing = true;
        break;
    default:
        break;
    }
    if (closing) {
        event->accept();
        return;
    }

    event->ignore();
    // The window stays: bring back what the close handling stopped before
    // asking, or the next device command would wait on a stopped master.
    if (m_master)
        m_master->connectLink();
    if (connectionTimer)
        connectionTimer->start();
}

void MainWindow::renumberSequence(int row, int column, int fromId, int n)
{
    MZTArchive* current = archive();
    if (!current)
        return;
    ArchiveEntry* target = nullptr;
    bool taken = false;
    for (ArchiveEntry* entry : current->entries()) {
        if (!target && entry->id() == fromId)
            target = entry;
        if (entry->id() == n)
            taken = true;
    }
    if (!target)
        return;
    if (taken) {
        QMessageBox::information(
            this, QCoreApplication::translate("MainWindow", "MZT-500 Data Backup Tool"),
            QCoreApplication::translate("QStyledItemDelegate", "SEQUENCE %1 already exists")
                .arg(n, 2, 10, QLatin1Char('0')),
            QMessageBox::Ok);
        return;
    }

    const QList<ArchiveEntry> before = archiveEntriesNow();
    target->setId(n);
    target->setName(mzt::sequenceNameText(n));
    current->setModified(true);
    recordArchiveEdit(tr("renumbering"), before);

    QTableWidget* table = m_ui->archTable;
    const bool wasBlocked = table->blockSignals(true);
    QTableWidgetItem* item = table->item(row, column);
    if (item) {
        item->setData(mzt500::ItemIdRole, n);
        item->setData(Qt::EditRole, mzt::sequenceNameText(n));
    }
    table->blockSignals(wasBlocked);

    table->clearSelection();
    int renumberedRow = 0;
    for (int r = 0; r < table->rowCount(); ++r) {
        const QTableWidgetItem* cell = table->item(r, 0);
        if (cell && cell->data(mzt500::ItemIdRole).toInt() == n) {
            renumberedRow = r;
            break;
        }
    }
    table->selectRow(renumberedRow);
    showComparison();
    updateArchLabel();
}

void MainWindow::rememberArchiveOnDisk()
{
    const QString name = m_archive ? m_archive->fileName() : QString();
    const QString path = name.isEmpty() ? QString() : QDir::current().absoluteFilePath(name);
    archiveOnDisk = archivefile::Stamp::of(path);
    // Called right after a load or a save: the archive is what the file holds.
    if (archiveEdits) {
        archiveEdits->follow(m_archive);
        archiveEdits->markSaved();
    }
    if (archiveOnDisk.exists && m_archive)
        archiveOnDisk.entries = archivefile::entriesDigest(*m_archive);
    declinedOnDisk = {};
    archiveCheckPending = false;
    if (!archiveWatcher) {
        archiveWatcher = new QFileSystemWatcher(this);
        // Saves come as bursts of events (a temporary file, a rename): one
        // look once they have settled.
        archiveWatchDelay = new QTimer(this);
        archiveWatchDelay->setSingleShot(true);
        archiveWatchDelay->setInterval(300);
        connect(archiveWatchDelay, &QTimer::timeout, this, &MainWindow::checkArchiveOnDisk);
        connect(archiveWatcher, &QFileSystemWatcher::fileChanged, archiveWatchDelay,
                qOverload<>(&QTimer::start));
        connect(archiveWatcher, &QFileSystemWatcher::directoryChanged, archiveWatchDelay,
                qOverload<>(&QTimer::start));
    }
    const QStringList watched = archiveWatcher->files() + archiveWatcher->directories();
    if (!watched.isEmpty())
        archiveWatcher->removePaths(watched);
    if (path.isEmpty())
        return;
    // The folder too: a save that renames a new file over the archive ends
    // the watch on the old file, and a file made later under the name is
    // seen only there.
    const QString folder = QFileInfo(path).absolutePath();
    if (QFileInfo(folder).isDir())
        archiveWatcher->addPath(folder);
    if (QFileInfo::exists(path))
        archiveWatcher->addPath(path);
}

void MainWindow::checkArchiveOnDisk()
{
    if (!m_archive || m_archive->fileName().isEmpty())
        return;
    const QString path = QDir::current().absoluteFilePath(m_archive->fileName());
    if (archiveWatcher && QFileInfo::exists(path) && !archiveWatcher->files().contains(path))
        archiveWatcher->addPath(path);
    // A reload under a running transfer would pull the archive from under
    // it, and a question on top of another one confuses both.
    if (isBusy() || askingAboutArchive || QApplication::activeModalWidget()) {
        archiveCheckPending = true;
        return;
    }
    archiveCheckPending = false;
    archivefile::Stamp now;
    if (archivefile::unchangedSince(archiveOnDisk, path, &now)) {
        archiveOnDisk = now;
        return;
    }
    // Removed, moved away or no file any more: nothing of it is at risk, and
    // the next Save asks for a name.
    if (!now.exists || !now.regular)
        return;
    if (declinedOnDisk.exists && archivefile::unchangedSince(declinedOnDisk, path))
        return;
    switch (askAboutArchiveChangedOnDisk(path)) {
    case OnDiskAnswer::Reload:
        reloadArchive();
        break;
    case OnDiskAnswer::SaveAs:
        saveArchiveAsDialog();
        break;
    case OnDiskAnswer::Replace:
        // The user has seen what the file holds and chose the window's
        // archive: that file is what the save now replaces.
        archiveOnDisk = now;
        saveInPlaceOrChooseName(*this);
        break;
    case OnDiskAnswer::Cancel:
        // Asked once per change; a save still asks again.
        declinedOnDisk = now;
        break;
    }
}

bool MainWindow::mayWriteArchiveOver(const QString& path)
{
    switch (refuseWriteProtected(this, path, true)) {
    case ProtectedAnswer::NotProtected:
        break;
    case ProtectedAnswer::SaveAs:
        saveArchiveAsDialog();
        return false;
    case ProtectedAnswer::Cancel:
        return false;
    }
    archivefile::Stamp now;
    if (archivefile::unchangedSince(archiveOnDisk, path, &now)) {
        archiveOnDisk = now;
        return true;
    }
    // What is there now is no archive (a folder, a FIFO): the save refuses
    // it with its reason and the caller asks for another name.
    if (!now.regular)
        return true;
    const OnDiskAnswer answer = askAboutArchiveChangedOnDisk(path);
    // Answered for this change: the watcher does not ask about it again.
    declinedOnDisk = now;
    archiveCheckPending = false;
    switch (answer) {
    case OnDiskAnswer::Replace:
        return true;
    case OnDiskAnswer::Reload:
        reloadArchive();
        return false;
    case OnDiskAnswer::SaveAs:
        saveArchiveAsDialog();
        return false;
    case OnDiskAnswer::Cancel:
        return false;
    }
    return false;
}

MainWindow::OnDiskAnswer MainWindow::askAboutArchiveChangedOnDisk(const QString& path)
{
    askingAboutArchive = true;
    QString unreadable;
    const QStringList dropped = archivefile::entriesOnlyOnDisk(*m_archive, path, &unreadable);
    QMessageBox box(QMessageBox::Warning, messageTitle(),
                    tr("%1 was changed by another program after it was opened here.")
                        .arg(QFileInfo(path).fileName()),
                    QMessageBox::Cancel, this);
    box.setTextFormat(Qt::PlainText);
    QStringList lines;
    if (!unreadable.isEmpty())
        lines << tr("The file cannot be read as an archive now: %1.").arg(unreadable);
    else if (dropped.isEmpty())
        lines << tr("Everything it holds is in the archive here as well.");
    else
        lines << tr("Replacing it would drop %1 that only the file holds: %2.")
                     .arg(entriesText(dropped.size()), dropped.join(QStringLiteral(", ")));
    if (m_archive->isModified())
        lines << tr("Reloading it discards the changes made here.");
    box.setInformativeText(lines.join(QLatin1Char('\n')));
    QPushButton* reload = box.addButton(tr("&Reload"), QMessageBox::ActionRole);
    reload->setEnabled(unreadable.isEmpty());
    QPushButton* saveAs = box.addButton(tr("Save &as..."), QMessageBox::ActionRole);
    QPushButton* replace = box.addButton(tr("Re&place"), QMessageBox::DestructiveRole);
    box.setDefaultButton(QMessageBox::Cancel);
    box.exec();
    askingAboutArchive = false;
    const QAbstractButton* clicked = box.clickedButton();
    if (clicked == reload)
        return OnDiskAnswer::Reload;
    if (clicked == saveAs)
        return OnDiskAnswer::SaveAs;
    if (clicked == replace)
        return OnDiskAnswer::Replace;
    return OnDiskAnswer::Cancel;
}

void MainWindow::reloadArchive()
{
    const QString name = m_archive->fileName();
    auto reloaded = std::make_unique<MZTArchive>(name, nullptr);
    if (!reloaded->load()) {
        QMessageBox::warning(this, messageTitle(),
                             tr("The archive %1 could not be read again: %2.\n\nThe archive "
                                "shown was kept as it is.")
                                 .arg(QDir::toNativeSeparators(name), reloaded->errorString()));
        return;
    }
    std::unique_ptr<MZTArchive> previous(std::exchange(m_archive, reloaded.release()));
    fillArchiveTable(m_archive, m_ui->archTable);
    rememberArchiveOnDisk();
    reportArchiveOpened(*this, name);
    updateArchLabel();
}
