// Undo and redo of the archive's edits: removing, renumbering and adding
// entries. Only the archive shown changes; the recorder is never touched.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "archiveedithistory.h"
#include "mztarchive.h"

#include <QAction>
#include <QUndoStack>

void MainWindow::setUpUndo()
{
    archiveEdits = new ArchiveEditHistory(this);
    QUndoStack* stack = archiveEdits->stack();
    auto* undo =
        newCommand(tr("&Undo"), "actionUndo", tr("Take back the last change to the archive"),
                   QKeySequence(Qt::CTRL | Qt::Key_Z));
    auto* redo = newCommand(tr("&Redo"), "actionRedo",
                            tr("Make the change to the archive that was taken back again"),
                            QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    undo->setEnabled(false);
    redo->setEnabled(false);
    // First in the Edit menu, where people look for them.
    const QList<QAction*> actions = m_ui->menuEdit->actions();
    QAction* first = actions.isEmpty() ? nullptr : actions.first();
    m_ui->menuEdit->insertAction(first, undo);
    m_ui->menuEdit->insertAction(first, redo);
    if (first)
        m_ui->menuEdit->insertSeparator(first);

    // The menu names what would be undone or redone.
    connect(stack, &QUndoStack::canUndoChanged, undo, &QAction::setEnabled);
    connect(stack, &QUndoStack::canRedoChanged, redo, &QAction::setEnabled);
    connect(stack, &QUndoStack::undoTextChanged, undo, [undo](const QString& what) {
        undo->setText(what.isEmpty() ? tr("&Undo") : tr("&Undo %1").arg(what));
    });
    connect(stack, &QUndoStack::redoTextChanged, redo, [redo](const QString& what) {
        redo->setText(what.isEmpty() ? tr("&Redo") : tr("&Redo %1").arg(what));
    });
    // While a command runs its worker may be filling the archive.
    connect(undo, &QAction::triggered, this, [this, stack] {
        if (!isBusy())
            stack->undo();
    });
    connect(redo, &QAction::triggered, this, [this, stack] {
        if (!isBusy())
            stack->redo();
    });
    connect(archiveEdits, &ArchiveEditHistory::restore, this, &MainWindow::restoreArchiveEntries);
    // Back at the state last saved, the archive holds what its file holds.
    connect(stack, &QUndoStack::indexChanged, this, [this] {
        if (!m_archive)
            return;
        m_archive->setModified(!archiveEdits->isSaved());
        updateArchLabel();
    });
}

void MainWindow::recordArchiveEdit(const QString& what, const QList<ArchiveEntry>& before)
{
    if (archiveEdits && m_archive)
        archiveEdits->record(what, before, *m_archive);
}

QList<ArchiveEntry> MainWindow::archiveEntriesNow() const
{
    return m_archive ? ArchiveEditHistory::entriesOf(*m_archive) : QList<ArchiveEntry>();
}

void MainWindow::restoreArchiveEntries(const QList<ArchiveEntry>& entries)
{
    if (!m_archive)
        return;
    qDeleteAll(m_archive->entries());
    m_archive->entries().clear();
    for (const ArchiveEntry& entry : entries)
        m_archive->addEntry(new ArchiveEntry(entry));
    fillArchiveTable(m_archive, m_ui->archTable);
}
