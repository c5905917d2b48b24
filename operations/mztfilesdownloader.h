// Copies the recorder files selected in the device table into the open
// archive: a new entry per file, or the entry with the same id refilled.
// The selection is taken when the run starts; the archive is changed in the
// GUI thread, from each file the run hands back.
#pragma once

#include "transferworker.h"

#include <QPointer>
#include <QString>

#include <atomic>

class MZTArchive;

class MZTFilesDownLoader : public mzt::TransferWorker {
    Q_OBJECT

public:
    explicit MZTFilesDownLoader(QObject* parent = nullptr);

    // For the next run only, set before it starts: files the recorder cannot deliver while it
    // still answers are passed over instead of ending the run.
    void passOverUnreadableInNextRun() { nextPassesOver = true; }
    // The files the last run passed over, each with why; read once its
    // results were acquired.
    QList<core::Result> unreadableFiles() const { return unreadable; }

signals:
    // The names of selected files the recorder does not hold, each after a
    // line feed and a blank; emitted at the end of a run that skipped some.
    void not_existing_files(QString names);

public slots:
    // The master's receive counter: bytes of the current read so far, or
    // the end-of-read mark when a read has ended.
    void onBytesReceived(uint nBytes);

protected:
    void takeSelection() override;
    // Breaks a read that is waiting for the recorder.
    void stopRunningRequest() override;
    void work() override;
    void fileProgress(const core::Progress& progress) override;

private:
    QPointer<MZTArchive> archive;
    QList<core::FileRef> files;
    bool nextPassesOver = false;
    bool passesOver = false;
    QList<core::Result> unreadable;
    mzt::ResultPost results;
    std::atomic<quint32> expectedSize {0};
};
