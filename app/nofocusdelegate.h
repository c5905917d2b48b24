// Item delegate of both tables: draws cells without a focus frame, paints the
// file-type icon into the first cell, and offers the sequence-number editor
// of an archive sequence; the window's archive side renumbers the entry.
#pragma once

#include <QStyledItemDelegate>

class MainWindow;

class NoFocusDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void setMainWindow(MainWindow* window) { mainWindow = window; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;

    // Marks the editor's numbers that another archive entry holds already.
    static constexpr int usedNumberRole = Qt::UserRole + 2;

private:
    MainWindow* mainWindow = nullptr;
};
