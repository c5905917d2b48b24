#include "mztfilesdeleter.h"

#include "kvpmaster.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "transfers.h"

MZTFilesDeleter::MZTFilesDeleter(QObject* parent)
    : mzt::HostedWorker(parent)
{
}

void MZTFilesDeleter::start(QThread::Priority priority)
{
    // Cleared here, before the thread runs: an abort that comes before the
    // run has begun is meant for this run and must not be forgotten by it.
    abortRequested = false;
    cells = mzt::selectionOf(host, mzt::TransferTable::Device);
    QThread::start(priority);
}

void MZTFilesDeleter::abort()
{
    abortRequested = true;
}

void MZTFilesDeleter::onProgress(const core::Progress& progress)
{
    emit progressDetail(progress);
    using Stage = core::Progress::Stage;
    if (progress.stage == Stage::Deleting && progress.deletion >= 0)
        emit progress_current(int(uint(progress.deletion) * 100u / mzt500::DeletionDone));
    else if (progress.stage == Stage::FileDone) {
        filesDone = progress.fileIndex;
        emit progress_total(mzt::totalProgressAfter(progress.fileIndex, cells.size()));
    }
}

void MZTFilesDeleter::run()
{
    const mzt::ResultHandOver::AtEnd publishAtEnd(handOver);
    filesDone = 0;
    KVPMaster* master = host ? host->master() : nullptr;
    if (!master) {
        emit failed();
        return;
    }
    const core::TransferMode mode = core::enterTransferMode(master);
    if (mode != core::TransferMode::Entered) {
        if (mode == core::TransferMode::Busy)
            emit busy();
        else
            fail(core::lostRecorderReasonOr(
                master, tr("The recorder did not switch into its transfer mode.")));
        return;
    }
    // The abort is looked at inside each deletion, after its start request
    // and between polls.
    const core::Result result = core::deleteFiles(
        master, mzt::selectedFiles(cells), [this](const core::Progress& p) { onProgress(p); },
        &abortRequested, false);
    if (!result.ok())
        fail(result.reason, result.file.name);
}

void MZTFilesDeleter::fail(const QString& reason, const QString& file)
{
    emit failureDetail(reason, file, filesDone);
    emit failed();
}
