#include "archiveedithistory.h"

#include <QUndoCommand>

namespace {

bool sameEntry(const ArchiveEntry& a, const ArchiveEntry& b)
{
    return a.id() == b.id() && a.type() == b.type() && a.duration() == b.duration()
        && a.name() == b.name() && a.content() == b.content();
}

bool sameEntries(const ArchiveEditHistory::Entries& a, const ArchiveEditHistory::Entries& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), sameEntry);
}

class ArchiveEdit : public QUndoCommand {
public:
    ArchiveEdit(ArchiveEditHistory* history, const QString& what,
                ArchiveEditHistory::Entries before, ArchiveEditHistory::Entries after)
        : QUndoCommand(what)
        , m_history(history)
        , m_before(std::move(before))
        , m_after(std::move(after))
    {
    }

    void undo() override { emit m_history->restore(m_before); }
    void redo() override
    {
        // Pushed after the edit was made: the archive already holds it.
        if (std::exchange(m_done, false))
            return;
        emit m_history->restore(m_after);
    }

private:
    ArchiveEditHistory* m_history;
    ArchiveEditHistory::Entries m_before;
    ArchiveEditHistory::Entries m_after;
    bool m_done = true;
};

} // namespace

ArchiveEditHistory::ArchiveEditHistory(QObject* parent)
    : QObject(parent)
{
}

ArchiveEditHistory::~ArchiveEditHistory()
{
    // The stack empties itself on the way out; its window is going too and
    // must not hear of that.
    m_stack.blockSignals(true);
}

ArchiveEditHistory::Entries ArchiveEditHistory::entriesOf(const MZTArchive& archive)
{
    Entries entries;
    entries.reserve(archive.entries().size());
    for (const ArchiveEntry* entry : archive.entries())
        entries.append(*entry);
    return entries;
}

void ArchiveEditHistory::follow(const MZTArchive* archive)
{
    if (archive == m_archive && m_archive)
        return;
    m_archive = archive;
    m_stack.clear();
}

void ArchiveEditHistory::record(const QString& what, const Entries& before,
                                const MZTArchive& archive)
{
    follow(&archive);
    Entries after = entriesOf(archive);
    if (sameEntries(before, after))
        return;
    m_stack.push(new ArchiveEdit(this, what, before, std::move(after)));
}
