#include "mzttransfersupport.h"

#include "mainwindow.h"
#include "mztarchive.h"
#include "recorder_vocabulary.h"
#include "ui_mainwindow.h"

#include <QTableWidget>

#include <algorithm>

namespace mzt {

QList<SelectedCell> readSelectedCells(MainWindow* window, TransferTable which)
{
    QList<SelectedCell> cells;
    if (!window)
        return cells;
    QTableWidget* table =
        which == TransferTable::Device ? window->ui()->devTable : window->ui()->archTable;
    QList<QTableWidgetItem*> items = table->selectedItems();
    // Name cells first, rows in table order. The overall progress counts
    // every selected cell but advances with the name cells only, so with
    // whole rows selected it reaches 100 exactly with the last file; in the
    // toolkit's row-by-row order it would overshoot the bar's range after
    // the first row and the bar would stop moving.
    std::stable_sort(items.begin(), items.end(),
                     [](const QTableWidgetItem* a, const QTableWidgetItem* b) {
                         if (a->column() != b->column())
                             return a->column() < b->column();
                         return a->row() < b->row();
                     });
    cells.reserve(items.size());
    for (const QTableWidgetItem* item : items)
        cells.append({item->column(), item->data(mzt500::ItemIdRole).toInt(), item->text()});
    return cells;
}

QList<core::FileRef> selectedFiles(const QList<SelectedCell>& cells)
{
    QList<core::FileRef> files;
    for (const SelectedCell& cell : cells) {
        if (cell.column == 0)
            files.append({cell.id, cell.text});
    }
    return files;
}

QList<core::UploadItem> uploadItems(const MZTArchive* archive, const QList<SelectedCell>& cells)
{
    QList<core::UploadItem> items;
    for (const core::FileRef& file : selectedFiles(cells)) {
        core::UploadItem item;
        item.file.id = file.id;
        const ArchiveEntry* entry = core::lastEntryWithId(archive, file.id);
        item.inArchive = entry != nullptr;
        if (entry) {
            item.file.name = entry->name();
            item.type = entry->type();
            item.content = entry->refreshedContent();
        }
        items.append(item);
    }
    return items;
}

int totalProgressAfter(int files, qsizetype cells)
{
    constexpr qint64 progressPerCell = 300;
    return cells > 0 ? int(progressPerCell * files / cells) : 0;
}

ResultPost::ResultPost(QObject* parent)
    : QObject(parent)
{
    connect(this, &ResultPost::posted, this, &ResultPost::deliver, Qt::QueuedConnection);
}

void ResultPost::post(std::function<void()> apply)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pending.push_back(std::move(apply));
    }
    emit posted();
}

void ResultPost::deliver()
{
    std::deque<std::function<void()>> ready;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ready.swap(m_pending);
    }
    for (const std::function<void()>& apply : ready)
        apply();
}

} // namespace mzt
