// A table's selection as values, read one way for the workers and for the
// window's own commands.
#pragma once

#include "workerhost.h"

#include <QList>

class QTableWidget;

// The selected cells: the name cells first, then the others, each group in
// table row order.
QList<mzt::SelectedCell> selectedCellsOf(const QTableWidget* table);

// The rows of the selected name cells, in table order.
QList<int> selectedNameRows(const QTableWidget* table);
