// The backup history in the window: File > History and its link, a file's
// history from the tables' menus, opening a backup and restoring files from
// one through the usual commands, and the keeping of old backups after
// "Back up recorder".
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "historyreader.h"
#include "historyview.h"
#include "mztarchive.h"
#include "recorder_backup.h"
#include "recorder_vocabulary.h"

#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>

using mzt500::ItemIdRole;

void MainWindow::setUpHistoryCommands()
{
    auto* history =
        newCommand(tr("&History..."), "actionHistory",
                   tr("Show the recorder's backups and what changed from one to the next"),
                   QKeySequence(Qt::CTRL | Qt::Key_H));
    // Between "Back up recorder" and "Backup folder".
    if (auto* folder = findChild<QAction*>(QStringLiteral("actionBackupFolder")))
        m_ui->menuFile->insertAction(folder, history);
    else
        m_ui->menuFile->addAction(history);
    connect(history, &QAction::triggered, this, &MainWindow::showHistory);

    // A link on the line of "Back up recorder", looking like it, under the
    // archive's name: the recorder's side has no room left on a small
    // screen, and the history is one of archives. Reading the folder needs
    // no recorder, so it stays usable while a command runs.
    auto* link = new QPushButton(tr("History"));
    link->setObjectName(QStringLiteral("historyLink"));
    link->setToolTip(tr("Shows the recorder's backups and what changed from one to the next"));
    link->setFlat(true);
    link->setPalette(m_ui->backUpRecorder->palette());
    link->setCursor(Qt::PointingHandCursor);
    m_ui->gridLayout->addWidget(link, 2, 5, 1, 4, Qt::AlignLeft);
    connect(link, &QPushButton::clicked, this, &MainWindow::showHistory);
}

namespace {

HistoryView* ensureView(MainWindow* window, HistoryView*& view, QSettings* settings)
{
    if (view)
        return view;
    view = new HistoryView(settings, window);
    QObject::connect(view, &HistoryView::openRequested, window, &MainWindow::openBackup);
    QObject::connect(view, &HistoryView::restoreRequested, window, &MainWindow::restoreFromBackup);
    return view;
}

void present(QWidget* view)
{
    view->show();
    view->raise();
    view->activateWindow();
}

} // namespace

void MainWindow::showHistory()
{
    const int device = m_ui->devicesCombo->currentData(Qt::UserRole).toInt();
    const QString serial = connected ? recorderSerial(device) : QString();
    qCDebug(lcApp) << "History of" << serial;
    ensureView(this, historyView, settings)->showRecorder(backup::folder(*settings), serial);
    present(historyView);
}

void MainWindow::addFileHistoryEntry(QMenu* menu, QTableWidget* table, QPoint pos)
{
    // The row under the pointer, whatever is selected: the history is of
    // one file, the one the user pointed at.
    const int row = table->rowAt(pos.y());
    const QTableWidgetItem* name = row >= 0 ? table->item(row, 0) : nullptr;
    if (!name)
        return;
    menu->addSeparator();
    // A name's own '&' is not a mnemonic.
    QString shownName = name->text();
    shownName.replace(QLatin1Char('&'), QLatin1String("&&"));
    menu->addAction(tr("&History of %1").arg(shownName), this,
                    [this, table, row] { showFileHistory(table, row); });
}

void MainWindow::showFileHistory(QTableWidget* table, int row)
{
    const QTableWidgetItem* name = table->item(row, 0);
    if (!name)
        return;
    // The archive says which recorder its files came from; the recorder
    // table's files are the chosen recorder's.
    QString serial;
    if (table == m_ui->archTable && m_archive)
        serial = m_archive->recorder().serial;
    if (serial.isEmpty() && connected)
        serial = recorderSerial(m_ui->devicesCombo->currentData(Qt::UserRole).toInt());
    ensureView(this, historyView, settings)
        ->showFile(backup::folder(*settings), serial, name->data(ItemIdRole).toInt(), name->text());
    present(historyView);
}

void MainWindow::openBackup(const QString& path)
{
    if (isBusy()) {
        statusBar()->showMessage(tr("Wait until the recorder command has ended."));
        return;
    }
    openRecentArchive(path);
}

void MainWindow::restoreFromBackup(const QString& path, const QList<int>& ids)
{
    if (isBusy()) {
        statusBar()->showMessage(tr("Wait until the recorder command has ended."));
        return;
    }
    // Asked before the backup replaces the current archive, which would be
    // for nothing without a recorder to write to.
    if (!connected || !deviceReady) {
        QMessageBox::information(this, tr("MZT-500 Data Backup Tool"),
                                 tr("No recorder is ready: connect one and wait until its files "
                                    "are listed."));
        return;
    }
    const bool alreadyOpen = m_archive && !m_archive->isModified()
        && QFileInfo(archivePath) == QFileInfo(path) && QFileInfo::exists(path);
    if (!alreadyOpen) {
        openRecentArchive(path);
        // Cancelled at the question about unsaved changes, or unreadable.
        if (QFileInfo(archivePath) != QFileInfo(path) || m_archive->isModified())
            return;
    }
    qCDebug(lcApp) << "Restore" << ids << "from" << path;
    QTableWidget* table = m_ui->archTable;
    table->clearSelection();
    for (int row = 0; row < table->rowCount(); ++row)
        if (const QTableWidgetItem* item = table->item(row, 0);
            item && ids.contains(item->data(ItemIdRole).toInt()))
            table->selectionModel()->select(table->model()->index(row, 0),
                                            QItemSelectionModel::Select
                                                | QItemSelectionModel::Rows);
    if (table->selectionModel()->selectedRows().isEmpty())
        return;
    transfer_to_dev();
}

void MainWindow::pruneAfterBackup(const QString& path)
{
    const int keep = keeping::keepLast(*settings);
    if (keep <= 0) {
        if (historyView && historyView->isVisible())
            historyView->reread();
        return;
    }
    if (!backupPruner) {
        backupPruner = new HistoryReader(this);
        connect(
            backupPruner, &HistoryReader::historyRead, this,
            [this](const HistoryReader::Outcome& outcome) {
                backupPruner->wait();
                for (const QString& removed : outcome.pruning.removed)
                    qCInfo(lcApp) << "removed old backup" << removed;
                QStringList failed;
                for (const history::UnreadableFile& u : outcome.pruning.notRemoved) {
                    qCWarning(lcApp) << "old backup not removed:" << u.path << u.reason;
                    failed << QFileInfo(u.path).fileName();
                }
                // Said after the backup's own line, which stays the news.
                QString text = statusBar()->currentMessage();
                if (const qsizetype n = outcome.pruning.removed.size(); n > 0)
                    text += QLatin1Char(' ')
                        + (n == 1 ? tr("Removed 1 old backup.")
                                  : tr("Removed %1 old backups.").arg(n));
                if (!failed.isEmpty())
                    text += QLatin1Char(' ')
                        + tr("Could not remove %1.").arg(failed.join(QStringLiteral(", ")));
                statusBar()->showMessage(text.trimmed());
                if (historyView && historyView->isVisible())
                    historyView->reread();
            },
            Qt::QueuedConnection);
    }
    // A pruning still under way keeps its own request; the next backup
    // prunes again anyway.
    if (backupPruner->isRunning())
        return;
    qCDebug(lcApp) << "Keep the last" << keep << "backups besides" << path;
    backupPruner->setRequest(
        {QFileInfo(path).absolutePath(), path, history::PrunePolicy {keep, true}});
    backupPruner->start();
}
