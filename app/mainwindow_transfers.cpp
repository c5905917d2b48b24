// Transfer commands between recorder and archive, their progress display and
// their completion.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "archiveedithistory.h"
#include "comparisoncolumn.h"
#include "filelistquestion.h"
#include "kvpmaster.h"
#include "mztarchive.h"
#include "mztfilesdeleter.h"
#include "mztfilesdownloader.h"
#include "mztfilesuploader.h"
#include "mztfileuploadchecker.h"
#include "recorder_vocabulary.h"
#include "recorderverifier.h"
#include "tableselection.h"
#include "transferprogresspanel.h"
#include "transfers.h"

#include <QHash>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTableWidget>

#include <algorithm>

namespace {

using mzt500::ItemIdRole;
using mzt500::SettingsId;
constexpr int nameColumn = 0;

// The first cells of the selected rows: they carry the ids.
QList<QTableWidgetItem*> selectedNameCells(QTableWidget* table)
{
    QList<QTableWidgetItem*> cells;
    for (QTableWidgetItem* item : table->selectedItems()) {
        if (item->column() == nameColumn)
            cells.append(item);
    }
    return cells;
}

// The recorder's sizes of the selected files, in transfer order.
QList<quint64> listedSizes(QTableWidget* devTable)
{
    constexpr int sizeColumn = 1;
    QList<quint64> sizes;
    for (int row : selectedNameRows(devTable)) {
        const QTableWidgetItem* cell = devTable->item(row, sizeColumn);
        sizes.append(cell ? cell->data(MainWindow::sortKeyRole).toULongLong() : 0);
    }
    return sizes;
}

// What an upload of the selected archive rows writes, file by file.
QList<quint64> uploadSizes(const MZTArchive* archive, QTableWidget* archTable)
{
    QList<quint64> sizes;
    for (int row : selectedNameRows(archTable)) {
        const ArchiveEntry* entry = core::lastEntryWithId(
            archive, archTable->item(row, nameColumn)->data(ItemIdRole).toInt());
        sizes.append(entry ? quint64(entry->content().size()) : 0);
    }
    return sizes;
}

// The last row of the table showing this id; -1 for none. With an id twice
// in the archive the last entry is the one a transfer uses.
int lastRowWithId(const QTableWidget* table, int id)
{
    for (int row = table->rowCount() - 1; row >= 0; --row) {
        const QTableWidgetItem* cell = table->item(row, nameColumn);
        if (cell && cell->data(ItemIdRole).toInt() == id)
            return row;
    }
    return -1;
}

// How a file's copies compare, in the words of the questions about them.
QString comparisonWords(comparison::RowState state)
{
    using comparison::RowState;
    switch (state) {
    case RowState::Listed:
        return QObject::tr("same record");
    case RowState::Differs:
        return QObject::tr("differs");
    case RowState::Identical:
        return QObject::tr("identical, verified");
    case RowState::DiffersByte:
        return QObject::tr("differs, verified");
    case RowState::Unreadable:
        return QObject::tr("recorder's copy unreadable");
    case RowState::Unknown:
    case RowState::Missing:
        break;
    }
    return QString();
}

// A file both tables show, with each side's size as its table shows it and
// how the two compare, for a question about replacing one with the other.
ListedFile describedFile(const QString& name, int id, const QTableWidget* devTable,
                         const QTableWidget* archTable)
{
    constexpr int sizeColumn = 1;
    ListedFile file {name, {}, {}, {}};
    const auto sizeAt = [](const QTableWidget* table, int row) {
        const QTableWidgetItem* cell = row >= 0 ? table->item(row, sizeColumn) : nullptr;
        return cell ? cell->text() : QString();
    };
    const int devRow = lastRowWithId(devTable, id);
    file.recorderSize = sizeAt(devTable, devRow);
    file.archiveSize = sizeAt(archTable, lastRowWithId(archTable, id));
    if (devRow >= 0)
        file.comparison = comparisonWords(comparison::RowState(
            devTable->item(devRow, nameColumn)->data(comparison::stateRole).toInt()));
    return file;
}

// Selects exactly these rows of the table, whole.
void selectRowsOnly(QTableWidget* table, const QList<int>& rows)
{
    table->clearSelection();
    for (int row : rows)
        table->selectionModel()->select(table->model()->index(row, nameColumn),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

} // namespace

void MainWindow::createTransferWorkers()
{
    deleter = new MZTFilesDeleter;
    deleter->setMainWindow(this);
    downLoader = new MZTFilesDownLoader;
    downLoader->setMainWindow(this);
    upLoader = new MZTFilesUpLoader;
    upLoader->setMainWindow(this);
    upLoadChecker = new MZTFileUpLoadChecker;
    upLoadChecker->setMainWindow(this);

    // The lines beside the progress bars, under each bar.
    progressPanel = new TransferProgressPanel(m_ui->progBarsLayout, 1, 3, 1, this);

    const auto queued = Qt::QueuedConnection;
    // The three transfers report alike; each ends and fails its own way.
    for (mzt::TransferWorker* worker :
         {static_cast<mzt::TransferWorker*>(deleter), static_cast<mzt::TransferWorker*>(downLoader),
          static_cast<mzt::TransferWorker*>(upLoader)}) {
        connect(worker, &mzt::TransferWorker::progressDetail, progressPanel,
                &TransferProgressPanel::show, queued);
        connect(worker, &mzt::TransferWorker::progress_current, this, &MainWindow::progressCurrent,
                queued);
        connect(worker, &mzt::TransferWorker::progress_total, this, &MainWindow::progressTotal,
                queued);
        connect(worker, &mzt::TransferWorker::busy, this, &MainWindow::deviceBusy, queued);
        connect(worker, &mzt::TransferWorker::failureDetail, runner,
                &DeviceCommandRunner::noteFailure, queued);
    }
    connect(deleter, &QThread::finished, this, &MainWindow::deleteDone, queued);
    connect(deleter, &MZTFilesDeleter::failed, this, &MainWindow::delete_failed, queued);
    connect(downLoader, &QThread::finished, this, &MainWindow::downLoadDone, queued);
    connect(downLoader, &MZTFilesDownLoader::failed, this, &MainWindow::downLoad_failed, queued);
    connect(upLoader, &QThread::finished, this, &MainWindow::upLoadDone, queued);
    connect(upLoader, &MZTFilesUpLoader::failed, this, &MainWindow::upLoad_failed, queued);

    connect(upLoadChecker, &MZTFileUpLoadChecker::done, this, &MainWindow::upLoadCheckDone, queued);
}

void MainWindow::connectTransferProgress()
{
    // The master counts in the worker's thread; the slots run in this one.
    connect(m_master, &KVPMaster::sigReceived, downLoader, &MZTFilesDownLoader::onBytesReceived,
            Qt::QueuedConnection);
    connect(m_master, &KVPMaster::sigTransferred, upLoader, &MZTFilesUpLoader::onSigTransferred,
            Qt::QueuedConnection);
    connect(upLoader, &MZTFilesUpLoader::sigAbort, m_master, &KVPMaster::timeout,
            Qt::QueuedConnection);
}

void MainWindow::destroyTransferWorkers()
{
    QThread* workers[] = {deleter, downLoader, upLoader, upLoadChecker, verifier};
    for (QThread* worker : workers) {
        if (!worker)
            continue;
        disconnect(worker, nullptr, this, nullptr);
        if (worker->isRunning())
            QMetaObject::invokeMethod(worker, "abort", Qt::DirectConnection);
        if (m_master)
            disconnect(m_master, nullptr, worker, nullptr);
        waitForWorker(worker);
    }
    for (QThread* worker : workers)
        delete worker;
    deleter = nullptr;
    downLoader = nullptr;
    upLoader = nullptr;
    upLoadChecker = nullptr;
    verifier = nullptr;
}

void MainWindow::on_abortButton_clicked()
{
    runner->requestCancel();
    if (deleter && deleter->isRunning())
        deleter->abort();
    if (downLoader && downLoader->isRunning())
        downLoader->abort();
    if (upLoader && upLoader->isRunning())
        upLoader->abort();
    if (verifier && verifier->isRunning())
        verifier->abort();
}

bool MainWindow::workerMayStart(const QThread* worker, void (MainWindow::*failed)())
{
    if (!worker || worker->isRunning())
        return false;
    // Without a recorder the command fails as it would at its start.
    if (!connected) {
        (this->*failed)();
        return false;
    }
    return true;
}

void MainWindow::on_toArchive_clicked()
{
    save_in_arch();
}

void MainWindow::save_in_arch()
{
    if (!workerMayStart(downLoader, &MainWindow::downLoad_failed))
        return;

    // Name the entries the download will refill: with an id twice in the
    // archive that is the last of them.
    QList<ListedFile> replaced;
    QList<int> newRows;
    for (const QTableWidgetItem* cell : selectedNameCells(m_ui->devTable)) {
        const int id = cell->data(ItemIdRole).toInt();
        qCDebug(lcApp) << "mztAE_id" << id;
        if (const ArchiveEntry* entry = core::lastEntryWithId(m_archive, id)) {
            qCDebug(lcApp).nospace() << "\"" << entry->name() << "\" file";
            replaced << describedFile(entry->name(), id, m_ui->devTable, m_ui->archTable);
        } else {
            newRows << cell->row();
        }
    }

    bool onlyNew = false;
    if (!replaced.isEmpty()) {
        const auto answer = askAboutFiles(
            this, tr("MZT-500 Data Backup Tool"),
            QStringLiteral("Do you want to replace the folowing\nfiles? "), replaced,
            QMessageBox::Yes | QMessageBox::Abort, QMessageBox::Abort, tr("Only &new"), &onlyNew);
        if (answer != QMessageBox::Yes && !onlyNew) {
            on_devTable_SelectionChanged();
            return;
        }
        if (onlyNew && newRows.isEmpty()) {
            on_devTable_SelectionChanged();
            statusBar()->showMessage(
                tr("Nothing copied: the archive already holds every selected file."));
            return;
        }
        if (!recorderFreeAfterQuestion(&MainWindow::downLoad_failed))
            return;
    }

    // The download takes the table's selection when it starts. Leaving out
    // the files the archive holds narrows it for that moment only; the
    // user's selection is put back at once, unnoticed by the window.
    const QList<int> chosenRows = selectedNameRows(m_ui->devTable);
    const QSignalBlocker quiet(m_ui->devTable);
    if (onlyNew)
        selectRowsOnly(m_ui->devTable, newRows);
    startReport(Reported::Download, int(selectedNameCells(m_ui->devTable).size()));
    beginDownloadLines();
    enterBusy();
    resetProgress();
    showProgress();
    entriesBeforeDownload = archiveEntriesNow();
    downLoader->start(QThread::InheritPriority);
    if (onlyNew)
        selectRowsOnly(m_ui->devTable, chosenRows);
}

void MainWindow::beginDownloadLines()
{
    const QList<quint64> sizes = listedSizes(m_ui->devTable);
    progressPanel->begin(TransferProgressPanel::Kind::Download, int(sizes.size()), sizes);
}

void MainWindow::on_toDevice_clicked()
{
    transfer_to_dev();
}

void MainWindow::transfer_to_dev()
{
    if (!upLoadChecker || upLoadChecker->isRunning())
        return;
    if (!deviceReady || !connected) {
        upLoad_failed();
        return;
    }
    startReport(Reported::Upload, int(selectedNameCells(m_ui->archTable).size()));
    enterBusy();
    showProgress();
    m_ui->progBarTotal->setValue(0);
    m_ui->progrBarCurrent->setValue(0);
    upLoadChecker->start(QThread::InheritPriority);
}

void MainWindow::upLoadCheckDone(bool boOK, bool boOverwrites, QStringList* files)
{
    qCDebug(lcApp) << "upload check done";
    upLoadChecker->acquireResults();
    runner->unlockDevice();

    if (!boOK) {
        runner->reportFailed();
        hideProgress();
        operationDone_NoUnlock();
        upLoad_failed();
        return;
    }

    bool onlyMissing = false;
    if (boOverwrites) {
        // The check names the entries; their ids find them in both tables.
        QHash<QString, int> idOfName;
        for (const QTableWidgetItem* cell : selectedNameCells(m_ui->archTable)) {
            const int id = cell->data(ItemIdRole).toInt();
            if (const ArchiveEntry* entry = core::lastEntryWithId(m_archive, id))
                idOfName.insert(entry->name(), id);
        }
        QList<ListedFile> overwritten;
        for (const QString& name : files ? *files : QStringList())
            overwritten << describedFile(name, idOfName.value(name, -1), m_ui->devTable,
                                         m_ui->archTable);
        const auto answer = askAboutFiles(this, tr("MZT-500 Data Backup Tool"),
                                          tr("Do you want to overwrite the\nfollowing files?"),
                                          overwritten, QMessageBox::Ok | QMessageBox::No,
                                          QMessageBox::No, tr("&Skip existing"), &onlyMissing);
        if (answer != QMessageBox::Ok && !onlyMissing) {
            qCDebug(lcApp) << "upload aborted";
            startReport(Reported::Nothing, 0);
            operationDone_NoUnlock();
            hideProgress();
            on_archTable_SelectionChanged();
            return;
        }
    }

    if (!upLoader || upLoader->isRunning()) {
        hideProgress();
        operationDone_NoUnlock();
        return;
    }
    startUpload(onlyMissing, files ? *files : QStringList());
}

void MainWindow::startUpload(bool onlyMissing, const QStringList& held)
{
    QTableWidget* table = m_ui->archTable;
    const QList<int> rows = selectedNameRows(table);
    QList<int> missing;
    for (int row : onlyMissing ? rows : QList<int>()) {
        const ArchiveEntry* entry = core::lastEntryWithId(
            m_archive, table->item(row, nameColumn)->data(ItemIdRole).toInt());
        // The recorder always keeps a settings block; the check names it so.
        const bool onRecorder =
            entry && (entry->type() == mzt500::SettingsRecord || held.contains(entry->name()));
        if (!onRecorder)
            missing.append(row);
    }
    if (onlyMissing && missing.isEmpty()) {
        startReport(Reported::Nothing, 0);
        operationDone_NoUnlock();
        hideProgress();
        on_archTable_SelectionChanged();
        statusBar()->showMessage(
            tr("Nothing uploaded: the recorder already holds every selected file."));
        return;
    }

    // The upload takes the table's selection when it starts. Skipping the
    // held files narrows it for that moment only; the user's selection is
    // put back at once, unnoticed by the window's selection handling.
    const QSignalBlocker quiet(table);
    if (onlyMissing) {
        selectRowsOnly(table, missing);
        runner->setReportedFiles(int(missing.size()));
    }
    upLoader->setKeepHeldFiles(onlyMissing);
    progressPanel->begin(TransferProgressPanel::Kind::Upload, runner->reportedFiles(),
                         uploadSizes(m_archive, table));
    forgetVerified(table);
    runner->lockDevice();
    upLoader->start(QThread::InheritPriority);
    if (onlyMissing)
        selectRowsOnly(table, rows);
}

void MainWindow::delete_on_dev()
{
    if (!workerMayStart(deleter, &MainWindow::delete_failed))
        return;

    QStringList names;
    for (const QTableWidgetItem* cell : selectedNameCells(m_ui->devTable)) {
        if (cell->data(ItemIdRole).toInt() != SettingsId)
            names << cell->text();
    }
    const auto answer = askAboutFiles(this, tr("MZT-500 Data Backup Tool"),
                                      tr("Do you really want to delete these sequences?"), names,
                                      QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    if (!recorderFreeAfterQuestion(&MainWindow::delete_failed))
        return;

    forgetVerified(m_ui->devTable);
    startReport(Reported::Deletion, int(names.size()));
    progressPanel->begin(TransferProgressPanel::Kind::Deletion, int(names.size()));
    enterBusy();
    resetProgress();
    showProgress();
    deleter->start(QThread::InheritPriority);
}

void MainWindow::delete_from_arch()
{
    // A download fills the archive from its own thread while the window is
    // busy; entries are only removed when nothing else works on them.
    if (isBusy() || !m_archive || m_ui->archTable->selectedItems().isEmpty())
        return;

    const QList<QTableWidgetItem*> cells = selectedNameCells(m_ui->archTable);
    QList<ListedFile> names;
    for (const QTableWidgetItem* cell : cells)
        names.append({cell->text(), {}, {}, {}});
    // The question's words are those of a deletion on the recorder: the
    // note says what really happens.
    const auto answer = askAboutFiles(
        this, tr("MZT-500 Data Backup Tool"), tr("Do you really want to delete this files?"), names,
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No, QString(), nullptr,
        QMessageBox::Question, tr("Only the archive changes; the recorder keeps its files."));
    if (answer != QMessageBox::Yes || isBusy())
        return;

    // The ids are read before the first removal: rebuilding rows is left to
    // the end, but the cells must not be read after the table has changed.
    QList<int> ids;
    for (const QTableWidgetItem* cell : cells)
        ids.append(cell->data(ItemIdRole).toInt());
    const QList<ArchiveEntry> before = archiveEntriesNow();
    for (int id : ids) {
        qCDebug(lcApp) << "Trying to remove entry " << id;
        m_archive->removeEntries(id);
    }
    recordArchiveEdit(tr("removal"), before);
    fillArchiveTable(m_archive, m_ui->archTable);
    updateArchLabel();
}

void MainWindow::moveSequence()
{
    const QList<QTableWidgetItem*> selected = m_ui->archTable->selectedItems();
    if (!selected.isEmpty())
        m_ui->archTable->editItem(selected.first());
}

void MainWindow::progressCurrent(int value)
{
    m_ui->progrBarCurrent->setValue(value);
}

void MainWindow::progressTotal(int value)
{
    m_ui->progBarTotal->setValue(value);
}

void MainWindow::downLoadDone()
{
    qCDebug(lcApp) << "download done";
    // The archive table is rebuilt from what the download put in.
    downLoader->acquireResults();
    hideProgress();
    // A download that was cut short keeps what it copied: that much can be
    // undone as well.
    if (entriesBeforeDownload)
        recordArchiveEdit(tr("copy from the recorder"), *std::exchange(entriesBeforeDownload, {}));
    if (backupArchive)
        finishBackup();
    else
        finishReport();
    runner->unlockDevice();
    updateMZTContent();
}

void MainWindow::deleteDone()
{
    hideProgress();
    finishReport();
    runner->unlockDevice();
    updateMZTContent();
}

void MainWindow::upLoadDone()
{
    qCDebug(lcApp) << "Upload done";
    hideProgress();
    // Files the recorder came to hold after the question were kept, not
    // written: the line counts what was written and names those.
    upLoader->acquireResults();
    const QStringList kept = upLoader->filesKept();
    runner->setReportedFiles(runner->reportedFiles() - int(kept.size()));
    finishReport();
    if (!kept.isEmpty())
        statusBar()->showMessage(statusBar()->currentMessage() + QLatin1Char(' ')
                                 + tr("Kept %1 the recorder held by then: %2.")
                                       .arg(DeviceCommandRunner::filesText(int(kept.size())),
                                            kept.join(QStringLiteral(", "))));
    operationDone();
    updateMZTContent();
}

void MainWindow::downLoad_failed()
{
    runner->reportFailed();
    if (backupArchive) {
        showBackupFailure();
        return;
    }
    runner->showTransferFailure(
        Reported::Download,
        tr("An error has ocurred while trying to download data\nform a device."));
}

void MainWindow::upLoad_failed()
{
    qCDebug(lcApp) << "Upload failed";
    runner->reportFailed();
    // A file the recorder lost while it was being replaced is a failure to
    // show even after Cancel: only the archive still holds it.
    if (upLoader && upLoader->lostARecorderFile())
        runner->forgetCancel();
    runner->showTransferFailure(Reported::Upload, tr("Upload has failed."));
}

void MainWindow::delete_failed()
{
    runner->reportFailed();
    runner->showTransferFailure(
        Reported::Deletion, tr("An error has ocurred while trying to delete data\non a device."));
}

void MainWindow::deviceBusy()
{
    qCDebug(lcApp) << "The device is busy at the moment.";
    runner->reportFailed();
    QMessageBox::information(this, tr("MZT-500 Data Backup Tool"),
                             tr("The device is currently busy."));
}

void MainWindow::hideProgress()
{
    if (progressPanel)
        progressPanel->end();
    m_ui->lblProgCurrent->hide();
    m_ui->progrBarCurrent->hide();
    m_ui->lblProgTotal->hide();
    m_ui->progBarTotal->hide();
    m_ui->abortButton->hide();
}

void MainWindow::showProgress()
{
    m_ui->lblProgCurrent->show();
    m_ui->progrBarCurrent->show();
    m_ui->lblProgTotal->show();
    m_ui->progBarTotal->show();
    m_ui->abortButton->show();
    progressPanel->setVisible(true);
}

void MainWindow::resetProgress()
{
    m_ui->progrBarCurrent->setValue(0);
    m_ui->progBarTotal->setValue(0);
}

bool MainWindow::recorderFreeAfterQuestion(void (MainWindow::*reportFailure)())
{
    // A question runs the event loop: meanwhile the connection poll may have
    // lost the recorder, or started a discovery that holds the device.
    if (isBusy())
        return false;
    if (!connected) {
        (this->*reportFailure)();
        return false;
    }
    return true;
}
