// "Back up recorder": the download command aimed at a new archive holding
// every file of the recorder, which is saved under a dated name in the
// backup folder and then becomes the current archive.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "mztarchive.h"
#include "mztfilesdownloader.h"
#include "recorder_backup.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"

#include <QPushButton>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMutex>
#include <QSettings>
#include <QStatusBar>

#include <algorithm>
#include <memory>

namespace {

QString messageTitle()
{
    return MainWindow::tr("MZT-500 Data Backup Tool");
}

// Why a file was not read, in a few words for the status line.
QString shortReason(const core::Result& unreadable)
{
    if (unreadable.code == core::ResultCode::DamagedFile)
        return MainWindow::tr("damaged copy");
    if (unreadable.cause == kvp::FailureCause::NoReply)
        return MainWindow::tr("replies lost");
    return MainWindow::tr("refused by the recorder");
}

// "SEQUENCE 04 (refused by the recorder), SEQUENCE 07 (damaged copy)".
QString notReadList(const QList<core::Result>& unreadable)
{
    QStringList named;
    for (const core::Result& file : unreadable)
        named << MainWindow::tr("%1 (%2)").arg(file.file.name, shortReason(file));
    return named.join(QStringLiteral(", "));
}

// A box lists this many reasons; the rest are in its details.
constexpr int reasonsListed = 8;

// The files read again go where a backup in one go would have put them.
void sortById(MZTArchive* archive)
{
    std::stable_sort(
        archive->entries().begin(), archive->entries().end(),
        [](const ArchiveEntry* a, const ArchiveEntry* b) { return a->id() < b->id(); });
}

} // namespace

void MainWindow::setUpBackupCommands()
{
    auto* backUp = newCommand(tr("&Back up recorder"), "actionBackUpRecorder",
                              tr("Copy every file of the recorder into a new archive"));
    auto* chooseFolder = newCommand(tr("Backup &folder..."), "actionBackupFolder",
                                    tr("Choose the folder backups are saved in"));
    m_ui->menuFile->insertSeparator(beforeQuit());
    m_ui->menuFile->insertAction(beforeQuit(), backUp);
    m_ui->menuFile->insertAction(beforeQuit(), chooseFolder);
    connect(backUp, &QAction::triggered, this, &MainWindow::backUpRecorder);
    connect(chooseFolder, &QAction::triggered, this, &MainWindow::chooseBackupFolder);

    // Under the recorder's name, looking like the link it is but as large
    // as a button to click.
    QPushButton* button = m_ui->backUpRecorder;
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, palette.color(QPalette::Link));
    button->setPalette(palette);
    button->setCursor(Qt::PointingHandCursor);
    connect(button, &QPushButton::clicked, this, &MainWindow::backUpRecorder);
    setUpHistoryCommands();
}

QAction* MainWindow::beforeQuit() const
{
    // The backup commands go after the archive commands, before Quit and
    // its separator.
    const QList<QAction*> actions = m_ui->menuFile->actions();
    const int quit = int(actions.indexOf(m_ui->actionQuit));
    return quit > 0 && actions[quit - 1]->isSeparator() ? actions[quit - 1] : m_ui->actionQuit;
}

void MainWindow::chooseBackupFolder()
{
    if (isBusy())
        return;
    const QString chosen =
        QFileDialog::getExistingDirectory(this, tr("Backup folder"), backup::folder(*settings));
    if (!chosen.isEmpty())
        backup::setFolder(*settings, chosen);
}

