#include "mztfilesuploader.h"

#include "kvpmaster.h"
#include "operationslog.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"

#include <QSet>

namespace {

// While a replaced file is deleted first, the deletion fills this share of
// the current-file bar and the write the rest.
constexpr uint deletionShare = 30;

} // namespace

MZTFilesUpLoader::MZTFilesUpLoader(QObject* parent)
    : mzt::TransferWorker(parent)
{
}

void MZTFilesUpLoader::takeSelection()
{
    const QList<mzt::SelectedCell> cells = mzt::selectionOf(host, mzt::TransferTable::Archive);
    selectedCells = cells.size();
    MZTArchive* archive = host ? host->archive() : nullptr;
    haveArchive = archive != nullptr;
    items = mzt::uploadItems(archive, cells);
    for (core::UploadItem& item : items)
        item.keepIfHeld = keepHeld;
    kept.clear();
}

void MZTFilesUpLoader::stopRunningRequest()
{
    // The master holds the request back while a replaced file is rewritten.
    // A request after the run would stop whatever uses the master next.
    std::lock_guard lock(masterAbortLock);
    if (masterAbortAllowed && host && host->master())
        host->master()->requestAbort();
}

void MZTFilesUpLoader::allowMasterAbort(KVPMaster* master, bool allow)
{
    std::lock_guard lock(masterAbortLock);
    masterAbortAllowed = allow;
    master->clearAbortRequest();
}

void MZTFilesUpLoader::onSigTransferred(uint percents)
{
    if (!isRunning() || checkingTransferMode)
        return;
    const uint value =
        replacing ? percents * (100 - deletionShare) / 100 + deletionShare : percents;
    emit progress_current(int(value));
    qCDebug(lcOperations) << "progress_current" << value;
}

void MZTFilesUpLoader::fileProgress(const core::Progress& progress)
{
    using Stage = core::Progress::Stage;
    switch (progress.stage) {
    case Stage::FileStarted:
        replacing = false;
        break;
    case Stage::Deleting:
        if (progress.deletion < 0) {
            replacing = true;
        } else {
            emit progress_current(
                int(uint(progress.deletion) * deletionShare / mzt500::DeletionDone));
        }
        break;
    case Stage::Transferring:
        break;
    case Stage::FileDone:
        break;
    }
}

void MZTFilesUpLoader::work()
{
    filesDone = 0;
    recorderLostFile = false;

    if (!host)
        return;
    KVPMaster* master = host->master();
    if (!master) {
        emit failed();
        return;
    }
    if (!enterTransferMode(master))
        return;

    if (!haveArchive) {
        emit failed();
        return;
    }
    allowMasterAbort(master, true);
    QSet<int> written;
    const core::Result result = core::uploadFiles(
        master, items, [&written](const core::UploadItem& item, bool) { written << item.file.id; },
        [this](const core::Progress& p) { onProgress(p); }, &abortRequested);
    allowMasterAbort(master, false);
    if (result.ok())
        for (const core::UploadItem& item : std::as_const(items))
            if (item.keepIfHeld && mzt500::isRecorderFile(item.type, item.file.id)
                && !written.contains(item.file.id))
                kept << item.file.name;
    if (!result.ok()) {
        // Reported even after Cancel: the user must learn that only the
        // archive still holds this file.
        recorderLostFile = result.code == core::ResultCode::WriteFailedAfterDelete;
        fail(result.reason, result.file.name);
    }
}
