// Pieces shared by the window's workers: turning a selection into the files
// a run works on, and handing a run's results back to the GUI thread as
// values.
#pragma once

#include "operation.h"
#include "transfers.h"
#include "workerhost.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>

class MZTArchive;

namespace mzt {

// The host's selection, or none without a host. GUI thread.
QList<SelectedCell> selectionOf(const WorkerHost* host, TransferTable table);

// The files of the name cells, in order.
QList<core::FileRef> selectedFiles(const QList<SelectedCell>& cells);

// The archive entries of the name cells as values, in order: for each id
// the entry a transfer works on (the last with the id).
QList<core::UploadItem> uploadItems(const MZTArchive* archive, const QList<SelectedCell>& cells);

// Every selected cell advances the overall progress by this much and only
// the name cells come with a file, so with whole rows (three cells each)
// selected the overall progress reaches 100 exactly with the last file.
int totalProgressAfter(int files, qsizetype cells);

// Hands results from a worker's run to the GUI thread: the worker posts a
// function that applies them, the GUI thread runs it at its next turn of
// the event loop, before the worker's finished() arrives there. The values
// travel under a lock that thread checkers can follow; the queued wake-up
// carries no data. Lives in the GUI thread.
class ResultPost : public QObject {
    Q_OBJECT

public:
    explicit ResultPost(QObject* parent = nullptr);

    // Any thread.
    void post(std::function<void()> apply);

signals:
    void posted();

private:
    void deliver();

    std::mutex m_lock;
    std::deque<std::function<void()>> m_pending;
};

// Whoever takes a run's results in another thread (a receiver connected
// directly in the worker's thread, read once the worker has finished) needs
// an order that thread checkers can follow: QThread's own wait is invisible
// to them. The worker publishes when its run ends, the reader acquires.
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

} // namespace mzt