void MainWindow::backUpRecorder()
{
    if (isBusy() || !downLoader || downLoader->isRunning())
        return;
    if (!connected || !deviceReady) {
        QMessageBox::information(this, messageTitle(),
                                 tr("No recorder is ready: connect one and wait until its files "
                                    "are listed."));
        return;
    }
    const int files = m_ui->devTable->rowCount();
    if (files == 0) {
        QMessageBox::information(this, messageTitle(), tr("The recorder holds no files."));
        return;
    }
    // The new archive replaces the current one.
    if (!mayReplaceArchive())
        return;
    if (!recorderFreeAfterQuestion(&MainWindow::downLoad_failed))
        return;
    // The folder is tried before the recorder is read: a backup that can
    // only fail at its save would keep the user waiting for nothing.
    const QString folder = backup::folder(*settings);
    const QString problem = backup::folderProblem(folder);
    if (!problem.isEmpty()) {
        QMessageBox box(QMessageBox::Warning, messageTitle(),
                        tr("The backup cannot be saved in the folder %1: %2.")
                            .arg(QDir::toNativeSeparators(folder), problem),
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.setInformativeText(
            tr("Nothing was read or changed. Choose another folder with File > Backup folder."));
        box.exec();
        return;
    }

    // A new backup replaces the offer to complete the last one.
    incompleteBackup.reset();
    downLoader->passOverUnreadableInNextRun();
    qCDebug(lcApp) << "Back up recorder into" << folder;
    const int device = m_ui->devicesCombo->currentData(Qt::UserRole).toInt();
    backupSerial = recorderSerial(device);
    backupStarted = QDateTime::currentDateTime();
    backupArchive = new MZTArchive(QString(), nullptr);
    // The archive says which recorder it holds, so that the backup history
    // need not trust its name; without a serial number, the port tells.
    const std::vector<core::ListedDevice> listed = core::deviceList(false);
    if (device >= 0 && size_t(device) < listed.size()) {
        const core::ListedDevice& recorder = listed[size_t(device)];
        backupArchive->setRecorder({recorder.serial,
                                    recorder.serial.isEmpty() ? QStringLiteral("0x%1").arg(
                                        recorder.locationId, 4, 16, QLatin1Char('0'))
                                                              : QString()});
    }
    // The download takes the selected rows: all of them.
    m_ui->devTable->selectAll();
    startReport(Reported::Download, files);
    beginDownloadLines();
    enterBusy();
    resetProgress();
    showProgress();
    downLoader->start(QThread::InheritPriority);
}

void MainWindow::finishBackup()
{
    std::unique_ptr<MZTArchive> made(std::exchange(backupArchive, nullptr));
    const bool again = std::exchange(readingAgain, false);
    const bool succeeded = runner->finishReportOf(Reported::Download);
    // The firmware update waits for a backup that was saved where asked;
    // anything else is the user's to sort out first.
    const bool thenFirmware = std::exchange(firmwareAfterBackup, false)
        || (again && incompleteBackup && incompleteBackup->thenFirmware);
    // A failed or cancelled backup leaves nothing behind: nothing was
    // written yet, and the current archive was never touched. Reading the
    // missing files again leaves the incomplete backup as it was.
    if (!succeeded)
        return;

    const QList<core::Result> unreadable = downLoader->unreadableFiles();
    const QString incompletePath = again && incompleteBackup ? incompleteBackup->path : QString();
    const QString folder = incompletePath.isEmpty() ? backup::folder(*settings)
                                                    : QFileInfo(incompletePath).absolutePath();
    QString path;
    if (unreadable.isEmpty())
        path = backup::freePath(folder, backup::fileName(backupSerial, backupStarted));
    else if (!incompletePath.isEmpty())
        path = incompletePath; // still incomplete: the same file, with what was added
    else
        path = backup::freePath(
            folder,
            backup::fileName(backupSerial, backupStarted, backup::Completeness::Incomplete));
    if (again)
        sortById(made.get());
    made->setFileName(path);
    if (!made->save()) {
        // The save writes through a temporary file: a failed one leaves no
        // half-written archive under the name. What was read is kept until
        // the user has decided, since a full disk or a folder gone read-only
        // need not cost the whole read again.
        auto* box = new QMessageBox(QMessageBox::Warning, messageTitle(),
                                    tr("The backup could not be saved as %1: %2.")
                                        .arg(QDir::toNativeSeparators(path), made->errorString()),
                                    QMessageBox::Ok, this);
        box->setTextFormat(Qt::PlainText);
        box->setInformativeText(tr("Save it somewhere else, or press OK to drop it; the "
                                   "recorder still holds every file."));
        QPushButton* saveAs = box->addButton(tr("Save &as..."), QMessageBox::AcceptRole);
        box->setDefaultButton(saveAs);
        box->setAttribute(Qt::WA_DeleteOnClose);
        auto kept = std::shared_ptr<MZTArchive>(made.release());
        connect(box, &QMessageBox::finished, this, [this, box, saveAs, kept, unreadable] {
            if (box->clickedButton() != saveAs)
                return;
            saveBackupElsewhere(kept);
            // Saved under a name of the user's: no complete backup is made
            // from it, but it is never shown as one either.
            if (!unreadable.isEmpty() && archivePath == kept->fileName())
                statusBar()->showMessage(
                    tr("Not read: %1. The backup saved as %2 is incomplete.")
                        .arg(notReadList(unreadable), QFileInfo(archivePath).fileName()));
        });
        box->open();
        return;
    }
    const int filesRead = int(made->entries().size());
    if (!unreadable.isEmpty()) {
        showSavedBackup(made.release(), path);
        incompleteBackup = IncompleteBackup {path, unreadable, thenFirmware};
        reportIncompleteBackup(path, filesRead);
        return;
    }
    if (again)
        finishReadingAgain(made.release(), path);
    else
        showSavedBackup(made.release(), path);
    firmwareWhenIdle = thenFirmware;
    // Old backups go only once the new one is safely saved and whole.
    pruneAfterBackup(path);
}

void MainWindow::finishReadingAgain(MZTArchive* made, const QString& completePath)
{
    const int readAgain = int(incompleteBackup->unreadable.size());
    const QString incompletePath = std::exchange(incompleteBackup, std::nullopt)->path;
    showSavedBackup(made, completePath);
    // Only now that the whole backup is saved may the part go.
    QString line =
        tr("Read %1 again: the backup %2 is complete, %3 in all. Folder: %4")
            .arg(DeviceCommandRunner::filesText(readAgain), QFileInfo(completePath).fileName(),
                 DeviceCommandRunner::filesText(int(m_archive->entries().size())),
                 QDir::toNativeSeparators(QFileInfo(completePath).absolutePath()));
    if (!QFile::remove(incompletePath)) {
        qCWarning(lcApp) << "cannot remove the incomplete backup" << incompletePath;
        line += QLatin1Char(' ')
            + tr("The incomplete backup %1 could not be removed.")
                  .arg(QFileInfo(incompletePath).fileName());
    }
    statusBar()->showMessage(line);
}

void MainWindow::reportIncompleteBackup(const QString& path, int filesRead)
{
    const QList<core::Result>& unreadable = incompleteBackup->unreadable;
    QStringList reasons;
    for (const core::Result& file : unreadable)
        reasons << file.reason;
    const QString name = QFileInfo(path).fileName();
    // What is missing comes first: a narrow window cuts the line's end.
    statusBar()->showMessage(
        tr("Not read: %4. Backed up %1 of %2 from the recorder into %3. Folder: %5")
            .arg(QString::number(filesRead),
                 DeviceCommandRunner::filesText(filesRead + int(unreadable.size())), name,
                 notReadList(unreadable),
                 QDir::toNativeSeparators(QFileInfo(path).absolutePath())));

    auto* box =
        new QMessageBox(QMessageBox::Warning, messageTitle(),
                        tr("The backup is incomplete: %1 could not be read from the recorder.")
                            .arg(DeviceCommandRunner::filesText(int(unreadable.size()))),
                        QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("incompleteBackupBox"));
    box->setTextFormat(Qt::PlainText);
    QStringList listed = reasons.mid(0, reasonsListed);
    if (reasons.size() > reasonsListed) {
        listed << tr("... and %1 more (see Show Details).")
                      .arg(DeviceCommandRunner::filesText(int(reasons.size()) - reasonsListed));
        box->setDetailedText(reasons.join(QLatin1Char('\n')));
    }
    box->setInformativeText(
        listed.join(QLatin1Char('\n')) + QStringLiteral("\n\n")
        + tr("The files that were read are saved in %1, marked as incomplete. Read again "
             "tries the missing ones once more and completes the backup.")
              .arg(name));
    QPushButton* readAgain = box->addButton(tr("&Read again"), QMessageBox::AcceptRole);
    box->addButton(QMessageBox::Close);
    box->setDefaultButton(readAgain);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, box, readAgain] {
        if (box->clickedButton() == readAgain)
            readMissingFilesAgain();
    });
    box->open();
}

