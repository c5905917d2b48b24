// The device and archive tables: set-up, rows, selection and context menus.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "contentrecord.h"
#include "contenttext.h"
#include "mztarchive.h"
#include "nofocusdelegate.h"
#include "recorder_vocabulary.h"

#include <QHeaderView>
#include <QMenu>
#include <QTableWidget>

namespace {

// The id of the file a row shows lives in its first cell under this role.
constexpr int idRole = mzt500::ItemIdRole;

constexpr int nameColumn = 0;
constexpr int sizeColumn = 1;
constexpr int durationColumn = 2;

using mzt500::FirstSequenceId;
using mzt500::LastSequenceId;
using mzt500::SettingsId;

// Puts the three cells of one row. With sorting on, inserting a cell may move
// its row at once, so each further cell goes where the previous one ended up.
void putRow(QTableWidget* table, int row, QTableWidgetItem* name, QTableWidgetItem* size,
            QTableWidgetItem* duration)
{
    table->setItem(row, nameColumn, name);
    const int r = name->row();
    table->setItem(r, sizeColumn, size);
    const int r2 = size->row();
    table->setItem(r2, durationColumn, duration);
}

// The id under the first cell of the row of the first selected cell.
int firstSelectedId(QTableWidget* table)
{
    const QList<QTableWidgetItem*> selected = table->selectedItems();
    if (selected.isEmpty())
        return -1;
    const QTableWidgetItem* first = table->item(selected.first()->row(), nameColumn);
    return first ? first->data(idRole).toInt() : -1;
}

} // namespace

void MainWindow::setUpTable(QTableWidget* table, NoFocusDelegate* delegate)
{
    table->setColumnCount(3);
    table->setHorizontalHeaderLabels(
        {QStringLiteral("name"), QStringLiteral("size"), QStringLiteral("duration")});
    table->setColumnWidth(nameColumn, 120);
    table->setColumnWidth(durationColumn, 70);

    QHeaderView* header = table->horizontalHeader();
    header->setVisible(true);
    header->setStretchLastSection(true);
    header->setSortIndicatorShown(true);
    header->setHighlightSections(false);
    header->setMinimumSectionSize(40);
    header->setCascadingSectionResizes(true);

    table->verticalHeader()->setVisible(false);
    table->verticalHeader()->setDefaultSectionSize(18);

    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSortingEnabled(true);
    table->setShowGrid(false);
    table->setTextElideMode(Qt::ElideRight);
    table->setWordWrap(true);
    table->setCornerButtonEnabled(false);
    table->setFrameShape(QFrame::Box);
    table->setFrameShadow(QFrame::Sunken);
    table->setAlternatingRowColors(false);
    table->setContextMenuPolicy(Qt::CustomContextMenu);
    table->setItemDelegate(delegate);
}

void MainWindow::clearTable(QTableWidget* table)
{
    const bool wasBlocked = table->blockSignals(true);
    table->clearContents();
    table->setRowCount(0);
    table->blockSignals(wasBlocked);
}

void MainWindow::newMZTContentArrived(void* content, int ReadLength)
{
    deviceReady = true;
    const std::optional<QList<ContentRecord>> records = decodeContentList(content, ReadLength);
    if (!records)
        return;

    QTableWidget* table = m_ui->devTable;
    const bool wasBlocked = table->blockSignals(true);
    table->clearContents();
    table->blockSignals(wasBlocked);
    table->setRowCount(int(records->size()));

    int i = 0;
    for (const ContentRecord& rec : *records) {
        if (rec.type == mzt500::SequenceRecord)
            qCDebug(lcApp) << ".";
        else if (rec.type == mzt500::SettingsRecord)
            qCDebug(lcApp) << "SETTINGS " << rec.id;
        else
            qCDebug(lcApp) << "UNNKNOWN";

        auto* name = new QTableWidgetItem(mzt::contentNameText(rec.type, rec.id));
        name->setData(idRole, rec.id);
        auto* size = new QTableWidgetItem(mzt::memSizeText(rec.memSize));
        auto* duration = new QTableWidgetItem(
            rec.type == mzt500::SequenceRecord ? mzt::durationText(rec.duration) : QString());
        putRow(table, i++, name, size, duration);
    }
    table->show();
    table->setEnabled(true);
}

