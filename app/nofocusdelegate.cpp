#include "nofocusdelegate.h"

#include "applog.h"
#include "contenttext.h"
#include "mainwindow.h"
#include "mztarchive.h"
#include "recorder_vocabulary.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPainter>
#include <QTableWidget>

namespace {

constexpr int idRole = mzt500::ItemIdRole;

QString sequenceName(int n)
{
    return mzt::sequenceNameText(n);
}

} // namespace

void NoFocusDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const
{
    QStyleOptionViewItem opt(option);
    opt.state &= ~QStyle::State_HasFocus;
    qCDebug(lcApp) << "Index " << index.row() << ", " << index.column();

    painter->save();
    QStyledItemDelegate::paint(painter, opt, index);
    if (index.column() == 0 && mainWindow) {
        const int v = index.data(idRole).toInt();
        const QIcon* icon = v != 0 ? mainWindow->sequenceIcon : mainWindow->settingsIcon;
        const QList<QSize> sizes = mainWindow->sequenceIcon->availableSizes();
        if (!sizes.isEmpty())
            qCDebug(lcApp) << "width " << sizes.first().width() << "height "
                           << sizes.first().height();
        const QRect square(option.rect.topLeft() + QPoint(3, 1), QSize(16, 16));
        icon->paint(painter, square, Qt::AlignCenter, QIcon::Normal, QIcon::Off);
    }
    painter->restore();
}

QWidget* NoFocusDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                       const QModelIndex& index) const
{
    const int id = index.data(idRole).toInt();
    qCDebug(lcApp) << "index " << index.data(idRole);
    auto* box = new QComboBox(parent);
    for (int n = mzt500::FirstSequenceId; n <= mzt500::LastSequenceId; ++n)
        box->addItem(sequenceName(n), n);
    box->setCurrentIndex(id - 1);
    // The base class's filter commits on Enter and focus loss and cancels on
    // Escape.
    box->installEventFilter(const_cast<NoFocusDelegate*>(this));
    return box;
}

void NoFocusDelegate::setModelData(QWidget* editor, QAbstractItemModel*,
                                   const QModelIndex& index) const
{
    qCDebug(lcApp) << "set Model Data";
    auto* box = qobject_cast<QComboBox*>(editor);
    if (!box || !mainWindow)
        return;
    const int n = box->currentIndex() + 1;
    const int oldId = index.data(idRole).toInt();
    if (n == oldId)
        return;

    MZTArchive* archive = mainWindow->archive();
    if (!archive)
        return;
    ArchiveEntry* target = nullptr;
    bool taken = false;
    for (ArchiveEntry* entry : archive->entries()) {
        if (!target && entry->id() == oldId)
            target = entry;
        if (entry->id() == n)
            taken = true;
    }
    if (!target)
        return;
    if (taken) {
        QMessageBox::information(
            mainWindow, QCoreApplication::translate("MainWindow", "MZT-500 Data Backup Tool"),
            QCoreApplication::translate("QStyledItemDelegate", "SEQUENCE %1 already exists")
                .arg(n, 2, 10, QLatin1Char('0')),
            QMessageBox::Ok);
        return;
    }

    target->setId(n);
    target->setName(sequenceName(n));
    archive->setModified(true);

    QTableWidget* table = mainWindow->ui()->archTable;
    const bool wasBlocked = table->blockSignals(true);
    QTableWidgetItem* item = table->item(index.row(), index.column());
    if (item) {
        item->setData(idRole, n);
        item->setData(Qt::EditRole, sequenceName(n));
    }
    table->blockSignals(wasBlocked);

    table->clearSelection();
    int row = 0;
    for (int r = 0; r < table->rowCount(); ++r) {
        const QTableWidgetItem* cell = table->item(r, 0);
        if (cell && cell->data(idRole).toInt() == n) {
            row = r;
            break;
        }
    }
    table->selectRow(row);
    mainWindow->updateArchLabel();
}
