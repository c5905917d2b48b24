#include "recorderverifier.h"

#include "kvpmaster.h"
#include "operationslog.h"
#include "recorder_session.h"

void RecorderVerifier::stopRunningRequest()
{
    qCDebug(lcOperations) << "verification cancelled";
    // Breaks a read that is waiting for the recorder.
    if (host && host->master())
        host->master()->cancel();
}

void RecorderVerifier::onProgress(const core::Progress& progress)
{
    emit progressDetail(progress);
    using Stage = core::Progress::Stage;
    if (progress.stage == Stage::Transferring && progress.bytesTotal > 0)
        emit progress_current(
            int(std::min(progress.bytesDone, progress.bytesTotal) * 100u / progress.bytesTotal));
    if (progress.stage == Stage::FileStarted)
        emit progress_current(0);
    if (progress.stage == Stage::FileDone && progress.fileCount > 0)
        emit progress_total(progress.fileIndex * 100 / progress.fileCount);
}

void RecorderVerifier::work()
{
    emit progress_current(0);
    emit progress_total(0);
    KVPMaster* master = host ? host->master() : nullptr;
    if (!master) {
        core::Comparison none;
        none.byBytes = true;
        none.result = core::Result::failure(core::ResultCode::Failed, tr("There is no recorder."));
        emit verified(none);
        return;
    }

    const core::TransferMode mode = core::enterTransferMode(master);
    if (mode != core::TransferMode::Entered) {
        core::Comparison refused;
        refused.byBytes = true;
        refused.result = mode == core::TransferMode::Busy
            ? core::Result::failure(core::ResultCode::Busy, tr("The device is currently busy."))
            : core::Result::failure(
                core::ResultCode::NoAnswer,
                core::lostRecorderReasonOr(
                    master, tr("The recorder did not switch into its transfer mode.")));
        emit verified(refused);
        return;
    }

    emit verified(core::verifyWithRecorder(
        master, m_request, [this](const core::Progress& p) { onProgress(p); }, &abortRequested));
}
