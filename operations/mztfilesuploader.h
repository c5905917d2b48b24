// Writes the archive entries selected in the archive table to the recorder.
// A file the recorder already holds under the same number is deleted on the
// recorder first. Reads the archive, never changes it.
#pragma once

#include "mzttransfersupport.h"

#include <QByteArray>
#include <QThread>

#include <atomic>

class ArchiveEntry;
class KVPMaster;
class MainWindow;
class MZTArchive;

class MZTFilesUpLoader : public QThread {
    Q_OBJECT

public:
    explicit MZTFilesUpLoader(QObject* parent = nullptr);

    void setMainWindow(MainWindow* window);

    // Called by whoever takes the results of a run (the signals' receiver
    // in the GUI thread) before it reads them.
    void acquireResults() const { handOver.acquire(); }

signals:
    void progress_current(int percent);
    void progress_total(int percent);
    void failed();
    // Connected to the master's timeout(); never emitted by the upload.
    void sigAbort();
    void busy();

public slots:
    void abort();
    // The master's write progress in percent of the current entry.
    void onSigTransferred(uint percents);

protected:
    void run() override;

private:
    bool uploadSelection(KVPMaster* master, MZTArchive* archive);
    bool deleteOnRecorder(KVPMaster* master, int fileNumber);

    MainWindow* mainWindow = nullptr;
    mzt::ResultHandOver handOver;
    std::atomic<bool> abortRequested {false};
    std::atomic<bool> replacing {false};
    std::atomic<bool> deleting {false};
    std::atomic<bool> checkingTransferMode {false};
};
