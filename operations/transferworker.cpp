#include "transferworker.h"

#include "recorder_session.h"

namespace mzt {

void AbortableWorker::start(QThread::Priority priority)
{
    // Cleared here, before the thread runs: an abort that comes before the
    // run has begun is meant for this run and must not be forgotten by it.
    abortRequested = false;
    takeSelection();
    QThread::start(priority);
}

void AbortableWorker::abort()
{
    abortRequested = true;
    stopRunningRequest();
}

void AbortableWorker::run()
{
    const ResultHandOver::AtEnd publishAtEnd(handOver);
    work();
}

bool TransferWorker::enterTransferMode(KVPMaster* master)
{
    checkingTransferMode = true;
    const core::TransferMode mode = core::enterTransferMode(master);
    if (mode == core::TransferMode::Entered) {
        checkingTransferMode = false;
        return true;
    }
    if (mode == core::TransferMode::Busy)
        emit busy();
    else
        fail(core::lostRecorderReasonOr(master,
                                        tr("The recorder did not switch into its transfer mode.")));
    return false;
}

void TransferWorker::onProgress(const core::Progress& progress)
{
    emit progressDetail(progress);
    fileProgress(progress);
    if (progress.stage == core::Progress::Stage::FileDone) {
        filesDone = progress.fileIndex;
        emit progress_total(totalProgressAfter(progress.fileIndex, selectedCells));
    }
}

void TransferWorker::fail(const QString& reason, const QString& file)
{
    emit failureDetail(reason, file, filesDone);
    emit failed();
}

} // namespace mzt
