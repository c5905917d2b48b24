// Writes the archive entries selected in the archive table to the recorder.
// A file the recorder already holds under the same number is deleted on the
// recorder first. Takes the entries as values when the run starts and never
// changes the archive.
#pragma once

#include "transfers.h"
#include "transferworker.h"

#include <QString>

#include <atomic>
#include <mutex>

class KVPMaster;

class MZTFilesUpLoader : public mzt::TransferWorker {
    Q_OBJECT

public:
    explicit MZTFilesUpLoader(QObject* parent = nullptr);

    // The failed run left the recorder without a file it had held (its
    // deletion began, the rewrite failed); the archive still holds it.
    bool lostARecorderFile() const { return recorderLostFile; }
    // With keep set, the next runs write only files the recorder does not
    // hold when the run comes to them ("Skip existing"); filesKept() then
    // names those it found held and passed over.
    void setKeepHeldFiles(bool keep) { keepHeld = keep; }
    QStringList filesKept() const { return kept; }

signals:
    // Connected to the master's timeout(); never emitted by the upload.
    void sigAbort();

public slots:
    // The master's write progress in percent of the current entry.
    void onSigTransferred(uint percents);

protected:
    // Takes the selected entries as values.
    void takeSelection() override;
    // A write in progress only stops when the master is told.
    void stopRunningRequest() override;
    void work() override;
    void fileProgress(const core::Progress& progress) override;

private:
    // While allowed, abort() also asks the master to stop; either way any
    // earlier request to the master is dropped.
    void allowMasterAbort(KVPMaster* master, bool allow);

    bool haveArchive = false;
    QList<core::UploadItem> items;
    bool keepHeld = false;
    QStringList kept;
    std::atomic<bool> replacing {false};
    std::atomic<bool> recorderLostFile {false};
    std::mutex masterAbortLock;
    bool masterAbortAllowed = false; // guarded by masterAbortLock
};
