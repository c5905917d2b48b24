#include "mzttransfersupport.h"

#include "mztarchive.h"

namespace mzt {

QList<SelectedCell> selectionOf(const WorkerHost* host, TransferTable table)
{
    return host ? host->selectedCells(table) : QList<SelectedCell>();
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
