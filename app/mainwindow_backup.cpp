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

#include <QPushButton>

#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMutex>
#include <QSettings>
#include <QStatusBar>

#include <memory>

namespace {

QString messageTitle()
{
    return MainWindow::tr("MZT-500 Data Backup Tool");
}

} // namespace

void MainWindow::setUpBackupCommands()
{
    auto* backUp = new QAction(tr("&Back up recorder"), this);
    backUp->setObjectName(QStringLiteral("actionBackUpRecorder"));
    backUp->setStatusTip(tr("Copy every file of the recorder into a new archive"));
    auto* chooseFolder = new QAction(tr("Backup &folder..."), this);
    chooseFolder->setObjectName(QStringLiteral("actionBackupFolder"));
    chooseFolder->setStatusTip(tr("Choose the folder backups are saved in"));
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
    const bool succeeded = runner->finishReportOf(Reported::Download);
    // The firmware update waits for a backup that was saved where asked;
    // anything else is the user's to sort out first.
    const bool thenFirmware = std::exchange(firmwareAfterBackup, false);
    // A failed or cancelled backup leaves nothing behind: nothing was
    // written yet, and the current archive was never touched.
    if (!succeeded)
        return;

    const QString path =
        backup::freePath(backup::folder(*settings), backup::fileName(backupSerial, backupStarted));
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
        connect(box, &QMessageBox::finished, this, [this, box, saveAs, kept] {
            if (box->clickedButton() == saveAs)
                saveBackupElsewhere(kept);
        });
        box->open();
        return;
    }
    showSavedBackup(made.release(), path);
    firmwareWhenIdle = thenFirmware;
    // Old backups go only once the new one is safely saved.
    pruneAfterBackup(path);
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
