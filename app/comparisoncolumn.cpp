#include "comparisoncolumn.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QHelpEvent>
#include <QPainter>
#include <QStyleOptionHeader>
#include <QToolTip>

namespace comparison {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
}

constexpr RowState allStates[] = {RowState::Listed,    RowState::Differs,     RowState::Missing,
                                  RowState::Identical, RowState::DiffersByte, RowState::Unreadable};

} // namespace

QString symbol(RowState state)
{
    // Shapes that read apart without colour, in a font every desktop has.
    switch (state) {
    case RowState::Listed:
        return QStringLiteral("=");
    case RowState::Differs:
    case RowState::DiffersByte:
        return QStringLiteral("\u2260"); // not equal
    case RowState::Missing:
        return QStringLiteral("\u25cb"); // white circle: nothing there
    case RowState::Identical:
        return QStringLiteral("\u2714"); // heavy check mark
    case RowState::Unreadable:
        return QStringLiteral("?");
    case RowState::Unknown:
        break;
    }
    return QString();
}

QString words(Side side, RowState state, const QDateTime& verifiedAt)
{
    const bool recorder = side == Side::Recorder;
    const QString at = verifiedAt.toLocalTime().toString(QStringLiteral("HH:mm"));
    switch (state) {
    case RowState::Listed:
        return recorder ? tr("in the archive") : tr("on the recorder");
    case RowState::Differs:
        return recorder ? tr("differs from the archive") : tr("differs");
    case RowState::Missing:
        return recorder ? tr("not in the archive") : tr("not on the recorder");
    case RowState::Identical:
        return tr("identical (verified %1)").arg(at);
    case RowState::DiffersByte:
        return (recorder ? tr("differs from the archive (verified %1)")
                         : tr("differs (verified %1)"))
            .arg(at);
    case RowState::Unreadable:
        return tr("not verified: the recorder's copy could not be read (%1)").arg(at);
    case RowState::Unknown:
        break;
    }
    return QString();
}

StateColumn::StateColumn(QWidget* parent)
    : QHeaderView(Qt::Vertical, parent)
{
    setSectionsClickable(true);
    setHighlightSections(false);
}

QSize StateColumn::sizeHint() const
{
    // As wide as the widest symbol with the header's margins, whatever the
    // number of rows (the toolkit would size it for row numbers).
    int widest = 0;
    for (RowState state : allStates)
        widest = qMax(widest, fontMetrics().horizontalAdvance(symbol(state)));
    const int margin = style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, this);
    QSize size = QHeaderView::sizeHint();
    size.setWidth(widest + 4 * margin);
    return size;
}

QString StateColumn::rowData(int row, int role) const
{
    const QAbstractItemModel* m = model();
    return m ? m->index(row, 0).data(role).toString() : QString();
}

void StateColumn::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const
{
    if (!rect.isValid())
        return;
    QStyleOptionHeader option;
    initStyleOption(&option);
    option.rect = rect;
    option.section = logicalIndex;
    option.textAlignment = Qt::AlignCenter;
    option.text = model()
        ? symbol(RowState(model()->index(logicalIndex, 0).data(stateRole).toInt()))
        : QString();
    if (isEnabled())
        option.state |= QStyle::State_Enabled;
    style()->drawControl(QStyle::CE_Header, &option, painter, this);
}

bool StateColumn::viewportEvent(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const int row = logicalIndexAt(help->pos());
        const QString text = row >= 0 ? rowData(row, wordsRole) : QString();
        if (text.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), text, this);
        }
        return true;
    }
    return QHeaderView::viewportEvent(event);
}

} // namespace comparison
