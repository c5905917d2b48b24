// The edits of the archive shown, for undo and redo: removing, renumbering
// and adding entries. Each edit keeps the entries as they were before and
// after it, as values; the contents are shared with the archive, not
// copied, until one side changes them.
#pragma once

#include "mztarchive.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QUndoStack>

class ArchiveEditHistory : public QObject {
    Q_OBJECT

public:
    using Entries = QList<ArchiveEntry>;

    explicit ArchiveEditHistory(QObject* parent = nullptr);
    ~ArchiveEditHistory() override;

    static Entries entriesOf(const MZTArchive& archive);

    // The history belongs to one archive: another one starts it afresh,
    // with nothing to undo.
    void follow(const MZTArchive* archive);
    // The archive went from before to the entries it holds now; nothing is
    // kept when they are the same.
    void record(const QString& what, const Entries& before, const MZTArchive& archive);
    // The archive is what its file holds: undoing back to here leaves it
    // unmodified.
    void markSaved() { m_stack.setClean(); }
    bool isSaved() const { return m_stack.isClean(); }

    QUndoStack* stack() { return &m_stack; }

signals:
    // Undo or redo: the archive is to hold these entries.
    void restore(const ArchiveEditHistory::Entries& entries);

private:
    QUndoStack m_stack;
    // Gone with the archive: a new one at the same address is another.
    QPointer<const MZTArchive> m_archive;
};
