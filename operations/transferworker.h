// The common shape of the workers that change or read recorder files for the
// window: a run that can be aborted, whose results another thread takes once
// it has ended, and (for transfers) the same progress and failure signals.
#pragma once

#include "mzttransfersupport.h"
#include "operation.h"

#include <QString>
#include <QThread>

#include <atomic>

class KVPMaster;

namespace mzt {

class AbortableWorker : public HostedWorker {
    Q_OBJECT

public:
    using HostedWorker::HostedWorker;

    // Called by whoever reads, in another thread and once the run has
    // ended, what the run's directly connected receivers recorded.
    void acquireResults() const { handOver.acquire(); }

public slots:
    // Reads the selection (GUI thread), then starts the run.
    void start(QThread::Priority priority = InheritPriority);
    void abort();

protected:
    // GUI thread, before the thread runs: takes what the run works on as
    // values.
    virtual void takeSelection() = 0;
    // What an abort does beyond raising the flag the run looks at.
    virtual void stopRunningRequest() { }
    // The run; its results are published when it returns.
    virtual void work() = 0;

    ResultHandOver handOver;
    core::CancelToken abortRequested {false};

private:
    void run() final;
};

class TransferWorker : public AbortableWorker {
    Q_OBJECT

public:
    using AbortableWorker::AbortableWorker;

signals:
    void progress_current(int percent);
    void progress_total(int percent);
    // Where the run stands, for the lines beside the bars: the file, its
    // place among the others and its bytes, as a value for the GUI thread.
    void progressDetail(core::Progress progress);
    void failed();
    // Sent just before failed() when the run itself failed: why, the file
    // concerned (empty when none) and how many files were complete before.
    void failureDetail(QString reason, QString file, int filesDone);
    void busy();

protected:
    // Switches the recorder into its transfer mode; when it does not, says
    // busy() or why it failed and returns false. Counter signals of the
    // request are not a file's, so checkingTransferMode is set meanwhile.
    bool enterTransferMode(KVPMaster* master);
    void fail(const QString& reason, const QString& file = QString());
    // A progress report of the core: the lines beside the bars, the
    // current file's bar (fileProgress) and, after each file, the overall bar.
    void onProgress(const core::Progress& progress);
    // What a progress report means for the current file's bar.
    virtual void fileProgress(const core::Progress& progress) = 0;

    // The number of selected cells, which the overall bar counts in; set
    // when the selection is taken.
    qsizetype selectedCells = 0;
    std::atomic<int> filesDone {0};
    std::atomic<bool> checkingTransferMode {false};
};

} // namespace mzt
