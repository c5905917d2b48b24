#include "tableselection.h"

#include "recorder_vocabulary.h"

#include <QTableWidget>

#include <algorithm>

QList<mzt::SelectedCell> selectedCellsOf(const QTableWidget* table)
{
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
    QList<mzt::SelectedCell> cells;
    cells.reserve(items.size());
    for (const QTableWidgetItem* item : items)
        cells.append(
            {item->column(), item->row(), item->data(mzt500::ItemIdRole).toInt(), item->text()});
    return cells;
}

QList<int> selectedNameRows(const QTableWidget* table)
{
    QList<int> rows;
    for (const mzt::SelectedCell& cell : selectedCellsOf(table)) {
        if (cell.column == 0)
            rows.append(cell.row);
    }
    return rows;
}
