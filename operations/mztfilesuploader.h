// Writes the archive entries selected in the archive table to the recorder.
// A file the recorder already holds under the same number is deleted on the
// recorder first. Takes the entries as values when the run starts and never
// changes the archive.
#pragma once

#include "mzttransfersupport.h"
#include "operation.h"
#include "transfers.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <mutex>

class KVPMaster;

class MZTFilesUpLoader : public mzt::HostedWorker {
    Q_OBJECT

public:
    explicit MZTFilesUpLoader(QObject* parent = nullptr);

    // Called by whoever reads, in another thread and once the run has
    // ended, what the run's directly connected receivers recorded.
    void acquireResults() const { handOver.acquire(); }
    // The failed run left the recorder without a file it had held (its
    // deletion began, the rewrite failed); the archive still holds it.
    bool lostARecorderFile() const { return recorderLostFile; }
    // With keep set, the next runs write only files the recorder does not
    // hold when the run comes to them ("Skip existing"); filesKept() then
    // names those it found held and passed over.
    void setKeepHeldFiles(bool keep) { keepHeld = keep; }
    QStringList filesKept() const { return kept; }

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
    // Connected to the master's timeout(); never emitted by the upload.
    void sigAbort();
    void busy();

public slots:
    // Reads the selection and its entries (GUI thread), then starts the run.
    void start(QThread::Priority priority = InheritPriority);
    void abort();
    // The master's write progress in percent of the current entry.
    void onSigTransferred(uint percents);

protected:
    void run() override;

private:
    void onProgress(const core::Progress& progress);
    // While allowed, abort() also asks the master to stop; either way any
    // earlier request to the master is dropped.
    void allowMasterAbort(KVPMaster* master, bool allow);

    mzt::ResultHandOver handOver;
    bool haveArchive = false;
    qsizetype cellCount = 0;
    QList<core::UploadItem> items;
    bool keepHeld = false;
    QStringList kept;
    core::CancelToken abortRequested {false};
    std::atomic<int> filesDone {0};
    void fail(const QString& reason, const QString& file = QString());
    std::atomic<bool> replacing {false};
    std::atomic<bool> recorderLostFile {false};
    std::mutex masterAbortLock;
    bool masterAbortAllowed = false; // guarded by masterAbortLock
    std::atomic<bool> checkingTransferMode {false};
};
