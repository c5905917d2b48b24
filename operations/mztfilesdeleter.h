// Deletes the recorder files selected in the device table, following the
// recorder's progress until each is gone. The settings are never deleted.
#pragma once

#include "mzttransfersupport.h"
#include "operation.h"

#include <QList>
#include <QString>
#include <QThread>

#include <atomic>

class MZTFilesDeleter : public mzt::HostedWorker {
    Q_OBJECT

public:
    explicit MZTFilesDeleter(QObject* parent = nullptr);

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

public slots:
    // Reads the selection (GUI thread), then starts the run.
    void start(QThread::Priority priority = InheritPriority);
    // Noticed by the running deletion after its start request and after
    // every pause between polls.
    void abort();

protected:
    void run() override;

private:
    void onProgress(const core::Progress& progress);

    mzt::ResultHandOver handOver;
    QList<mzt::SelectedCell> cells;
    core::CancelToken abortRequested {false};
    std::atomic<int> filesDone {0};
    void fail(const QString& reason, const QString& file = QString());
};