void MainWindow::readMissingFilesAgain()
{
    if (!incompleteBackup || !downLoader)
        return;
    // The recorder is listed again after every backup: the files are read
    // once that is done.
    if (isBusy() || downLoader->isRunning()) {
        readAgainWhenIdle = true;
        return;
    }
    const QString name = QFileInfo(incompleteBackup->path).fileName();
    if (!connected || !deviceReady) {
        QMessageBox::information(this, messageTitle(),
                                 tr("No recorder is ready: connect one and wait until its files "
                                    "are listed."));
        return;
    }
    // Read from the saved file, not from the window: the files are added
    // to what the backup holds, whatever was edited since.
    auto saved = std::make_unique<MZTArchive>(incompleteBackup->path, nullptr);
    if (!saved->load()) {
        QMessageBox::warning(
            this, messageTitle(),
            tr("The incomplete backup %1 cannot be read: %2.")
                .arg(QDir::toNativeSeparators(incompleteBackup->path), saved->errorString()));
        return;
    }
    if (!isListedRecorder(saved->recorder())) {
        QMessageBox::information(this, messageTitle(),
                                 tr("%1 is a backup of another recorder than the one listed. "
                                    "Connect that recorder to read its missing files again.")
                                     .arg(name));
        return;
    }
    // The completed backup replaces the current archive.
    if (!mayReplaceArchive())
        return;
    if (!recorderFreeAfterQuestion(&MainWindow::downLoad_failed))
        return;

    QList<int> missing;
    for (const core::Result& file : std::as_const(incompleteBackup->unreadable))
        missing << file.file.id;
    QTableWidget* table = m_ui->devTable;
    table->clearSelection();
    for (int row = 0; row < table->rowCount(); ++row)
        if (const QTableWidgetItem* item = table->item(row, 0);
            item && missing.contains(item->data(mzt500::ItemIdRole).toInt()))
            table->selectionModel()->select(table->model()->index(row, 0),
                                            QItemSelectionModel::Select
                                                | QItemSelectionModel::Rows);
    qCDebug(lcApp) << "Reading again" << missing << "into" << incompleteBackup->path;
    const std::optional<backup::NameParts> parts = backup::parseFileName(name);
    backupSerial = parts ? parts->serial : saved->recorder().serial;
    backupStarted = parts ? parts->when : QDateTime::currentDateTime();
    backupArchive = saved.release();
    readingAgain = true;
    downLoader->passOverUnreadableInNextRun();
    startReport(Reported::Download, int(missing.size()));
    beginDownloadLines();
    enterBusy();
    resetProgress();
    showProgress();
    downLoader->start(QThread::InheritPriority);
}

