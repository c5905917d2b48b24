// The window's two tables, whose rows can be dragged onto the other table.
// A drag carries, under a private type, which table it comes from and the
// file ids of its rows; a drop of the other table's rows is handed on as
// rowsDropped(), after the drop has ended, so that whatever it starts may
// ask its questions outside the drag. Drops of a table's own rows, of
// another program's rows and of anything else are refused.
#pragma once

#include <QList>
#include <QTableWidget>

class QMimeData;

class TransferTable : public QTableWidget {
    Q_OBJECT

public:
    enum Side { Recorder, Archive };

    explicit TransferTable(QWidget* parent = nullptr);

    // Which table this is; set once, before rows are dragged.
    void setSide(Side side) { m_side = side; }
    Side side() const { return m_side; }

    static constexpr char rowsMimeType[] = "application/x-mzt500-rows";

    // What a drag of table rows carries. valid is false for anything that
    // did not come from a table of this program run.
    struct DraggedRows {
        bool valid = false;
        Side from = Recorder;
        QList<int> ids;
    };
    static DraggedRows draggedRows(const QMimeData* data);

signals:
    // Rows of the other table were dropped here (the ids in their order).
    void rowsDropped(int fromSide, QList<int> ids);

protected:
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QList<QTableWidgetItem*>& items) const override;
    bool dropMimeData(int row, int column, const QMimeData* data, Qt::DropAction action) override;
    Qt::DropActions supportedDropActions() const override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;

private:
    bool acceptsRows(const QMimeData* data) const;

    Side m_side = Recorder;
};
