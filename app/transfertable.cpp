#include "transfertable.h"

#include "recorder_vocabulary.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QTimer>

namespace {

// The payload's first field: rows from another running copy of the program
// name files of another recorder or archive, so they are refused.
qint64 processId()
{
    return QCoreApplication::applicationPid();
}

} // namespace

TransferTable::TransferTable(QWidget* parent)
    : QTableWidget(parent)
{
    setDragEnabled(true);
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    // A transfer copies; a move would have the view remove the dragged rows.
    setDefaultDropAction(Qt::CopyAction);
    setDragDropOverwriteMode(false);
    setDropIndicatorShown(false);
}

QStringList TransferTable::mimeTypes() const
{
    return {QLatin1String(rowsMimeType)};
}

QMimeData* TransferTable::mimeData(const QList<QTableWidgetItem*>& items) const
{
    // The ids of the dragged rows, once each, in row order.
    QList<int> rows;
    for (const QTableWidgetItem* item : items)
        if (!rows.contains(item->row()))
            rows.append(item->row());
    std::sort(rows.begin(), rows.end());
    QList<int> ids;
    for (int row : rows)
        if (const QTableWidgetItem* first = item(row, 0))
            ids.append(first->data(mzt500::ItemIdRole).toInt());
    if (ids.isEmpty())
        return nullptr;

    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out << processId() << qint32(m_side) << ids;
    auto* data = new QMimeData;
    data->setData(QLatin1String(rowsMimeType), payload);
    return data;
}

TransferTable::DraggedRows TransferTable::draggedRows(const QMimeData* data)
{
    DraggedRows rows;
    if (!data || !data->hasFormat(QLatin1String(rowsMimeType)))
        return rows;
    QDataStream in(data->data(QLatin1String(rowsMimeType)));
    qint64 pid = 0;
    qint32 side = -1;
    QList<int> ids;
    in >> pid >> side >> ids;
    if (in.status() != QDataStream::Ok || pid != processId()
        || (side != Recorder && side != Archive) || ids.isEmpty())
        return rows;
    rows.valid = true;
    rows.from = Side(side);
    rows.ids = ids;
    return rows;
}

bool TransferTable::acceptsRows(const QMimeData* data) const
{
    const DraggedRows rows = draggedRows(data);
    return rows.valid && rows.from != m_side;
}

bool TransferTable::dropMimeData(int, int, const QMimeData* data, Qt::DropAction action)
{
    if (action != Qt::CopyAction || !acceptsRows(data))
        return false;
    const DraggedRows rows = draggedRows(data);
    QTimer::singleShot(0, this, [this, rows] { emit rowsDropped(rows.from, rows.ids); });
    return true;
}

Qt::DropActions TransferTable::supportedDropActions() const
{
    return Qt::CopyAction;
}

void TransferTable::dragEnterEvent(QDragEnterEvent* event)
{
    // Refused here, anything else (a file from a file manager) goes on to
    // the window.
    if (!acceptsRows(event->mimeData())) {
        event->ignore();
        return;
    }
    QTableWidget::dragEnterEvent(event);
    event->setDropAction(Qt::CopyAction);
}

void TransferTable::dragMoveEvent(QDragMoveEvent* event)
{
    if (!acceptsRows(event->mimeData())) {
        event->ignore();
        return;
    }
    QTableWidget::dragMoveEvent(event);
    // Anywhere on the table, between rows and below them as well.
    event->setDropAction(Qt::CopyAction);
    event->accept();
}
