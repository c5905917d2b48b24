#include "mzttransfersupport.h"

#include "kvpmaster.h"
#include "mainwindow.h"
#include "mztarchive.h"
#include "ui_mainwindow.h"

#include <QTableWidget>

#include <algorithm>

namespace mzt {

namespace {
constexpr int idRole = 1;
}

QList<SelectedCell> readSelectedCells(MainWindow* window, TransferTable which)
{
    QList<SelectedCell> cells;
    if (!window)
        return cells;
    window->callInGuiThread([&] {
        QTableWidget* table =
            which == TransferTable::Device ? window->ui()->devTable : window->ui()->archTable;
        QList<QTableWidgetItem*> items = table->selectedItems();
        // Name cells first, rows in table order. The overall progress counts
        // every selected cell but advances with the name cells only, so with
        // whole rows selected it reaches 100 exactly with the last file;
        // in the toolkit's row-by-row order it would overshoot the bar's
        // range after the first row and the bar would stop moving.
        std::stable_sort(items.begin(), items.end(),
                         [](const QTableWidgetItem* a, const QTableWidgetItem* b) {
                             if (a->column() != b->column())
                                 return a->column() < b->column();
                             return a->row() < b->row();
                         });
        cells.reserve(items.size());
        for (const QTableWidgetItem* item : items)
            cells.append({item->column(), item->data(idRole).toInt(), item->text()});
    });
    return cells;
}

ArchiveEntry* lastEntryWithId(MZTArchive* archive, int id)
{
    if (!archive)
        return nullptr;
    const QList<ArchiveEntry*>& entries = archive->entries();
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        if (*it && (*it)->id() == id)
            return *it;
    }
    return nullptr;
}

TransferMode enterTransferMode(KVPMaster* master)
{
    switch (master->ensureTransferMode()) {
    case 1:
        return TransferMode::Entered;
    case 3:
        return TransferMode::Busy;
    default:
        return TransferMode::Failed;
    }
}

ReplyTimeoutOverride::ReplyTimeoutOverride(KVPMaster* master, int timeoutMs)
    : m_master(master)
    , m_saved(master->getTimeout())
{
    m_master->setTimeout(timeoutMs);
}

ReplyTimeoutOverride::~ReplyTimeoutOverride()
{
    restore();
}

void ReplyTimeoutOverride::restore()
{
    if (m_restored)
        return;
    m_restored = true;
    m_master->setTimeout(m_saved);
}

} // namespace mzt
