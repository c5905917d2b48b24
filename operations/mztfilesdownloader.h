// Copies the recorder files selected in the device table into the open
// archive: a new entry per file, or the entry with the same id refilled.
// The selection is taken when the run starts; the archive is changed in the
// GUI thread, from each file the run hands back.
#pragma once

#include "mzttransfersupport.h"
#include "operation.h"

#include <QPointer>
#include <QString>
#include <QThread>

#include <atomic>

class MZTArchive;

class MZTFilesDownLoader : public mzt::HostedWorker {
    Q_OBJECT

public:
    explicit MZTFilesDownLoader(QObject* parent = nullptr);

    // Called by whoever reads, in another thread and once the run has
    // ended, what the run's directly connected receivers recorded.
    void acquireResults() const { handOver.acquire(); }

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
    // The names of selected files the recorder does not hold, each after a
    // line feed and a blank; emitted at the end of a run that skipped some.
    void not_existing_files(QString names);

public slots:
    // Reads the selection (GUI thread), then starts the run.
    void start(QThread::Priority priority = InheritPriority);
    void abort();
    // The master's receive counter: bytes of the current read so far, or
    // the end-of-read mark when a read has ended.
    void onBytesReceived(uint nBytes);

protected:
    void run() override;

private:
    void onProgress(const core::Progress& progress);

    mzt::ResultHandOver handOver;
    QPointer<MZTArchive> archive;
    QList<mzt::SelectedCell> cells;
    mzt::ResultPost results;
    core::CancelToken abortRequested {false};
    std::atomic<int> filesDone {0};
    void fail(const QString& reason, const QString& file = QString());
    std::atomic<bool> checkingTransferMode {false};
    std::atomic<quint32> expectedSize {0};
};
