// Drag and drop: rows dragged from one table onto the other start the
// download or the upload of those rows, with the same questions as the
// arrows; a ".mzt" file dropped on the window opens like File > Open.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "recorder_vocabulary.h"
#include "tableselection.h"
#include "transfertable.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

namespace {

// The archive a drop from a file manager names: one local ".mzt" name.
// Anything else (several files, other kinds, folders, remote addresses) is
// refused while it is dragged, so it never gets as far as a message. A name
// that is no readable archive (damaged, too large, a FIFO, a dangling link)
// is taken, so that the open says what is wrong with it instead of the drop
// silently not happening.
QString droppedArchive(const QMimeData* data)
{
    if (!data || !data->hasUrls())
        return QString();
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile())
        return QString();
    const QString path = urls.first().toLocalFile();
    const QFileInfo info(path);
    if (!path.endsWith(QLatin1String(".mzt"), Qt::CaseInsensitive) || info.isDir()
        || !(info.exists() || info.isSymLink()))
        return QString();
    return path;
}

} // namespace

void MainWindow::setUpDragAndDrop()
{
    setAcceptDrops(true);
    auto* devTable = static_cast<TransferTable*>(m_ui->devTable);
    auto* archTable = static_cast<TransferTable*>(m_ui->archTable);
    devTable->setSide(TransferTable::Recorder);
    archTable->setSide(TransferTable::Archive);
    connect(devTable, &TransferTable::rowsDropped, this, [this](int from, const QList<int>& ids) {
        if (from == TransferTable::Archive)
            startDroppedTransfer(false, ids);
    });
    connect(archTable, &TransferTable::rowsDropped, this, [this](int from, const QList<int>& ids) {
        if (from == TransferTable::Recorder)
            startDroppedTransfer(true, ids);
    });
}

void MainWindow::startDroppedTransfer(bool fromRecorder, const QList<int>& ids)
{
    if (isBusy())
        return;
    // The commands transfer the selected rows of their table. A drag takes
    // the selection, so it normally still is what was dragged; should the
    // table have been rebuilt meanwhile, the rows are found again by id.
    QTableWidget* source = fromRecorder ? m_ui->devTable : m_ui->archTable;
    QList<int> selected;
    for (const mzt::SelectedCell& cell : selectedCellsOf(source))
        if (cell.column == 0)
            selected.append(cell.id);
    std::sort(selected.begin(), selected.end());
    QList<int> dropped = ids;
    std::sort(dropped.begin(), dropped.end());
    if (selected != dropped) {
        source->clearSelection();
        for (int row = 0; row < source->rowCount(); ++row) {
            const QTableWidgetItem* first = source->item(row, 0);
            if (first && ids.contains(first->data(mzt500::ItemIdRole).toInt()))
                source->selectionModel()->select(source->model()->index(row, 0),
                                                 QItemSelectionModel::Select
                                                     | QItemSelectionModel::Rows);
        }
        if (source->selectedItems().isEmpty())
            return;
    }
    qCDebug(lcApp) << "Dropped rows" << ids
                   << (fromRecorder ? "into the archive" : "on the recorder");
    if (fromRecorder)
        save_in_arch();
    else
        transfer_to_dev();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (!isBusy() && !droppedArchive(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event)
{
    if (!isBusy() && !droppedArchive(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void MainWindow::dropEvent(QDropEvent* event)
{
    const QString path = droppedArchive(event->mimeData());
    if (isBusy() || path.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    // The question about unsaved changes waits until the drop has ended:
    // the file manager that started the drag is waiting for its answer.
    QTimer::singleShot(0, this, [this, path] { openRecentArchive(path); });
}