void MainWindow::saveBackupElsewhere(const std::shared_ptr<MZTArchive>& made)
{
    for (;;) {
        const QString name = QFileDialog::getSaveFileName(
            this, tr("Save Archive As"), backup::folder(*settings), tr("MZT-500 Archives (*.mzt)"));
        if (name.isEmpty())
            return;
        made->setFileName(name);
        if (!archivefile::isWriteProtected(name) && made->save())
            break;
        QMessageBox::warning(this, messageTitle(),
                             archivefile::isWriteProtected(name)
                                 ? tr("%1 is write-protected.").arg(QFileInfo(name).fileName())
                                 : tr("The backup could not be saved as %1: %2.")
                                       .arg(QDir::toNativeSeparators(name), made->errorString()));
    }
    // The window's own archive may have changed while the question was open.
    if (isBusy() || !mayReplaceArchive())
        return;
    auto* shown = new MZTArchive(made->fileName(), nullptr);
    for (ArchiveEntry* entry : std::as_const(made->entries()))
        shown->addEntry(entry);
    made->entries().clear();
    showSavedBackup(shown, shown->fileName());
}

void MainWindow::showSavedBackup(MZTArchive* made, const QString& path)
{
    made->setModified(false);
    const int count = int(made->entries().size());
    std::unique_ptr<MZTArchive> previous(std::exchange(m_archive, made));
    archivePath = path;
    settings->setValue(QStringLiteral("archive_file_name"), path);
    fillArchiveTable(m_archive, m_ui->archTable);
    rememberArchiveOnDisk();
    rememberRecentArchive(path);
    updateArchLabel();
    statusBar()->showMessage(tr("Backed up %1 from the recorder into %2 in %3. Folder: %4")
                                 .arg(DeviceCommandRunner::filesText(count),
                                      QFileInfo(path).fileName(),
                                      DeviceCommandRunner::durationText(runner->elapsedMs()),
                                      QDir::toNativeSeparators(QFileInfo(path).absolutePath())));
}

void MainWindow::showBackupFailure()
{
    firmwareAfterBackup = false;
    if (readingAgain && incompleteBackup) {
        const QString kept = tr("The incomplete backup %1 is kept as it was.")
                                 .arg(QDir::toNativeSeparators(incompleteBackup->path));
        QMessageBox box(QMessageBox::Warning, messageTitle(),
                        runner->cancelRequested()
                            ? tr("Reading the missing files again was cancelled.")
                            : tr("Reading the missing files again has failed."),
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        const QString cause = runner->cancelRequested() ? QString() : runner->failureCause();
        box.setInformativeText(cause.isEmpty() ? kept : cause + QLatin1Char('\n') + kept);
        box.exec();
        return;
    }
    if (runner->cancelRequested()) {
        QMessageBox::information(this, messageTitle(),
                                 tr("The backup was cancelled; no archive was saved."));
        return;
    }
    QMessageBox box(QMessageBox::Warning, messageTitle(),
                    tr("The backup of the recorder has failed; no archive was saved."),
                    QMessageBox::Ok, this);
    const QString cause = runner->failureCause();
    if (!cause.isEmpty())
        box.setInformativeText(cause);
    box.exec();
}
