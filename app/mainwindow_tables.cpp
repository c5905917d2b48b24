// The device and archive tables: set-up, rows, selection and context menus.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "comparisoncolumn.h"
#include "contentrecord.h"
#include "contenttext.h"
#include "kvpmphyusb.h"
#include "mztarchive.h"
#include "nofocusdelegate.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"

#include <QHeaderView>
#include <QMenu>
#include <QSettings>
#include <QTableWidget>
#include <QtEndian>

namespace {

// The id of the file a row shows lives in its first cell under this role.
constexpr int idRole = mzt500::ItemIdRole;

constexpr int nameColumn = 0;
constexpr int sizeColumn = 1;
constexpr int durationColumn = 2;

using mzt500::FirstSequenceId;
using mzt500::LastSequenceId;
using mzt500::SettingsId;

// The widths the columns never fall below; wider content widens them.
constexpr int nameColumnWidth = 120;
constexpr int durationColumnWidth = 70;
// Room for the sort indicator and the cell's margins beside the text.
constexpr int columnPadding = 12;

// Sizes and durations are shown as text ("1.22 MBytes", "1:02:05"), which
// sorts wrongly as text. Their cells carry the number they stand for under
// this role, and rows sort by it.
constexpr int sortKeyRole = MainWindow::sortKeyRole;

class SortedByKeyItem : public QTableWidgetItem {
public:
    SortedByKeyItem(const QString& text, qint64 key)
        : QTableWidgetItem(text)
    {
        setData(sortKeyRole, key);
    }

    bool operator<(const QTableWidgetItem& other) const override
    {
        const QVariant mine = data(sortKeyRole);
        const QVariant theirs = other.data(sortKeyRole);
        if (mine.isValid() && theirs.isValid())
            return mine.toLongLong() < theirs.toLongLong();
        return QTableWidgetItem::operator<(other);
    }
};

// A cell without a duration (the settings, unknown files) sorts before
// every sequence.
constexpr qint64 noDuration = -1;

QString settingsGroup(const QTableWidget* table)
{
    return QStringLiteral("tables/") + table->objectName();
}

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
    table->setColumnWidth(nameColumn, nameColumnWidth);
    table->setColumnWidth(durationColumn, durationColumnWidth);

    QHeaderView* header = table->horizontalHeader();
    header->setVisible(true);
    header->setStretchLastSection(true);
    header->setSortIndicatorShown(true);
    header->setHighlightSections(false);
    header->setMinimumSectionSize(40);
    header->setCascadingSectionResizes(true);

    // The rows' state against the other side takes the place of row numbers.
    table->setVerticalHeader(new comparison::StateColumn(table));
    table->verticalHeader()->setVisible(true);
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
    // Tab moves on to the next widget; the arrow keys move between rows.
    table->setTabKeyNavigation(false);
    table->setFocusPolicy(Qt::StrongFocus);
}

void MainWindow::fitColumns(QTableWidget* table)
{
    // Columns grow to show their widest text whole and never shrink below
    // their usual width or what the user chose; the last column stretches.
    for (int column : {nameColumn, sizeColumn}) {
        const int before = table->columnWidth(column);
        table->resizeColumnToContents(column);
        const int contents = table->columnWidth(column) + columnPadding;
        table->setColumnWidth(column, qMax(before, contents));
    }
}

