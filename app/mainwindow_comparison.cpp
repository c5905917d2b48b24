// What is safe: the state column of both tables, "Verify with recorder" and
// "Select differences".
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "comparisoncolumn.h"
#include "filelistquestion.h"
#include "kvpmphyusb.h"
#include "mztarchive.h"
#include "recorder_vocabulary.h"
#include "recorderverifier.h"
#include "tableselection.h"
#include "transferprogresspanel.h"

#include <QHeaderView>
#include <QItemSelection>
#include <QMessageBox>
#include <QSet>
#include <QStatusBar>
#include <QTableWidget>

namespace {

using comparison::RowState;
using comparison::Side;
constexpr int idRole = mzt500::ItemIdRole;

QString messageTitle()
{
    return MainWindow::tr("MZT-500 Data Backup Tool");
}

// The name cells of a table, whatever the rows' order.
QList<QTableWidgetItem*> nameCells(const QTableWidget* table)
{
    QList<QTableWidgetItem*> cells;
    for (int row = 0; row < table->rowCount(); ++row)
        if (QTableWidgetItem* cell = table->item(row, 0))
            cells.append(cell);
    return cells;
}

void applyMarks(QTableWidget* table, Side side, const QHash<int, RowMark>& marks)
{
    // Only the name cells change, and their text stays: the rows keep their
    // order even in a table sorted by name.
    const bool wasBlocked = table->blockSignals(true);
    for (QTableWidgetItem* cell : nameCells(table)) {
        const RowMark mark = marks.value(cell->data(idRole).toInt());
        cell->setData(comparison::stateRole, int(mark.state));
        cell->setData(comparison::wordsRole, comparison::words(side, mark.state, mark.verifiedAt));
    }
    table->blockSignals(wasBlocked);
    table->verticalHeader()->viewport()->update();
}

QList<int> selectedIds(const QTableWidget* table)
{
    QList<int> ids;
    for (int row : selectedNameRows(table))
        ids.append(table->item(row, 0)->data(idRole).toInt());
    return ids;
}

// A file's outcome in the words of the recorder's table.
QString outcomeText(const core::FileComparison& file)
{
    using core::FileState;
    switch (file.state) {
    case FileState::Differs:
        return MainWindow::tr("differs from the archive (first difference at byte %1)")
            .arg(file.firstDifference);
    case FileState::OnlyInFirst:
        return MainWindow::tr("not in the archive");
    case FileState::OnlyInSecond:
        return MainWindow::tr("not on the recorder");
    case FileState::Unreadable:
        return MainWindow::tr("could not be read: %1").arg(file.reason);
    case FileState::RecordDiffers:
        return MainWindow::tr("differs from the archive");
    case FileState::SameRecord:
    case FileState::Identical:
        break;
    }
    return MainWindow::tr("identical");
}

} // namespace

void MainWindow::setUpComparisonCommands()
{
    verifier = new RecorderVerifier;
    verifier->setMainWindow(this);
    const auto queued = Qt::QueuedConnection;
    connect(verifier, &RecorderVerifier::progressDetail, progressPanel,
            &TransferProgressPanel::show, queued);
    connect(verifier, &RecorderVerifier::progress_current, this, &MainWindow::progressCurrent,
            queued);
    connect(verifier, &RecorderVerifier::progress_total, this, &MainWindow::progressTotal, queued);
    connect(
        verifier, &RecorderVerifier::verified, this,
        [this](const core::Comparison& result) { verification = result; }, queued);
    connect(verifier, &QThread::finished, this, &MainWindow::verificationEnded, queued);

    auto* verify =
        newCommand(tr("&Verify with recorder"), "actionVerifyWithRecorder",
                   tr("Read the recorder's files and compare them byte for byte with the archive"),
                   QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_V));
    auto* differences = newCommand(
        tr("Select &differences"), "actionSelectDifferences",
        tr("Select the files that differ or are missing on the other side, ready to copy"),
        QKeySequence(Qt::CTRL | Qt::Key_D));
    m_ui->menuEdit->addSeparator();
    m_ui->menuEdit->addAction(verify);
    m_ui->menuEdit->addAction(differences);
    connect(verify, &QAction::triggered, this, &MainWindow::verifyRecorderFiles);
    connect(differences, &QAction::triggered, this, &MainWindow::selectDifferences);

    // Beside "Back up recorder", looking like it.
    QPushButton* button = m_ui->verifyRecorder;
    button->setPalette(m_ui->backUpRecorder->palette());
    button->setCursor(Qt::PointingHandCursor);
    connect(button, &QPushButton::clicked, this, &MainWindow::verifyRecorderFiles);
}

void MainWindow::showComparison()
{
    if (!m_ui)
        return;
    const QList<core::ArchivedFile> archived =
        m_archive ? core::archivedFiles(*m_archive) : QList<core::ArchivedFile>();
    const ComparisonTracker::Marks marks = comparisonTracker.marks(archived);
    applyMarks(m_ui->devTable, Side::Recorder, marks.recorder);
    applyMarks(m_ui->archTable, Side::Archive, marks.archive);
    // Whether the archive came from the listed recorder may have changed.
    updateArchLabel();
}

