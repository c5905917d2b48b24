// Writes the archive entries selected in the archive table to the recorder.
// A file the recorder already holds under the same number is deleted on the
// recorder first. Takes the entries as values when the run starts and never
// changes the archive.
#pragma once

#include "mzttransfersupport.h"
#include "operation.h"
#include "transfers.h"

#include <QThread>

#include <atomic>

class MainWindow;

class MZTFilesUpLoader : public QThread {
    Q_OBJECT

public:
    explicit MZTFilesUpLoader(QObject* parent = nullptr);

    void setMainWindow(MainWindow* window);

    // Called by whoever reads, in another thread and once the run has
    // ended, what the run's directly connected receivers recorded.
    void acquireResults() const { handOver.acquire(); }

signals:
    void progress_current(int percent);
    void progress_total(int percent);
    void failed();
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

    MainWindow* mainWindow = nullptr;
    mzt::ResultHandOver handOver;
    bool haveArchive = false;
    qsizetype cellCount = 0;
    QList<core::UploadItem> items;
    core::CancelToken abortRequested {false};
    std::atomic<bool> replacing {false};
    std::atomic<bool> deleting {false};
    std::atomic<bool> checkingTransferMode {false};
};
