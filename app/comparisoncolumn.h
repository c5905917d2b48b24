// The narrow column at the left of both tables that says, per row, where the
// file stands against the other side: a symbol, and the same in words as
// its tooltip, so that nothing depends on colour. The column is the tables'
// vertical header: the three item columns, their order, their selection and
// what is dragged stay as they were. A row's state lives in its name cell,
// so it moves with the row when the table is sorted.
#pragma once

#include <QDateTime>
#include <QHeaderView>
#include <QString>

namespace comparison {

// Where a row's file stands against the other side.
enum class RowState {
    Unknown,     // nothing to compare with (no recorder listed)
    Listed,      // the other side holds the same record; the bytes are unproven
    Differs,     // the other side's record differs
    Missing,     // the other side does not hold it
    Identical,   // the bytes were compared and match
    DiffersByte, // the bytes were compared and differ
    Unreadable,  // a verification could not read the recorder's copy
};

// Item data of a row's name cell.
inline constexpr int stateRole = Qt::UserRole + 20; // RowState as int
inline constexpr int wordsRole = Qt::UserRole + 21; // the state in words

enum class Side { Recorder, Archive };

QString symbol(RowState state);
// The words for a row of the side's table; verifiedAt for the byte-wise
// states (local time shown).
QString words(Side side, RowState state, const QDateTime& verifiedAt = {});

// The rows that a copy to the other side would change: their file differs
// there or is missing.
inline bool needsCopy(RowState state)
{
    return state == RowState::Differs || state == RowState::Missing
        || state == RowState::DiffersByte;
}

class StateColumn : public QHeaderView {
    Q_OBJECT

public:
    explicit StateColumn(QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    bool viewportEvent(QEvent* event) override;

private:
    QString rowData(int row, int role) const;
};

} // namespace comparison
