#include "nofocusdelegate.h"

#include "applog.h"
#include "contenttext.h"
#include "mainwindow.h"
#include "mztarchive.h"
#include "recorder_vocabulary.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QIcon>
#include <QPainter>
#include <QSet>

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
    // No frame around the single cell, but keyboard users must see which
    // row the arrow keys and Space act on: the current row gets an outline
    // while its table has the focus.
    const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
    const bool outlineRow = view && view->hasFocus() && view->currentIndex().isValid()
        && view->currentIndex().row() == index.row();
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
    if (outlineRow) {
        const QRect r = option.rect.adjusted(0, 0, -1, -1);
        painter->setPen(
            QPen(option.palette.color(QPalette::Highlight).darker(130), 1, Qt::DotLine));
        painter->drawLine(r.topLeft(), r.topRight());
        painter->drawLine(r.bottomLeft(), r.bottomRight());
        if (index.column() == 0)
            painter->drawLine(r.topLeft(), r.bottomLeft());
        if (index.column() == index.model()->columnCount() - 1)
            painter->drawLine(r.topRight(), r.bottomRight());
    }
    painter->restore();
}

QWidget* NoFocusDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                       const QModelIndex& index) const
{
    const int id = index.data(idRole).toInt();
    qCDebug(lcApp) << "index " << index.data(idRole);
    auto* box = new QComboBox(parent);
    QSet<int> used;
    if (mainWindow && mainWindow->archive())
        for (const ArchiveEntry* entry : mainWindow->archive()->entries())
            used.insert(entry->id());
    QFont usedFont = box->font();
    usedFont.setItalic(true);
    const QColor usedColour = box->palette().color(QPalette::PlaceholderText);
    for (int n = mzt500::FirstSequenceId; n <= mzt500::LastSequenceId; ++n) {
        box->addItem(sequenceName(n), n);
        // Numbers other entries hold are marked; choosing one still gets
        // the "already exists" answer.
        if (n != id && used.contains(n)) {
            const int i = box->count() - 1;
            box->setItemData(i, usedFont, Qt::FontRole);
            box->setItemData(i, usedColour, Qt::ForegroundRole);
            box->setItemData(i, QCoreApplication::translate("QStyledItemDelegate", "in use"),
                             Qt::ToolTipRole);
            box->setItemData(i, true, usedNumberRole);
        }
    }
    box->setCurrentIndex(id - 1);
    box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    // The base class's filter commits on Enter and focus loss and cancels on
    // Escape.
    box->installEventFilter(const_cast<NoFocusDelegate*>(this));
    return box;
}

void NoFocusDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                           const QModelIndex&) const
{
    // The whole number shows even where the name column is narrow.
    QRect r = option.rect;
    r.setWidth(qMax(r.width(), editor->sizeHint().width()));
    r.setHeight(qMax(r.height(), editor->sizeHint().height()));
    editor->setGeometry(r);
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

    mainWindow->renumberSequence(index.row(), index.column(), oldId, n);
}
