// Reads the backup folder as a history off the GUI thread, and optionally
// prunes one recorder's backups afterwards. A folder of hundreds of backups
// takes a while the first time (every archive is read once, then the index
// answers), which the window must not wait on. The request goes in as a value
// before the run, the history and what pruning did come back as values.
#pragma once

#include "backup_history.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <optional>

class HistoryReader : public QThread {
    Q_OBJECT

public:
    struct Request {
        QString folder;
        // After reading: prune the history that holds this backup (the one
        // just made) by this policy. The backups that were read are the
        // ones considered, so a file written meanwhile is never touched.
        QString pruneAfter;
        std::optional<history::PrunePolicy> policy;
    };

    struct Outcome {
        history::FolderHistory history;
        bool pruned = false; // a pruning was asked for and its recorder found
        history::PruneResult pruning;
    };

    using QThread::QThread;
    // Cancels a running read and waits for it.
    ~HistoryReader() override;

    // GUI thread, while not running: what the next run does.
    void setRequest(const Request& request)
    {
        m_request = request;
        m_cancel = false;
    }
    // Any thread: ends a running read early; its outcome says "cancelled".
    void cancel() { m_cancel = true; }

signals:
    // Once per run, at its end.
    void historyRead(HistoryReader::Outcome outcome);

protected:
    void run() override;

private:
    Request m_request; // set before the run, read by it only
    std::atomic<bool> m_cancel {false};
};