void MainWindow::restoreTableState(QTableWidget* table)
{
    settings->beginGroup(settingsGroup(table));
    const QList<QVariant> widths = settings->value(QStringLiteral("widths")).toList();
    const int sortColumn = settings->value(QStringLiteral("sortColumn"), -1).toInt();
    const int order = settings->value(QStringLiteral("sortOrder"), 0).toInt();
    settings->endGroup();

    const int minimumWidth = table->horizontalHeader()->minimumSectionSize();
    for (int column = 0; column < qMin(int(widths.size()), durationColumn); ++column) {
        const int width = widths[column].toInt();
        if (width >= minimumWidth && width > table->columnWidth(column))
            table->setColumnWidth(column, width);
    }
    if (sortColumn >= 0 && sortColumn < table->columnCount())
        table->sortItems(sortColumn, order == 1 ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void MainWindow::saveTableState(QTableWidget* table)
{
    const QHeaderView* header = table->horizontalHeader();
    QList<QVariant> widths;
    for (int column = 0; column < durationColumn; ++column)
        widths << table->columnWidth(column);
    settings->beginGroup(settingsGroup(table));
    settings->setValue(QStringLiteral("widths"), widths);
    settings->setValue(QStringLiteral("sortColumn"), header->sortIndicatorSection());
    settings->setValue(QStringLiteral("sortOrder"), int(header->sortIndicatorOrder()));
    settings->endGroup();
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
    if (records)
        fillDeviceTable(*records);
}

void MainWindow::showDeviceContent(const core::Content& content)
{
    deviceReady = true;
    // A damaged list is refused: the table stays as the listing's start
    // left it.
    if (content.result.code != core::ResultCode::DamagedList)
        fillDeviceTable(content.records);
}

void MainWindow::fillDeviceTable(const QList<ContentRecord>& records)
{
    QTableWidget* table = m_ui->devTable;
    const bool wasBlocked = table->blockSignals(true);
    table->clearContents();
    table->blockSignals(wasBlocked);
    table->setRowCount(int(records.size()));

    int i = 0;
    for (const ContentRecord& rec : records) {
        if (rec.type == mzt500::SequenceRecord)
            qCDebug(lcApp) << ".";
        else if (rec.type == mzt500::SettingsRecord)
            qCDebug(lcApp) << "SETTINGS " << rec.id;
        else
            qCDebug(lcApp) << "UNNKNOWN";

        auto* name = new QTableWidgetItem(mzt::contentNameText(rec.type, rec.id));
        name->setData(idRole, rec.id);
        auto* size = new SortedByKeyItem(mzt::memSizeText(rec.memSize), rec.memSize);
        const bool isSequence = rec.type == mzt500::SequenceRecord;
        auto* duration =
            new SortedByKeyItem(isSequence ? mzt::durationText(rec.duration) : QString(),
                                isSequence ? qint64(rec.duration) : noDuration);
        putRow(table, i++, name, size, duration);
    }
    table->show();
    table->setEnabled(true);
    fitColumns(table);
    comparisonTracker.setRecorderList(records, recorderSerial(m_link ? m_link->deviceIndex() : -1));
    showComparison();
    // The rows the download arrow referred to are gone.
    if (!isBusy())
        on_devTable_SelectionChanged();
}

void MainWindow::fillArchiveTable(MZTArchive* arch, QTableWidget* table)
{
    const int count = arch ? int(arch->entries().size()) : 0;
    qCDebug(lcApp) << "Number of rows " << count;

    const bool wasBlocked = table->blockSignals(true);
    table->clearContents();
    table->blockSignals(wasBlocked);
    table->setRowCount(count);

    int k = 0;
    const QList<ArchiveEntry*> entries = arch ? arch->entries() : QList<ArchiveEntry*>();
    for (ArchiveEntry* entry : entries) {
        auto* name = new QTableWidgetItem(entry->name());
        name->setData(idRole, int(entry->id()));
        const QString sizeText = entry->memSizeText();
        qCDebug(lcApp) << "Mem: " << sizeText;
        const QByteArray& content = entry->content();
        const qint64 bytes =
            content.size() >= 16 ? qFromLittleEndian<quint32>(content.constData() + 8) : 0;
        const QString durationText = entry->durationText();
        putRow(table, k, name, new SortedByKeyItem(sizeText, bytes),
               new SortedByKeyItem(
                   durationText, durationText.isEmpty() ? noDuration : qint64(entry->duration())));
        ++k;
    }
    fitColumns(table);
    showComparison();
    // A rebuilt table has nothing selected: the upload arrow must not offer
    // an upload of nothing.
    if (table == m_ui->archTable && !isBusy())
        on_archTable_SelectionChanged();
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
    execTableMenu(
        table, pos, &MainWindow::select_all_dev, &MainWindow::clear_selection_dev,
        [this, table](QMenu* menu, const QList<QTableWidgetItem*>& selected) {
            menu->addAction(tr("&Save selected in archive"), this, &MainWindow::save_in_arch);
            // The settings file alone cannot be deleted.
            const bool onlySettings = selected.size() == 3 && firstSelectedId(table) == SettingsId;
            if (!onlySettings)
                menu->addAction(tr("&Delete selected"), this, &MainWindow::delete_on_dev);
        });
}

void MainWindow::ctxMenuArch(QPoint pos)
{
    QTableWidget* table = m_ui->archTable;
    execTableMenu(table, pos, &MainWindow::select_all_arch, &MainWindow::clear_selection_arch,
                  [this, table](QMenu* menu, const QList<QTableWidgetItem*>& selected) {
                      menu->addAction(tr("&Transfer selected to device"), this,
                                      &MainWindow::transfer_to_dev);
                      menu->addAction(tr("&Delete selected"), this, &MainWindow::delete_from_arch);
                      if (selected.size() != 3)
                          return;
                      qCDebug(lcApp) << "Adding the menu";
                      const int id = firstSelectedId(table);
                      if (id >= FirstSequenceId && id <= LastSequenceId)
                          menu->addAction(QStringLiteral("&Move Sequence to"), this,
                                          &MainWindow::moveSequence);
                  });
}

void MainWindow::execTableMenu(
    QTableWidget* table, QPoint pos, void (MainWindow::*selectAll)(),
    void (MainWindow::*clearSelection)(),
    const std::function<void(QMenu*, const QList<QTableWidgetItem*>&)>& addSelectionCommands)
{
    auto* menu = new QMenu;
    menu->addAction(tr("Select &all"), this, selectAll);
    menu->addAction(tr("&Clear selection"), this, clearSelection);
    const QList<QTableWidgetItem*> selected = table->selectedItems();
    if (!selected.isEmpty()) {
        menu->addSeparator();
        addSelectionCommands(menu, selected);
    }
    addFileHistoryEntry(menu, table, pos);
    // The request's position is in the viewport's coordinates (below the
    // header), so map it from there to open the menu where the click was.
    menu->exec(table->viewport()->mapToGlobal(pos));
    menu->deleteLater();
}
