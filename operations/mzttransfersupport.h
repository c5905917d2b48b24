// Pieces shared by the four transfer workers: reading a table's selection
// from the GUI thread, finding the archive entry a transfer works on, and
// raising the master's reply time-out for the length of one run.
#pragma once

#include <QList>
#include <QString>

#include <atomic>

class ArchiveEntry;
class KVPMaster;
class MainWindow;
class MZTArchive;

namespace mzt {

// One selected cell as the worker needs it: the first cell of a row carries
// the file id (item data role 1) and the file's display name.
struct SelectedCell {
    int column = 0;
    int id = 0;
    QString text;
};

enum class TransferTable { Device, Archive };

// The selected cells of a table: the name cells first, then the others, each
// group in table row order. Called from
// a worker thread it blocks until the GUI thread has read them, so it must
// not be called while the master's transaction lock is held.
QList<SelectedCell> readSelectedCells(MainWindow* window, TransferTable table);

// The entry a transfer of this id works on: the last one with the id, so
// that the check, the question and the transfer itself agree when an archive
// holds the same id twice. Null when there is none.
ArchiveEntry* lastEntryWithId(MZTArchive* archive, int id);

enum class TransferMode { Entered, Busy, Failed };

// Makes sure the recorder is in its transfer mode. Busy: it stays out of it
// (another operation on the recorder runs); Failed: no usable answer.
TransferMode enterTransferMode(KVPMaster* master);

// Raises the master's reply time-out and sets the old value back once, on
// restore() or at the latest on destruction. Results are emitted only after
// restore(), so whatever the window starts next finds the usual time-out.
class ReplyTimeoutOverride {
public:
    ReplyTimeoutOverride(KVPMaster* master, int timeoutMs);
    ~ReplyTimeoutOverride();
    ReplyTimeoutOverride(const ReplyTimeoutOverride&) = delete;
    ReplyTimeoutOverride& operator=(const ReplyTimeoutOverride&) = delete;

    void restore();

private:
    KVPMaster* m_master;
    int m_saved;
    bool m_restored = false;
};

// Results of a run reach the GUI thread in queued signals and through what
// the run changed (the archive, the overwrite list). Qt delivers a queued
// signal after its emission, but orders the two with locks inside QtCore that
// thread checkers cannot see. A release by the worker once its results are
// complete and an acquire by the slot that takes them state that order where
// the checkers can follow it.
class ResultHandOver {
public:
    void publish() { m_published.fetch_add(1, std::memory_order_release); }
    void acquire() const { (void)m_published.load(std::memory_order_acquire); }

    // Publishes when the run ends, whichever way it ends.
    class AtEnd {
    public:
        explicit AtEnd(ResultHandOver& handOver)
            : m_handOver(handOver)
        {
        }
        ~AtEnd() { m_handOver.publish(); }
        AtEnd(const AtEnd&) = delete;
        AtEnd& operator=(const AtEnd&) = delete;

    private:
        ResultHandOver& m_handOver;
    };

private:
    std::atomic<unsigned> m_published {0};
};

// File transfers run with a longer reply time-out than the window's probes:
// the recorder takes its time to look up and prepare a stored file.
inline constexpr int TransferReplyTimeoutMs = 2000;

} // namespace mzt
