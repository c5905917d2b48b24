// Copies the recorder files selected in the device table into the open
// archive: a new entry per file, or the entry with the same id refilled.
#pragma once

#include "mzttransfersupport.h"

#include <QString>
#include <QThread>

#include <atomic>

class KVPMaster;
class MainWindow;
class MZTArchive;

class MZTFilesDownLoader : public QThread {
    Q_OBJECT

public:
    explicit MZTFilesDownLoader(QObject* parent = nullptr);

    void setMainWindow(MainWindow* window);

    // Called by whoever takes the results of a run (the signals' receiver
    // in the GUI thread) before it reads them.
    void acquireResults() const { handOver.acquire(); }

signals:
    void progress_current(int percent);
    void progress_total(int percent);
    void failed();
    void busy();
    // The names of selected files the recorder does not hold, each after a
    // line feed and a blank; emitted at the end of a run that skipped some.
    void not_existing_files(QString names);

public slots:
    void abort();
    // The master's receive counter: bytes of the current read so far, or
    // 0xFFFFFFFF when a read has ended.
    void onBytesReceived(uint nBytes);

protected:
    void run() override;

private:
    // Copies the selected files; false on any failure or abort. Collects the
    // names of files the recorder does not hold in *missing.
    bool downloadSelection(KVPMaster* master, MZTArchive* archive, QString* missing);

    MainWindow* mainWindow = nullptr;
    mzt::ResultHandOver handOver;
    std::atomic<bool> abortRequested {false};
    std::atomic<bool> checkingTransferMode {false};
    std::atomic<quint32> expectedSize {0};
};