void MainWindow::forgetVerified(QTableWidget* table)
{
    comparisonTracker.forgetVerified(selectedIds(table));
}

void MainWindow::selectDifferences()
{
    if (isBusy())
        return;
    int selected = 0;
    for (QTableWidget* table : {m_ui->devTable, m_ui->archTable}) {
        QItemSelection rows;
        for (QTableWidgetItem* cell : nameCells(table)) {
            if (!comparison::needsCopy(RowState(cell->data(comparison::stateRole).toInt())))
                continue;
            const QModelIndex index = table->model()->index(cell->row(), 0);
            rows.select(index, index);
            ++selected;
        }
        table->selectionModel()->select(
            rows, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    statusBar()->showMessage(selected == 0
                                 ? tr("Nothing differs between the recorder and the archive "
                                      "as far as the recorder's list tells.")
                                 : tr("Selected %1 that differ or are missing on the other side.")
                                       .arg(DeviceCommandRunner::filesText(selected)));
}

void MainWindow::verifyRecorderFiles()
{
    if (isBusy() || !verifier || verifier->isRunning())
        return;
    if (!connected || !deviceReady || !comparisonTracker.recorderListed()) {
        QMessageBox::information(this, messageTitle(),
                                 tr("No recorder is ready: connect one and wait until its files "
                                    "are listed."));
        return;
    }

    core::VerifyRequest request;
    request.recorderList = comparisonTracker.recorderList();
    request.archive = m_archive ? core::archivedFiles(*m_archive) : QList<core::ArchivedFile>();
    QSet<int> chosen;
    for (QTableWidget* table : {m_ui->devTable, m_ui->archTable})
        for (int id : selectedIds(table))
            chosen.insert(id);
    request.ids = QList<int>(chosen.begin(), chosen.end());
    std::sort(request.ids.begin(), request.ids.end());

    // Only the files on both sides are read; the lines plan for those.
    QSet<int> archivedIds;
    for (const core::ArchivedFile& f : request.archive)
        archivedIds.insert(f.file.id);
    QList<quint64> sizes;
    for (const ContentRecord& r : *request.recorderList)
        if (archivedIds.contains(int(r.id)) && (chosen.isEmpty() || chosen.contains(int(r.id))))
            sizes.append(r.memSize);

    verificationArchive = request.archive;
    verification = core::Comparison();
    qCDebug(lcApp) << "Verifying" << (chosen.isEmpty() ? QStringLiteral("every file") : QString())
                   << request.ids;
    startReport(Reported::Nothing, 0);
    progressPanel->begin(TransferProgressPanel::Kind::Download, int(sizes.size()), sizes);
    enterBusy();
    resetProgress();
    showProgress();
    verifier->setRequest(request);
    verifier->start();
}

void MainWindow::verificationEnded()
{
    hideProgress();
    // What the run compared proves its files' state, whether or not the run
    // went through to the end.
    comparisonTracker.takeVerification(verification, verificationArchive);
    showComparison();
    // A cancelled read leaves the master to be reset, and the recorder
    // may have changed meanwhile: the listing is read again, as after a
    // download.
    runner->unlockDevice();
    updateMZTContent();
    reportVerification();
}

void MainWindow::reportVerification()
{
    const core::Comparison& c = verification;
    const int compared = int(c.files.size());
    const int differing = c.mismatches();
    if (c.result.code == core::ResultCode::Busy) {
        deviceBusy();
        return;
    }
    if (c.result.code == core::ResultCode::Cancelled) {
        statusBar()->showMessage(tr("Verification cancelled; %1 compared before.")
                                     .arg(DeviceCommandRunner::filesText(
                                         compared - c.count(core::FileState::Unreadable))));
        return;
    }

    QStringList lines;
    for (const core::FileComparison& f : c.files)
        if (!f.matches())
            lines << f.file.name + QStringLiteral(": ") + outcomeText(f);
    const QString summary = differing == 0
        ? (compared == 1 ? tr("1 file identical") : tr("All %1 files identical").arg(compared))
        : (compared == 1 ? tr("1 of 1 file differs")
                         : tr("%1 of %2 files differ").arg(differing).arg(compared));

    if (!c.result.ok()) {
        statusBar()->showMessage(tr("Verification failed: %1").arg(c.result.reason));
        QMessageBox box(QMessageBox::Warning, messageTitle(),
                        tr("The verification has failed: %1").arg(c.result.reason), QMessageBox::Ok,
                        this);
        box.setTextFormat(Qt::PlainText);
        if (compared > 0)
            box.setInformativeText(tr("Compared before it stopped: %1.").arg(summary));
        box.exec();
        return;
    }
    statusBar()->showMessage(summary);
    if (!lines.isEmpty())
        askAboutFiles(this, messageTitle(), summary + QLatin1Char(':'), lines, QMessageBox::Ok,
                      QMessageBox::Ok, QString(), nullptr, QMessageBox::Information);
}