void MainWindow::fillArchiveTable(MZTArchive* arch, QTableWidget* table)
{
    const int count = arch ? int(arch->entries().size()) : 0;
    qCDebug(lcApp) << "Number of rows " << count;

    const bool wasBlocked = table->blockSignals(true);
    table->clearContents();
    table->blockSignals(wasBlocked);
    table->setRowCount(count);
    if (!arch)
        return;

    int k = 0;
    for (ArchiveEntry* entry : arch->entries()) {
        auto* name = new QTableWidgetItem(entry->name());
        name->setData(idRole, int(entry->id()));
        const QString sizeText = entry->memSizeText();
        qCDebug(lcApp) << "Mem: " << sizeText;
        putRow(table, k, name, new QTableWidgetItem(sizeText),
               new QTableWidgetItem(entry->durationText()));
        ++k;
    }
}

void MainWindow::on_devTable_SelectionChanged()
{
    m_ui->toArchive->setEnabled(!m_ui->devTable->selectedItems().isEmpty());
}

void MainWindow::on_archTable_SelectionChanged()
{
    m_ui->toDevice->setEnabled(!m_ui->archTable->selectedItems().isEmpty());
}

void MainWindow::select_all_dev()
{
    m_ui->devTable->selectAll();
}

void MainWindow::clear_selection_dev()
{
    m_ui->devTable->clearSelection();
}

void MainWindow::select_all_arch()
{
    m_ui->archTable->selectAll();
}

void MainWindow::clear_selection_arch()
{
    m_ui->archTable->clearSelection();
}

void MainWindow::ctxMenuDev(QPoint pos)
{
    QTableWidget* table = m_ui->devTable;
    auto* menu = new QMenu;
    menu->addAction(tr("Select all"), this, &MainWindow::select_all_dev);
    menu->addAction(tr("Clear selection"), this, &MainWindow::clear_selection_dev);
    const QList<QTableWidgetItem*> selected = table->selectedItems();
    if (!selected.isEmpty()) {
        menu->addSeparator();
        menu->addAction(tr("Save selected in archive"), this, &MainWindow::save_in_arch);
        // The settings file alone cannot be deleted.
        const bool onlySettings = selected.size() == 3 && firstSelectedId(table) == SettingsId;
        if (!onlySettings)
            menu->addAction(tr("Delete selected"), this, &MainWindow::delete_on_dev);
    }
    // The request's position is in the viewport's coordinates (below the
    // header), so map it from there to open the menu where the click was.
    menu->exec(table->viewport()->mapToGlobal(pos));
    menu->deleteLater();
}

void MainWindow::ctxMenuArch(QPoint pos)
{
    QTableWidget* table = m_ui->archTable;
    auto* menu = new QMenu;
    menu->addAction(tr("Select all"), this, &MainWindow::select_all_arch);
    menu->addAction(tr("Clear selection"), this, &MainWindow::clear_selection_arch);
    const QList<QTableWidgetItem*> selected = table->selectedItems();
    if (!selected.isEmpty()) {
        menu->addSeparator();
        menu->addAction(tr("Transfer selected to device"), this, &MainWindow::transfer_to_dev);
        menu->addAction(tr("Delete selected"), this, &MainWindow::delete_from_arch);
    }
    if (selected.size() == 3) {
        qCDebug(lcApp) << "Adding the menu";
        const int id = firstSelectedId(table);
        if (id >= FirstSequenceId && id <= LastSequenceId)
            menu->addAction(QStringLiteral("Move Sequence to"), this, &MainWindow::moveSequence);
    }
    menu->exec(table->viewport()->mapToGlobal(pos));
    menu->deleteLater();
}
